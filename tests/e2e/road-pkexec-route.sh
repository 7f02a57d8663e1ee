#!/usr/bin/env bash
# The pkexec route: Vantrel run by a user without root and without the helper service starts its helper
# through pkexec (here a stand-in first on PATH that counts its starts and runs the helper as that user).
# Starting the program asks for no password; the first scan starts the one helper of the run, and the
# quality pass, the recovery and the preview all use it: one start for the whole run.
#
# usage: road-pkexec-route.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
road_user=65534  # nobody
road_begin pkexec-route "$@" mkfs.fat mcopy mdel convert exiftool setpriv

user_id=$road_user
mkdir -p "$work/originals" "$work/recovered" "$work/bin"
make_card_files "$work/originals"
deleted=(beach.jpg diagram.png manual.pdf)
image="$work/card.img"
mkfs.fat -C -n PKCARD "$image" 32768 >/dev/null
for file in "$work/originals"/*; do mcopy -i "$image" "$file" "::$(basename "$file")"; done
for name in "${deleted[@]}"; do mdel -i "$image" "::$name"; done

# The stand-in pkexec: counts, then runs the helper as the calling user (a real one would ask for the
# password and run it as root).
starts="$work/pkexec-starts"
cat >"$work/bin/pkexec" <<STANDIN
#!/bin/bash
echo "\$\$ \$*" >>"$starts"
exec "\$@"
STANDIN
chmod +x "$work/bin/pkexec"
road_run_as_user $user_id
start_count() { if [[ -e "$starts" ]]; then wc -l <"$starts"; else echo 0; fi; }
cd "$work"

road_start_program
wait_for "the start's helper check in the log" 60 logged "Helper check left for the first use"
road_dismiss_first_run start
(($(start_count) == 0)) || fail "the program asked for a password at its start ($(start_count) pkexec starts)"

open_image "$image"
(($(start_count) == 0)) || fail "opening an image file started a helper"
open_scan_mode_sheet
keys Return
wait_for "scan end in the log" 300 logged "Scan complete"
focus_main
logged "Starting a helper (spawnedWithPkexec)" || fail "the helper was not started through pkexec"
shot scan-finished
helper="$(pgrep -P "$app" -x VantrelHelper | head -n 1 || true)"
[[ -n "$helper" ]] || fail "the helper is not the program's child"

recover_all_into "$work/recovered"
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
shot recovery-done

# A preview of the first hit (a click on its row, Space); it stays open until the program quits.
click_at 20 44
keys space
focus_window '^Preview' >/dev/null
wait_for "the preview's picture" 60 logged "status: Preview: "
shot preview
! logged "preview of " || fail "the preview failed"
focus_main
[[ -e /proc/$helper ]] || fail "the helper of the scan is gone"
(($(start_count) == 1)) || fail "$(start_count) pkexec starts in one run (one expected): $(cat "$starts")"

quit_program dont-save
wait_program_end
check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
echo "PASS: one pkexec start for the scan, the preview and the recovery of $recovered_count file(s); none at the start"

#!/usr/bin/env bash
# The main road: the built Vantrel, the helper it spawns beside itself, a FAT image made here with
# mkfs.fat and mtools that holds real pictures and a PDF (some of them deleted), driven only through its
# keys: open the image, scan it, select every hit, recover into a folder, quit without saving. Every
# recovered file is compared byte for byte with the file it came from. One deleted picture is larger
# than the helper's writeback windows kept ahead, so its extraction waits for and drops windows behind it.
#
# usage: window-road.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
road_begin window-road "$@" mkfs.fat mcopy mdel convert exiftool

# --- The card: real files, four of them deleted. A file still on the card is no hit: it is there. ---
mkdir -p "$work/originals" "$work/recovered"
make_card_files "$work/originals"
# 48 MiB of rows that change every few windows, so that a window written in the wrong place shows.
convert -size 4096x4096 gradient:red-blue -type TrueColor BMP3:"$work/originals/wide.bmp"
deleted=(beach.jpg diagram.png manual.pdf wide.bmp)
image="$work/card.img"
mkfs.fat -C -n E2ECARD "$image" 98304 >/dev/null
for file in "$work/originals"/*; do mcopy -i "$image" "$file" "::$(basename "$file")"; done
for name in "${deleted[@]}"; do mdel -i "$image" "::$name"; done
cd "$work"

road_start_program
road_dismiss_first_run start
# At launch the program reaches its helper, and says so in its log.
wait_for "helper start in the log (the flag file /tmp/io.tessik.vantrel.logging may turn logging off)" 60 \
  logged "Starting a helper"

open_image "$image" open-image
shot volume-selected
scan_selected "$image" scan-mode
helper="$(pgrep -P "$app" -x VantrelHelper | head -n 1 || true)"
[[ -n "$helper" ]] || fail "the helper is not the program's child"
shot scan-finished

recover_all_into "$work/recovered" recover-folder
wait_for "recovery start in the log" 60 logged "recoverSelected count="
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
shot recovery-done

quit_program dont-save
wait_program_end

check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
grep -qF "recoverSelected done saved=$recovered_count/$recovered_count" "$log" || fail "the log does not count $recovered_count of $recovered_count saved"
# Larger than a probe: the helper wrote it, not a copy from the probe cache.
logged "extractHit OK $(stat -c %s "$work/originals/wide.bmp") bytes" || fail "the helper did not extract wide.bmp whole"
echo "PASS: $recovered_count file(s) recovered, each equal to a file of the card; all ${#deleted[@]} deleted files came back"

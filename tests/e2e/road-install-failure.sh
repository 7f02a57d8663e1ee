#!/usr/bin/env bash
# A failed helper install: Vantrel run by a user without root, with a stand-in first on PATH for pkexec
# that records its start and answers as the helper it was asked to run (`VantrelHelper
# --install-service`) would after the password when systemctl refuses to enable the unit: systemctl's
# coloured two-line message for a unit file that is missing, passed on. The user chooses Disk Access →
# Install Helper… with the keys; the alert says in one sentence that the install failed, with systemctl's
# own words and no raw control characters; nothing claims success, no helper is started, and the sheet
# still says the helper is not installed.
#
# usage: road-install-failure.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
road_user=65534  # nobody
road_begin install-failure "$@" setpriv

user_id=$road_user
unit=io.tessik.vantrel.helper.socket
mkdir -p "$work/bin"
pkexec_calls="$work/pkexec-calls"
cat >"$work/bin/pkexec" <<STANDIN
#!/bin/bash
echo "\$*" >>"$pkexec_calls"
printf '\033[0;1;31mFailed to enable unit: Unit file %s does not exist.\033[0m\n\nUnit files are looked for in /etc/systemd/system and /lib/systemd/system\n' "$unit" >&2
exit 1
STANDIN
chmod +x "$work/bin/pkexec"
road_run_as_user $user_id
cd "$work"

road_start_program
wait_for "the start's helper check in the log" 60 logged "Helper check left for the first use"
road_dismiss_first_run start
[[ ! -e "$pkexec_calls" ]] || fail "pkexec was started before the install: $(cat "$pkexec_calls")"

# Disk Access (Alt+D) → Install Helper… (I). On a loaded machine the menu may open after the second key
# has gone: the keys are pressed again until the install has been asked for (its sheet or its alert).
install_asked() { logged "alert: " || has_window '^Disk Access$'; }
asked=$((SECONDS + 60))
until install_asked; do
  ((SECONDS < asked)) || fail "no install after 60s of Alt+D, I"
  focus_main
  keys alt+d
  sleep 1
  [[ -e "$shots/$road_name-disk-access-menu.png" ]] || shot disk-access-menu
  keys i
  pressed=$((SECONDS + 10))
  until install_asked || ((SECONDS >= pressed)); do sleep 0.2; done
done
wait_for "the alert in the log" 60 logged "alert: "
focus_window '^Error$' >/dev/null
shot install-failed

expected="alert: Could not install the helper (Failed to enable unit: Unit file $unit does not exist. Unit files are looked for in /etc/systemd/system and /lib/systemd/system)."
alert_line="$(grep -F "alert: " "$log" | head -n 1)"
[[ "$alert_line" == *"$expected" ]] || fail "the alert says: ${alert_line#*alert: } (expected: ${expected#alert: })"
(($(logged_count "alert: ") == 1)) || fail "more than one alert: $(grep -F "alert: " "$log")"
! grep -F "alert: " "$log" | grep -qF '\x1b' || fail "the alert holds a raw escape character"
! logged "Could not install the helper service" || fail "the failure is told twice over"
! logged "Helper connected." || fail "a failed install was reported as connected"
! logged "status: Starting helper" || fail "a failed install went on to start the helper"
! logged "Helper registration requested." || fail "a failed install was reported as requested"
logged "Helper register failed: Failed to enable unit" || fail "the failure is not in the log"

# One pkexec start, for the helper's install (so that the prompt is the helper's polkit action), never
# for a helper that serves a connection.
[[ "$(cat "$pkexec_calls")" == /*/VantrelHelper" --install-service" ]] \
  || fail "pkexec ran something else: $(cat "$pkexec_calls")"
! logged "Starting a helper" || fail "a helper was started"

# OK closes the alert; the sheet the menu asked for is open behind it and says the helper is not installed.
keys Return
wait_for "closed alert" 30 no_window '^Error$'
focus_window '^Disk Access$' >/dev/null
shot sheet-after-failure
keys Escape
wait_for "closed disk-access sheet" 30 no_window '^Disk Access$'
focus_main

quit_program none
wait_program_end
[[ "$(wc -l <"$pkexec_calls")" -eq 1 ]] || fail "pkexec was started again: $(cat "$pkexec_calls")"
echo "PASS: the failed install says so in one sentence with systemctl's words; nothing was started or claimed"

#!/usr/bin/env bash
# Quitting while a scan runs: a FAT card image with deleted files, made long with a sparse tail so that
# its scan is still reading when Quit comes. Ctrl+Q asks "A scan is running." first; Escape (Cancel)
# leaves the scan reading and the program open. A second Ctrl+Q, confirmed, stops the scan; the
# unsaved results are then saved at the save question, and the catalog says its list is partial; opened
# again in a new start of the program, the status says so too.
#
# usage: road-quit-during-scan.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin quit-during-scan "$@" mkfs.fat mcopy mdel convert exiftool jq truncate

image="$work/card.img"
make_card_image "$image" QUITCARD beach.jpg manual.pdf
# The tail holds no blocks: the scan reads zeros from it for far longer than this road lasts. The file
# goes with the road, so that no tool that copies the build tree meets a terabyte.
truncate -s 1T "$image"
remove_image() { rm -f "$image"; }
road_extra_cleanup=remove_image
cd "$work"

road_start_program
road_dismiss_first_run
open_image "$image"
start_scan "$image"

helper="$(pgrep -P "$app" -x VantrelHelper | head -n 1 || true)"
[[ -n "$helper" ]] || fail "no helper beside the program"
# Bytes the helper has read so far.
helper_read() { awk '/^rchar:/ {print $2}' "/proc/$helper/io"; }
# Past the card's files (the first 16 MiB): the scan has found them, and it still reads.
past_files() { (($(helper_read) > 64 * 1024 * 1024)); }
wait_for "the scan past the card's files" 120 past_files
scan_over() { logged "Scan complete" || logged "Scan cancelled"; }
scan_over && fail "the scan ended before Quit; the image is not long enough"

# Quit asks first, and Cancel (Escape, the default) keeps everything as it was.
focus_main
keys ctrl+q
focus_window '^A scan is running\.$' >/dev/null
shot question
logged "Quit requested while a scan runs: asking first" || fail "the question is not the model's"
logged "Quit cancels the running scan" && fail "the scan was stopped before the answer"
keys Escape
wait_for "closed question" 30 no_window '^A scan is running\.$'
wait_for "the refusal in the log" 30 logged "Quit during a scan: cancelled; the scan goes on"
before=$(helper_read)
reads_on() { (($(helper_read) > before + 64 * 1024 * 1024)); }
wait_for "the scan reading on after Cancel" 60 reads_on
scan_over && fail "Cancel in the question ended the scan"
logged "Quit cancels the running scan" && fail "Cancel in the question stopped the scan"
kill -0 "$app" || fail "the program ended after Cancel"
shot scan-goes-on

# Confirmed, the scan stops and the quit goes on to the save question.
focus_main
keys ctrl+q
focus_window '^A scan is running\.$' >/dev/null
# From Cancel, the default, Tab reaches "Stop Scan and Quit".
keys Tab space
wait_for "closed question" 30 no_window '^A scan is running\.$'
wait_for "the scan's cancel" 60 logged "status: Scan cancelled — "
answer_save_catalog "$work/cut.vtcat" save-question
wait_program_end

status=$(grep -oE 'status: Scan cancelled — [0-9]+ files? found so far\.' "$log" | tail -n 1 | sed 's/^status: //')
[[ -n "$status" ]] || fail "the status does not say how many files the cancelled scan found"
found=$(grep -oE '[0-9]+' <<<"$status")
[[ -f "$work/cut.vtcat" ]] || fail "no catalog was written"
hits=$(jq '.hits | length' "$work/cut.vtcat")
((hits == found && hits > 0)) || fail "the catalog holds $hits hit(s), the status says $found"
summary=$(jq -r '.summary' "$work/cut.vtcat")
[[ "${summary%%$'\n'*}" == "$status" ]] || fail "the catalog's summary begins \"${summary%%$'\n'*}\", not \"$status\""

# The catalog opened again (its hits were all checked before it was saved): its list is still partial.
road_start_program
road_dismiss_first_run
open_catalog "$work/cut.vtcat"
wait_status "$status Loaded catalog — $hits file(s) from card.img." 60
shot reopened
quit_program none
answer_dont_save_if_asked
wait_program_end
echo "PASS: Quit during the scan asked first, Cancel kept it reading, confirmed it stopped; \"$status\" saved in the catalog and shown again"


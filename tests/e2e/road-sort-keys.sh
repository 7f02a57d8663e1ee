#!/usr/bin/env bash
# Sorting and the list's keyboard row without a mouse: after a scan of a FAT image with four deleted
# files, View ▸ Sort By is opened with Alt+V, B and "Size, Largest First" chosen with S. Space previews
# the first row, Down twice steps the preview two files on, Escape closes it, and Down in the list goes
# on from the row the preview showed last (the fourth file), not from the row where it began.
#
# usage: road-sort-keys.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin sort-keys "$@" mkfs.fat mcopy mdel convert exiftool

deleted=(beach.jpg diagram.png manual.pdf sunset.jpg)
image="$work/card.img"
make_card_image "$image" SORTCARD "${deleted[@]}"
cd "$work"
# The name in the status bar's last "Preview: NAME", and a wait for another one than the last.
last_preview() { grep -F "status: Preview: " "$log" | tail -n 1 | sed 's/.*status: Preview: //'; }
previews() { logged_count "status: Preview: "; }
wait_preview_after() {
  local before=$1
  more() { (($(previews) > before)); }
  wait_for "a preview" 60 more
}

road_start_program
road_dismiss_first_run
open_image "$image"
scan_selected "$image"
wait_status "Quality check finished." 180

focus_main
keys alt+v
sleep 0.5
keys b
sleep 0.5
shot sort-menu
keys s
sleep 0.5
shot sorted-by-size

tab_to hitList
count=$(previews)
keys Home space
wait_preview_after "$count"
wait_focused '^Preview'
first="$(last_preview)"
count=$(previews)
keys Down
wait_preview_after "$count"
second="$(last_preview)"
count=$(previews)
keys Down
wait_preview_after "$count"
third="$(last_preview)"
shot preview-stepped
keys Escape
wait_for "closed preview" 30 no_window '^Preview'
wait_focused '^Vantrel$'
count=$(previews)
keys Down space
wait_preview_after "$count"
fourth="$(last_preview)"
shot list-went-on
echo "previews: $first, $second, $third, then in the list $fourth"
[[ "$fourth" != "$second" ]] || fail "Down in the list went on from the row where the preview began"
[[ "$fourth" != "$third" && "$fourth" != "$first" ]] || fail "Down in the list did not move on from $third"
keys Escape
wait_for "closed preview" 30 no_window '^Preview'
quit_program dont-save
wait_program_end
echo "PASS: sorted by size from the View menu; the list went on from the preview's row"

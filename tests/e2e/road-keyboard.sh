#!/usr/bin/env bash
# The main road with the keyboard alone and no window manager: the built Vantrel and the helper it spawns,
# a FAT image made here with mkfs.fat and mtools holding real pictures (two of them deleted). Nobody hands
# the keyboard to a window here: the program's windows take it when they open and give it back when they
# close. Keys only, no click: the image is opened, scanned, the list reached with Tab, two rows chosen with
# Home and Shift+Down, "Recover Selected" reached with Tab and pressed with Space, a folder typed, until the
# status bar says "Recovered 2 file(s).". Both files are compared byte for byte with the originals. On the
# way, Space previews the first row and Escape closes the preview, which takes its temporary folder with
# it; none is left once the program has ended.
#
# usage: road-keyboard.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
road_begin keyboard-road "$@" mkfs.fat mcopy mdel convert exiftool

mkdir -p "$work/originals" "$work/recovered"
make_card_files "$work/originals"
rm "$work/originals/manual.pdf" "$work/originals/diagram.png"
deleted=(beach.jpg sunset.jpg)
image="$work/card.img"
mkfs.fat -C -n KEYCARD "$image" 32768 >/dev/null
for file in "$work/originals"/*; do mcopy -i "$image" "$file" "::$(basename "$file")"; done
for name in "${deleted[@]}"; do mdel -i "$image" "::$name"; done
cd "$work"

# Nobody hands the program the keyboard here, not even at its start: the library's way of giving a window
# the keyboard becomes a mere wait for the window.
focus_window() {
  wait_for "window \"$1\"" 60 has_window "$1"
  visible_window "$1"
}
# The preview's temporary folders go here, where the road can see them come and go.
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"
preview_folders() { find "$TMPDIR" -maxdepth 1 -name 'Vantrel-QuickLook-*' | wc -l; }
preview_folders_are() { (($(preview_folders) == $1)); }
road_start_program
# The first start asks for disk access; the sheet takes the keyboard by itself, Escape closes it and the
# keyboard comes back to the main window.
deadline=$((SECONDS + 10))
until first_run_sheet || ((SECONDS >= deadline)); do sleep 0.2; done
if first_run_sheet; then
  wait_focused '^Disk Access$'
  shot first-run
  keys Escape
  wait_for "closed disk-access sheet" 30 no_window '^Disk Access$'
fi
wait_focused '^Vantrel$'
wait_for "helper start in the log" 60 logged "Starting a helper"

# F10 opens the menu bar; Escape twice closes it again.
keys F10
sleep 0.5
shot menu-bar
keys Escape Escape

# File → Open Image File… (Ctrl+Shift+O); the item is there once the helper said it opens image files.
asked=$((SECONDS + 60))
until has_window '^Open Image File'; do
  ((SECONDS < asked)) || fail "no \"Open Image File\" dialog after 60s of Ctrl+Shift+O"
  keys ctrl+shift+o
  sleep 1
done
wait_focused '^Open Image File'
type_text "$image"
keys Return
wait_for "closed file dialog" 30 no_window '^Open Image File'
wait_focused '^Vantrel$'

# The scan mode sheet is answered with Return.
# Scan (Ctrl+R) does nothing until the image is the selected volume, a moment after the dialog closed.
scan_asked() { has_window '^Scan Mode$' || logged "startScan path=$image"; }
asked=$((SECONDS + 60))
until scan_asked; do
  ((SECONDS < asked)) || fail "no scan-mode sheet or scan start after 60s of Ctrl+R"
  keys ctrl+r
  sleep 1
done
if has_window '^Scan Mode$'; then
  wait_focused '^Scan Mode$'
  keys Return
  wait_for "closed scan-mode sheet" 30 no_window '^Scan Mode$'
fi
wait_focused '^Vantrel$'
wait_for "scan end in the log" 300 logged "Scan complete"
wait_for "the quality pass's end" 120 logged "status: Quality check finished."
shot scan-finished

# The list: Space previews the first row in a window of its own, drawn by the verifying child; Escape
# closes it and its folder goes.
tab_to hitList
keys Home space
wait_for "the preview window" 60 has_window '^Preview'
wait_focused '^Preview'
wait_for "the preview's folder" 30 preview_folders_are 1
sleep 1
shot preview
keys Escape
wait_for "closed preview" 30 no_window '^Preview'
wait_focused '^Vantrel$'
wait_for "the preview's folder removed" 30 preview_folders_are 0

# Two rows, "Recover Selected".
tab_to hitList
keys Home shift+Down
shot two-selected
tab_to recoverSelected
keys space
wait_focused '^Find Directory'
type_text "$work/recovered/"
keys Return
wait_for "closed folder dialog" 30 no_window '^Find Directory'
wait_focused '^Vantrel$'
wait_for "recovery start in the log" 60 logged "recoverSelected count=2"
wait_for "\"Recovered 2 file(s).\" in the status bar" 300 logged "status: Recovered 2 file(s)."
shot recovered

quit_program dont-save
wait_program_end

preview_folders_are 0 || fail "a preview folder was left in $TMPDIR"
check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
((recovered_count == 2)) || fail "$recovered_count files recovered, not 2"
echo "PASS: two files recovered with the keyboard alone, each equal to a deleted file of the card"

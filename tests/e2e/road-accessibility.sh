#!/usr/bin/env bash
# The window as a screen reader sees it: Vantrel on a virtual display with its accessibility bridge on,
# inside a D-Bus session of its own with the AT-SPI registry, and two FAT images in its disk strip. Every
# control of the accessible tree has a name; the strip is a list "Disks" whose tiles are focusable and
# selectable; the chosen disk reports itself selected, the arrow keys move the focus a screen reader
# follows from tile to tile without choosing, and Space chooses the focused tile, which then reports
# itself selected.
#
# usage: road-accessibility.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
if [[ -z "${VANTREL_ROAD_SESSION:-}" ]]; then
  command -v dbus-run-session >/dev/null || { echo "SKIP: dbus-run-session is not installed"; exit 77; }
  [[ -x /usr/libexec/at-spi-bus-launcher ]] || { echo "SKIP: at-spi2-core is not installed"; exit 77; }
  /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "SKIP: python3-pyatspi is not installed"; exit 77; }
  VANTREL_ROAD_SESSION=1 exec dbus-run-session -- "$0" "$@"
fi
source "$(dirname "$0")/road-lib.sh"
road_begin accessibility "$@" mkfs.fat mcopy
check="$road_lib_dir/atspi-check.py"

for name in CARDONE CARDTWO; do
  mkfs.fat -C -n "$name" "$work/$name.img" 8192 >/dev/null
done
cd "$work"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 NO_AT_BRIDGE=0
road_start_program
road_dismiss_first_run
for name in CARDONE CARDTWO; do
  open_image "$work/$name.img"
  wait_for "the image $name in the log" 30 logged "Image file opened: $work/$name.img"
done
shot strip

/usr/bin/python3 "$check" tree || fail "the accessible tree"
/usr/bin/python3 "$check" grab-strip || fail "the strip did not take the focus"
# The image opened last is the chosen disk: the ring starts on it.
/usr/bin/python3 "$check" selected CARDTWO.img || fail "the opened image does not report itself selected"
/usr/bin/python3 "$check" focused CARDTWO.img || fail "the chosen tile is not the focused one"
keys Left
/usr/bin/python3 "$check" focused CARDONE.img || fail "the focus did not follow the arrow key"
/usr/bin/python3 "$check" selected CARDTWO.img || fail "moving the focus changed the choice"
keys space
/usr/bin/python3 "$check" selected CARDONE.img || fail "the chosen tile does not report itself selected"
/usr/bin/python3 "$check" focused CARDONE.img || fail "the chosen tile lost the focus"
shot chosen
quit_program none
wait_program_end
echo "PASS: the tree is named, the strip's tiles take the focus with the arrows and report the choice"

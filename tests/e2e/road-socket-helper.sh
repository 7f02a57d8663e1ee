#!/usr/bin/env bash
# The development road of the README: a helper started by root with --listen and --allow-image-files,
# and Vantrel pointed at it with VANTREL_HELPER_SOCKET. The window uses that helper and says so: no helper
# of its own is started, the disk-access sheet names the helper on the socket and disk access as ready,
# and File offers "Open Image File…" because that helper opens image files. An image file is scanned
# without a word of remounting; then a loop device that was never mounted is scanned, and the quit
# mounts nothing and warns of nothing. The status bar keeps each message whole at the window's size.
#
# usage: road-socket-helper.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin socket-helper "$@" mkfs.fat mcopy mdel convert exiftool losetup python3

deleted=(beach.jpg diagram.png)
image="$work/card.img"
make_card_image "$image" SOCKCARD "${deleted[@]}"
loop_image="$work/loop-card.img"
cp "$image" "$loop_image"
loop="$(losetup -f --show "$loop_image" 2>/dev/null)" || skip "no free loop device"
disk="$(basename "$loop")"
helper_pid=""
release() {
  if [[ -n "$helper_pid" ]]; then kill "$helper_pid" 2>/dev/null || true; fi
  losetup -d "$loop" 2>/dev/null || true
}
road_extra_cleanup=release
catalog_of_card "$work/loop-card.vtcat" "$loop_image" "$disk" SOCKCARD

# The helper, as root, in a folder only root may change; its log goes with the program's.
mkdir -m 755 "$work/helper"
export VANTREL_HELPER_SOCKET="$work/helper/helper.sock"
(
  export HOME="$work/home" XDG_CONFIG_HOME="$work/config"
  mkdir -p "$XDG_CONFIG_HOME/vantrel"
  echo '{"vantrel.logging.enabled": true}' >"$XDG_CONFIG_HOME/vantrel/VantrelHelper.json"
  exec "$build/VantrelHelper/VantrelHelper" --listen "$VANTREL_HELPER_SOCKET" --allow-image-files >>"$work/helper.log" 2>&1
) &
helper_pid=$!
wait_for "the helper's socket" 30 test -S "$VANTREL_HELPER_SOCKET"
cd "$work"

road_start_program
wait_for "the image-file check of the helper on the socket" 60 logged "The helper on the socket takes image files"
# The first start offers the disk-access sheet only where something is to be set up: nothing is here.
wait_for "the first start's decision" 60 logged "First start: the helper answers and may read disks"
! first_run_sheet || fail "the disk-access sheet opened by itself although the helper on the socket works"
focus_main
keys alt+d
sleep 0.5
keys a
focus_window '^Disk Access$' >/dev/null
sleep 0.5
shot helper-sheet
keys Escape
wait_for "closed disk-access sheet" 30 no_window '^Disk Access$'
focus_main
shot toolbar-ready

open_image "$image" open-image
scan_selected "$image"
wait_status "Quality check finished." 180
shot image-scanned
! grep -F "status: Scan finished" "$log" | grep -qF "stays unmounted" || fail "the scan of an image file spoke of remounting"

# The loop device, never mounted: selected through a catalog of it (the strip lists loop devices with the
# internal disks), then scanned.
show_internal_disks
open_catalog "$work/loop-card.vtcat"
# The catalog records no identity of its disk: the user confirms it once.
answer_use_disk
wait_for "catalog opened on the loop device" 60 logged "catalog disk attached $loop"
shot catalog-loaded
scan_selected "$loop"
wait_status "Quality check finished." 180
shot loop-scanned
! logged "Starting a helper" || fail "the window started a helper of its own beside the one on the socket"

quit_program dont-save
wait_program_end
logged "Quit remount pending=[]" || fail "the quit wanted to mount a disk the scan never unmounted: $(grep -F 'Quit remount' "$log")"
! logged "Could not mount" || fail "the quit warned of a disk that was never mounted"
! logged "local mountDisk" || fail "the quit mounted a disk that was never mounted"
echo "PASS: the helper on the socket served the image and the loop device; nothing was left to mount"

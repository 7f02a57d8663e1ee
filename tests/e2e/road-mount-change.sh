#!/usr/bin/env bash
# A disk mounted and unmounted while it is selected: the selection follows, and the card says so. The
# disk is a loop device over an image made here (ext2: the kernel that runs the tests may lack FAT),
# selected by opening a catalog of it (the strip lists loop devices with the internal disks); then it
# is mounted and unmounted from outside the program.
#
# usage: road-mount-change.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin mount-change "$@" mkfs.ext2 losetup mount umount python3

image="$work/card.img"
truncate -s 16M "$image"
mkfs.ext2 -q -L MOUNTCARD "$image"
mkdir -p "$work/mnt"
loop="$(losetup -f --show "$image" 2>/dev/null)" || skip "no free loop device"
release_card() {
  umount "$work/mnt" 2>/dev/null || true
  losetup -d "$loop" 2>/dev/null || true
}
road_extra_cleanup=release_card
mount "$loop" "$work/mnt" 2>/dev/null || skip "mounting is not allowed here"
umount "$work/mnt"
disk="$(basename "$loop")"
catalog_of_card "$work/card.vtcat" "$image" "$disk" MOUNTCARD
cd "$work"

road_start_program
road_dismiss_first_run
show_internal_disks
open_catalog "$work/card.vtcat"
answer_use_disk
wait_for "catalog opened on the card" 60 logged "catalog disk attached $loop"
shot selected-unmounted

mount "$loop" "$work/mnt"
wait_for "the selection mounted" 60 logged "selection follows $disk mounted=true"
sleep 0.5
shot selected-mounted
umount "$work/mnt"
wait_for "the selection unmounted" 60 logged "selection follows $disk mounted=false"
sleep 0.5
shot selected-unmounted-again
quit_program none
wait_program_end
echo "PASS: the selected disk showed mounted and unmounted as it changed"

#!/usr/bin/env bash
# Opening image files: a FAT image made here with mkfs.fat and mtools is listed under its file system and
# offered the scan-mode choice, as a FAT card is; a zero-byte file is refused with the true reason, and
# neither the helper nor the disk-access sheet is troubled by it.
#
# usage: road-image-files.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
road_begin image-files "$@" mkfs.fat mcopy

image="$work/card.img"
mkfs.fat -C -n IMGROAD "$image" 16384 >/dev/null
printf 'a line of text\n' >"$work/note.txt"
mcopy -i "$image" "$work/note.txt" ::NOTE.TXT
empty="$work/empty.img"
: >"$empty"
cd "$work"

road_start_program
road_dismiss_first_run

# The FAT image: listed with its file system, and the scan asks which mode.
open_image "$image" open-dialog
wait_for "the image in the log" 30 logged "Image file opened: $image bytes=$((16384 * 1024)) fileSystems=FAT"
shot fat-image-card
open_scan_mode_sheet
shot scan-mode
keys Escape
wait_for "closed scan-mode sheet" 30 no_window '^Scan Mode$'
focus_main
! logged "startScan path=" || fail "a scan started although the scan-mode sheet was cancelled"

# The zero-byte file: refused with its reason, at once.
open_image "$empty"
wait_for "the refusal in the log" 30 logged "Image file refused: “$empty” is empty (0 bytes)"
focus_window '^Error$' >/dev/null
shot empty-file-refused
has_window '^Disk Access$' && fail "the disk-access sheet opened for an empty file"
! logged "Helper not reachable" || fail "an empty file was blamed on the helper"
! logged "Image file opened: $empty" || fail "the empty file was listed"
keys Escape
wait_for "closed alert" 30 no_window '^Error$'
focus_main

quit_program none
wait_program_end
echo "PASS: the FAT image is named FAT and asks for the scan mode; the empty file is refused as empty"

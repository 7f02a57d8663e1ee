#!/usr/bin/env bash
# Saving at quit through the question: a FAT image made here with real files (some deleted) is opened
# and scanned; Quit asks "Save scan catalog?", "Save Catalog…" asks where, and the program ends only
# after the catalog is written. The catalog holds every hit of the scan, each deleted file in its folder
# by the folder's name, and names the image file.
#
# usage: road-save-at-quit.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin save-at-quit "$@" mkfs.fat mmd mcopy mdel convert exiftool jq

image="$work/card.img"
make_card_image "$image" SAVECARD beach.jpg manual.pdf
# A deleted picture in a folder whose name is kept only in its long name (the short one reads MYHOLI~1).
mmd -i "$image" "::My Holiday Pictures"
mcopy -i "$image" "$work/originals/sunset.jpg" "::My Holiday Pictures/evening sky.jpg"
mdel -i "$image" "::My Holiday Pictures/evening sky.jpg"
cd "$work"

road_start_program
road_dismiss_first_run
open_image "$image"
scan_selected "$image"
shot scan-finished
found=$(grep -oE 'Scan finished — [0-9]+ file' "$log" | tail -n 1 | grep -oE '[0-9]+' || true)
[[ -n "$found" && "$found" -gt 0 ]] || fail "the scan found nothing to save"

keys ctrl+q
answer_save_catalog "$work/saved.vtcat" quit-question
wait_program_end

[[ -f "$work/saved.vtcat" ]] || fail "no catalog was written"
hits=$(jq '.hits | length' "$work/saved.vtcat")
((hits == found)) || fail "the catalog holds $hits hit(s), the scan found $found"
[[ "$(jq -r '.source.kind' "$work/saved.vtcat")" == diskImage ]] || fail "the catalog does not name an image file"
[[ "$(jq -r '.source.rawDevicePath' "$work/saved.vtcat")" == "$image" ]] || fail "the catalog names another file"
jq -r '.hits[].reconstructedPath // empty' "$work/saved.vtcat" | grep -qFx "/My Holiday Pictures/evening sky.jpg" ||
  fail "the catalog does not place the deleted picture in its folder by the folder's name"
echo "PASS: Save Catalog… at quit wrote $hits hit(s) before the program ended"

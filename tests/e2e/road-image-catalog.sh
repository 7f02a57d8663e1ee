#!/usr/bin/env bash
# A catalog of an image file, reopened: a FAT image made here (some real files deleted) is scanned and
# the catalog saved at quit. In a second run the catalog is opened: the image is selected, the quality
# pass checks every hit, and the hits are recovered, byte for byte the deleted files. Then the image is
# written to, and opening the catalog again is refused with the reason. Last, hostile catalogs that name a
# root-only file (one with no identity, one with the file's status and size copied in) are refused
# before anything reads that file, in this window that runs as root.
#
# usage: road-image-catalog.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin image-catalog "$@" mkfs.fat mcopy mdel convert exiftool jq

mkdir -p "$work/recovered"
deleted=(beach.jpg diagram.png manual.pdf)
image="$work/card.img"
make_card_image "$image" IMGCARD "${deleted[@]}"
catalog="$work/image.vtcat"
cd "$work"

# --- First run: scan the image, save its catalog at quit. ---
road_start_program
road_dismiss_first_run
open_image "$image"
scan_selected "$image"
keys ctrl+q
answer_save_catalog "$catalog"
wait_program_end
[[ -f "$catalog" ]] || fail "no catalog was written"
hits=$(jq '.hits | length' "$catalog")

# --- Second run: the catalog reopens on its image, and its hits are checked and recovered. ---
road_start_program
road_dismiss_first_run
open_catalog "$catalog" open-dialog
wait_for "catalog opened on the image" 60 logged "catalog opened hits=$hits attached=true device=$image"
wait_status "Quality check finished." 180
shot reopened-and-checked
recover_all_into "$work/recovered"
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
shot recovered
# The checked hits, saved: every one of them judged sound.
save_catalog_with_menu "$work/checked.vtcat"
[[ "$(jq -r '[.hits[].integrity] | unique | join(",")' "$work/checked.vtcat")" == ok ]] ||
  fail "not every hit was judged sound: $(jq -c '[.hits[].integrity]' "$work/checked.vtcat")"

# --- The image written to since: a true refusal. ---
touch "$image"
open_catalog "$catalog"
wait_for "error alert" 30 has_window '^Error$'
shot image-changed
focus_window '^Error$' >/dev/null
keys Return
wait_for "closed alert" 30 no_window '^Error$'
logged "catalog opened hits=$hits attached=true" || fail "the first opening is not in the log"
(( $(logged_count "catalog opened") == 1 )) || fail "the changed image was opened"
focus_main

# --- Hostile catalogs of a root-only file. ---
secret="$work/shadow"
head -c "$(stat -c %s "$image")" /dev/urandom >"$secret"
chmod 600 "$secret"
python3 - "$catalog" "$secret" "$work" <<'PY'
import json, os, sys
catalog, secret, work = sys.argv[1:]
document = json.load(open(catalog))
info = os.stat(secret)
source = document['source']
source['rawDevicePath'] = secret
source['displayName'] = 'holiday'
source['sizeBytes'] = info.st_size
source['serialNumber'] = 'image-file %d:%d written %d.%09d' % (info.st_dev, info.st_ino, info.st_mtime_ns // 10**9, info.st_mtime_ns % 10**9)
medium = source.pop('medium')
json.dump(document, open(work + '/hostile-bare.vtcat', 'w'))
source['medium'] = medium
source['medium']['deviceBytes'] = info.st_size
json.dump(document, open(work + '/hostile-copied.vtcat', 'w'))
PY
for hostile in bare copied; do
  open_catalog "$work/hostile-$hostile.vtcat"
  wait_for "error alert" 30 has_window '^Error$'
  shot "hostile-$hostile"
  focus_window '^Error$' >/dev/null
  keys Return
  wait_for "closed alert" 30 no_window '^Error$'
  focus_main
done
grep -qF "alert: This catalog does not say which image it was made from." "$log" || fail "the catalog without identity was not refused"
grep -qF "alert: This catalog was saved from the disk image file “$secret”, which has changed since" "$log" ||
  fail "the catalog with a copied identity was not refused"
! grep -F "$secret" "$log" | grep -qE "identifyDevice|extractHit|startScan" || fail "the helper was asked to read the root-only file"
(( $(logged_count "catalog opened") == 1 )) || fail "a hostile catalog was opened"
quit_program none
wait_program_end

check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
echo "PASS: the image catalog reopened with $hits hit(s), checked and recovered ($recovered_count file(s)); a changed image and hostile catalogs are refused"

#!/usr/bin/env bash
# A catalog's card inserted after the catalog was opened, then recovered from. The card is a loop
# device over a FAT image made here with real files, three of them deleted; the catalog names that
# disk and holds a hit where each deleted file's bytes lie. The catalog opens while the card is out:
# the results show, and the status asks for the card. Then the card is attached: the user confirms it
# (the catalog records no identity of its card), and the program takes it up, checks the hits and
# recovers them, byte for byte the deleted files.
#
# usage: road-card-later.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin card-later "$@" mkfs.fat mcopy mdel convert exiftool losetup python3 jq

mkdir -p "$work/recovered"
deleted=(beach.jpg diagram.png manual.pdf)
image="$work/card.img"
# A label and size of this run's own: a catalog's disk is also found by its name and size, and other
# cards made from the same files may be attached meanwhile.
label="LATE$((RANDOM % 10000))"
card_kib=$((16384 + RANDOM % 4096))
make_card_image "$image" "$label" "${deleted[@]}"

# The card's kernel name, chosen above those that "losetup -f" hands out so that no other program takes
# it meanwhile; the card is attached under it only after the catalog was opened.
for _ in 1 2 3 4 5 6 7 8; do
  disk="loop$((150 + RANDOM % 100))"
  [[ -e "/sys/block/$disk/loop/backing_file" ]] || break
done
loop="/dev/$disk"
detach_card() { losetup -j "$image" -n -O NAME | xargs -r -n 1 losetup -d; }
road_extra_cleanup=detach_card
catalog_of_card "$work/card.vtcat" "$image" "$disk" "$label" "${deleted[@]/#/$work/originals/}"
cd "$work"

road_start_program
road_dismiss_first_run
show_internal_disks
open_catalog "$work/card.vtcat"
wait_for "catalog opened without its card" 60 logged "catalog opened hits=${#deleted[@]} attached=false device=none"
wait_status "Loaded catalog — ${#deleted[@]} file(s). The source disk isn’t visible" 30
shot card-missing

losetup "$loop" "$image" || skip "no loop device $loop could be attached here"
# The catalog records no identity of its card: the user is asked once whether this is the disk.
answer_use_disk asked
wait_for "the card taken up" 60 logged "catalog disk attached $loop"
wait_status "Quality check finished." 180
shot card-attached
recover_all_into "$work/recovered"
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
shot recovered
# The checked hits, saved: every one of them judged.
save_catalog_with_menu "$work/checked.vtcat"
quit_program none
wait_program_end
[[ "$(jq -r '[.hits[].integrity] | unique | join(",")' "$work/checked.vtcat")" == ok ]] ||
  fail "not every hit was judged sound: $(jq -c '[.hits[].integrity]' "$work/checked.vtcat")"

check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
grep -qF "recoverSelected done saved=${#deleted[@]}/${#deleted[@]}" "$log" || fail "not every hit was saved"
echo "PASS: the card attached after opening was taken up; ${#deleted[@]} file(s) checked and recovered from it"

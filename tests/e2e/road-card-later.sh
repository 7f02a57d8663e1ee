#!/usr/bin/env bash
# A catalog's card inserted after the catalog was opened, then recovered from. The card is a loop
# device over a FAT image made here with real files, three of them deleted; the catalog names that
# disk and holds a hit where each deleted file's bytes lie. The catalog opens while the card is out:
# the results show, and the status asks for the card. Then the card is attached: the program takes it
# up, checks the hits and recovers them, byte for byte the deleted files.
#
# usage: road-card-later.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
road_begin card-later "$@" mkfs.fat mcopy mdel convert exiftool losetup python3

mkdir -p "$work/recovered"
deleted=(beach.jpg diagram.png manual.pdf)
image="$work/card.img"
make_card_image "$image" LATECARD "${deleted[@]}"

# The card's kernel name is taken from a first attachment, for the catalog; then the card goes out.
loop="$(losetup -f --show "$image" 2>/dev/null)" || skip "no free loop device"
detach_card() { losetup -j "$image" -n -O NAME | xargs -r -n 1 losetup -d; }
road_extra_cleanup=detach_card
disk="$(basename "$loop")"
catalog_of_card "$work/card.vtcat" "$image" "$disk" LATECARD "${deleted[@]/#/$work/originals/}"
losetup -d "$loop"
cd "$work"

road_start_program
road_dismiss_first_run
show_internal_disks
open_catalog "$work/card.vtcat"
wait_for "catalog opened without its card" 60 logged "catalog opened hits=${#deleted[@]} attached=false device=none"
wait_status "Loaded catalog — ${#deleted[@]} file(s). The source disk isn’t visible" 30
shot card-missing

losetup "$loop" "$image" || fail "$loop was taken by another program meanwhile"
wait_for "the card taken up" 60 logged "catalog disk attached $loop"
wait_status "Quality check finished." 180
shot card-attached
recover_all_into "$work/recovered"
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
shot recovered
quit_program none
answer_dont_save_if_asked
wait_program_end

check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
grep -qF "recoverSelected done saved=${#deleted[@]}/${#deleted[@]}" "$log" || fail "not every hit was saved"
echo "PASS: the card attached after opening was taken up; ${#deleted[@]} file(s) checked and recovered from it"

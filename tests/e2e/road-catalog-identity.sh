#!/usr/bin/env bash
# A catalog knows its card by what the card says of itself, never by the kernel name it had. Two
# 16 MiB cards made here: "MYSTICK" (FAT, real pictures and a PDF, three of them deleted) and
# "USBSTICK" (exFAT), both in one card reader whose device record gives them the same serial number
# (a made-up record in a mount namespace of the road's own, where the machine keeps none).
# 1. A catalog that records no identity (an older one) is opened while MYSTICK is attached: the user is
#    asked once about that disk, confirms, and the quality pass finishes; the catalog is saved again,
#    now with the card's identity.
# 2. MYSTICK is taken out and USBSTICK put in under the same kernel name: the catalog refuses it in
#    words, and a recovery writes nothing.
# 3. MYSTICK comes back under another kernel name: it is taken up and its files are recovered byte for
#    byte.
#
# usage: road-catalog-identity.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
source "$(dirname "$0")/road-catalog-lib.sh"
if [[ -z "${VANTREL_ROAD_NAMESPACE:-}" ]]; then
  [[ $(id -u) -eq 0 ]] || skip "the road needs root for loop devices and a mount namespace"
  command -v unshare >/dev/null || skip "unshare is not installed"
  VANTREL_ROAD_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi
road_begin catalog-identity "$@" mkfs.fat mkfs.exfat mcopy mdel convert exiftool losetup python3 jq

# The device database's records: a /run of the namespace's own where the machine has none.
if [[ ! -d /run/udev/data ]]; then
  mount -t tmpfs -o mode=755 tmpfs /run || skip "no tmpfs could be mounted over /run"
  mkdir -p /run/udev/data
fi
record_reader_serial() {
  local minor
  minor=$(($(stat -c '0x%T' "$1")))
  printf 'E:ID_SERIAL=Generic_STORAGE_DEVICE_000000000819-0:0\nE:ID_SERIAL_SHORT=000000000819\n' >"/run/udev/data/b7:$minor"
}

deleted=(beach.jpg diagram.png manual.pdf)
card_kib=16384
make_card_image "$work/mystick.img" MYSTICK "${deleted[@]}"
truncate -s "${card_kib}K" "$work/usbstick.img"
mkfs.exfat -L USBSTICK "$work/usbstick.img" >/dev/null
mkdir -p "$work/refused" "$work/recovered"
loops=()
detach_cards() { local node; for node in "${loops[@]}"; do losetup -d "$node" 2>/dev/null || true; done; }
road_extra_cleanup=detach_cards

first="$(attach_loop "$work/mystick.img")" || skip "no loop device could be attached"
loops+=("$first")
record_reader_serial "$first"
catalog_of_card "$work/old.vtcat" "$work/mystick.img" "$(basename "$first")" MYSTICK "${deleted[@]/#/$work/originals/}"
cd "$work"

# 1. The catalog without identity: asked once, confirmed, checked, saved with the card's identity.
road_start_program
road_dismiss_first_run
show_internal_disks
open_catalog "$work/old.vtcat"
answer_use_disk asked
wait_for "the card taken up" 60 logged "catalog disk attached $first"
wait_status "Quality check finished." 180
shot confirmed
save_catalog_with_menu "$work/card.vtcat"
jq -e '.source.medium.fingerprint | length == 64' "$work/card.vtcat" >/dev/null || fail "the saved catalog records no identity"
quit_program none
answer_dont_save_if_asked
wait_program_end
(($(grep -c 'identifyDevice /dev/' "$log") >= 1)) || fail "the helper was never asked what the card is"

# 2. Another card under the same kernel name: refused in words, nothing written.
since=$(($(wc -l <"$log") + 1))
logged_since() { tail -n "+$since" "$log" | grep -qF -- "$1"; }
losetup -d "$first"
losetup "$first" "$work/usbstick.img"
record_reader_serial "$first"
refusal='The attached disk "USBSTICK" is not the one these files were found on ("MYSTICK").'
road_start_program
road_dismiss_first_run
show_internal_disks
open_catalog "$work/card.vtcat"
wait_status "$refusal" 60
shot refused
recover_all_into "$work/refused"
alert="$(focus_window '^Error$')"
import -window "$alert" "$shots/$road_name-refused-alert.png"
keys Return
wait_for "closed error alert" 30 no_window '^Error$'
focus_main
logged_since "alert: $refusal" || fail "the recovery was not refused with the sentence"
[[ -z "$(ls -A "$work/refused")" ]] || fail "files were written from another card: $(ls -A "$work/refused")"
! logged_since "extractHit" || fail "the helper was asked to read the other card"

# 3. The catalog's card comes back under another kernel name: taken up and recovered.
second="$(attach_loop "$work/mystick.img")" || skip "no second loop device could be attached"
loops+=("$second")
record_reader_serial "$second"
wait_for "the card taken up under its new name" 60 logged "catalog disk attached $second"
shot taken-again
recover_all_into "$work/recovered"
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
shot recovered
quit_program none
answer_dont_save_if_asked
wait_program_end
check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
grep -qF "recoverSelected done saved=${#deleted[@]}/${#deleted[@]}" "$log" || fail "not every hit was saved"
echo "PASS: asked once for the catalog without identity; the other card under $first refused; ${#deleted[@]} file(s) recovered from the card under $second"

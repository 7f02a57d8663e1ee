#!/bin/sh
# Makes a FAT32 card image the way a camera fills one, for ScanBench and the reassembly benchmark.
#
#   make-camera-card.sh IMAGE SIZE_MIB PHOTO_DIR MODE
#
# PHOTO_DIR holds the JPEG photos to write (any names). The card gets 16 KiB clusters (CLUSTER_SECTORS in
# the environment sets another count of sectors), as cameras format
# them, and is filled in turn with the photos, once each pass, until it is full. MODE then says what
# happens to it:
#   full       nothing more
#   deleted    every third photo is deleted (DELETE_EVERY in the environment sets another period)
#   overwritten as deleted, then the photos of the folder NEW_PHOTOS (in the environment) are shot in
#              turn until the card is full or each has been shot once: they take the freed clusters from
#              the first on, and a photo larger than its hole goes on in the next one
#   reshot     as overwritten, then the card is quick-formatted
#   formatted  the card is quick-formatted again with the same geometry (the photos stay in the free space)
#   fragmented each photo A is written in two pieces with another photo B between them; then the card is
#              quick-formatted
# PASSES in the environment ends the filling after that many passes over the photos. With CARD_MANIFEST
# set, that file gets a line per photo written (before the mode's deletions or format): its name on the
# card, its source file, its size and its clusters (runs "a-b" joined by ","), for compare-recovery.sh.
# FAT32 needs 65525 clusters: a card below 1 GiB needs CLUSTER_SECTORS of 4 or fewer.
# Needs mkfs.fat and mtools; writes nothing but IMAGE (and the manifest).
set -eu
image=$1 size=$2 photos=$3 mode=$4
rm -f "$image"
truncate -s "${size}M" "$image"
format() { mkfs.fat -F 32 -s "${CLUSTER_SECTORS:-32}" -S 512 -i 20261210 -n CARD "$image" >/dev/null; }
format
export MTOOLS_SKIP_CHECK=1
mmd -i "$image" ::DCIM ::DCIM/100CAM
free() { minfo -i "$image" :: >/dev/null 2>&1; mdir -i "$image" :: | awk '/bytes free/ { gsub(/ /, "", $0); sub(/bytesfree/, "", $0); print $0 }'; }
n=0
manifest=${CARD_MANIFEST:-}
[ -z "$manifest" ] || : > "$manifest"
# note NAME SOURCE: the manifest's line for a photo on the card.
note() {
  [ -n "$manifest" ] || return 0
  printf '%s\t%s\t%s\t%s\n' "::/$1" "$(readlink -f "$2")" "$(stat -c %s "$2")" \
    "$(mshowfat -i "$image" "::$1" | sed 's/^[^<]*//; s/[<>]//g; s/ \+/,/g; s/^,//; s/,$//')" >> "$manifest"
}
# mtools takes new clusters after the last ones it gave (the FSInfo sector's hint), as a camera does not:
# with the hint unknown, the next file starts in the first free cluster.
forget_next_free() {
  fsinfo=$(od -An -tu2 -j48 -N2 "$image" | tr -d ' ')
  printf '\377\377\377\377' | dd of="$image" bs=1 seek=$((fsinfo * 512 + 492)) conv=notrunc status=none
}
if [ "$mode" = fragmented ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  set -- "$photos"/*.jpg
  pass=0
  while [ "$pass" -lt "${PASSES:-1000000}" ]; do
    pass=$((pass + 1))
    for a in "$@"; do
      n=$((n + 1))
      # B is the photo after A in the folder's order (the first after the last).
      b=$1 take=
      for next in "$@"; do
        [ -n "$take" ] && { b=$next; break; }
        [ "$next" = "$a" ] && take=1
      done
      sa=$(stat -c %s "$a")
      [ "$(free)" -gt "$(( 2 * sa + $(stat -c %s "$b") + 1048576 ))" ] || break 2
      # A file as long as half of A, then B; once the first is deleted, A fills its clusters and goes on
      # after B.
      head -c "$(( sa / 2 ))" "$a" > "$work/a"
      mcopy -i "$image" "$work/a" "::DCIM/100CAM/X$n.JPG"
      mcopy -i "$image" "$b" "::DCIM/100CAM/B$n.JPG"
      mdel -i "$image" "::DCIM/100CAM/X$n.JPG"
      forget_next_free
      mcopy -i "$image" "$a" "::DCIM/100CAM/A$n.JPG"
      note "DCIM/100CAM/B$n.JPG" "$b"
      note "DCIM/100CAM/A$n.JPG" "$a"
    done
  done
  format
  exit 0
fi
# shoot PHOTO...: each photo in turn under the next number, while the card has room for it.
shoot() {
  for photo in "$@"; do
    n=$((n + 1))
    left=$(free)
    [ "$left" -gt "$(( $(stat -c %s "$photo") + 65536 ))" ] || return 1
    mcopy -i "$image" "$photo" "::DCIM/100CAM/IMG_$(printf %04d "$n").JPG"
    note "DCIM/100CAM/IMG_$(printf %04d "$n").JPG" "$photo"
  done
}
pass=0
while [ "$pass" -lt "${PASSES:-1000000}" ]; do
  pass=$((pass + 1))
  shoot "$photos"/*.jpg || break
done
case "$mode" in
  full) ;;
  deleted | overwritten | reshot)
    i=0
    for name in $(mdir -b -i "$image" ::DCIM/100CAM); do
      i=$((i + 1))
      [ $((i % ${DELETE_EVERY:-3})) -eq 0 ] && mdel -i "$image" "$name"
    done
    if [ "$mode" != deleted ]; then
      forget_next_free
      shoot "${NEW_PHOTOS:?NEW_PHOTOS names the folder of the new photos}"/*.jpg || :
    fi
    [ "$mode" != reshot ] || format
    ;;
  formatted) format ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
# The last deletion test may have been false: the card is made all the same.
exit 0

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
#   deleted    every third photo is deleted
#   formatted  the card is quick-formatted again with the same geometry (the photos stay in the free space)
#   fragmented each photo A is written in two pieces with another photo B between them; then the card is
#              quick-formatted
# Needs mkfs.fat and mtools; writes nothing but IMAGE.
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
if [ "$mode" = fragmented ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  set -- "$photos"/*.jpg
  while :; do
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
      mcopy -i "$image" "$a" "::DCIM/100CAM/A$n.JPG"
    done
  done
  format
  exit 0
fi
while :; do
  for photo in "$photos"/*.jpg; do
    n=$((n + 1))
    left=$(free)
    [ "$left" -gt "$(( $(stat -c %s "$photo") + 65536 ))" ] || break 2
    mcopy -i "$image" "$photo" "::DCIM/100CAM/IMG_$(printf %04d "$n").JPG"
  done
done
case "$mode" in
  full) ;;
  deleted)
    i=0
    for name in $(mdir -b -i "$image" ::DCIM/100CAM); do
      i=$((i + 1))
      [ $((i % 3)) -eq 0 ] && mdel -i "$image" "$name"
    done
    ;;
  formatted) format ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac

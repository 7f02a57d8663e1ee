#!/usr/bin/env bash
# What Vantrel, PhotoRec and The Sleuth Kit bring back from cards made here, counted byte for byte
# against the photos put on them. Not a test; run by hand:
#
#   compare-recovery.sh [--build DIR] [--cards LIST] WORK
#
# WORK (kept between runs; each step whose result is there already is skipped, so delete a card's
# folder to make it anew) gets photos/, one folder per card with card.img, manifest.tsv and the tools'
# outputs, results.tsv (one line per card and tool) and details.tsv (every output that is wrong or
# junk, every target missed). --cards takes a comma-separated list of the cards below (default all):
#   formatted    128 MiB camera card filled to the brim, then quick-formatted
#   overwritten  128 MiB camera card, every third photo deleted, then new photos shot into the room
#   reshot       the same, then quick-formatted: the new photos that ran on from one hole into the next
#                lie in pieces, the rest of the old ones between them
#   stick        128 MiB stick on which pairs of files (JPEG and JPEG, JPEG and ZIP, MP3 and JPEG) grew in
#                turns, then were deleted
#   lowdetail    64 MiB card of night shots and scanned letters (a small fraction of a bit per pixel),
#                every second one deleted
#   fragmented   128 MiB camera card of photos in two pieces with another photo between, quick-formatted
#   lowfragmented the same with the night shots and letters (each once as the first and once as the
#                second photo), on a 64 MiB card
# The photos are the real ones of Debian's mate-backgrounds and ukui-wallpapers, cut to camera sizes and
# encoded by ImageMagick at quality 85 to 92 with an EXIF block and thumbnail (exiftool), as a camera
# writes them. Vantrel runs as AppModelRecoverAll (the model with the built helper and the quality pass:
# a standard scan with the default filters, every hit recovered); PhotoRec searches the whole card;
# tsk_recover writes the deleted files it finds in the file system. The seconds column is only a guide:
# the tools run one after another into folders left in place, and only Vantrel flushes its files; the
# speed against PhotoRec is measured by AppModelScanRecoverBench.
#
# Needs: imagemagick, libimage-exiftool-perl, mtools, dosfstools, testdisk, sleuthkit, zip, lame or
# ffmpeg, python3, mate-backgrounds, ukui-wallpapers; and a build with AppModelRecoverAll.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
cards=formatted,overwritten,reshot,stick,lowdetail,fragmented,lowfragmented
while [ $# -gt 1 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --cards) cards=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: compare-recovery.sh [--build DIR] [--cards LIST] WORK" >&2; exit 2; }
mkdir -p "$1"
work=$(cd "$1" && pwd)
recoverAll=$(cd "$build" && pwd)/bench/AppModelRecoverAll
[ -x "$recoverAll" ] || { echo "no $recoverAll: build the target AppModelRecoverAll" >&2; exit 2; }
for program in convert exiftool mcopy mkfs.fat photorec tsk_recover python3 zip; do
  command -v "$program" >/dev/null || { echo "needs $program" >&2; exit 2; }
done
export MTOOLS_SKIP_CHECK=1

# camera SOURCE OUT WIDTHxHEIGHT QUALITY [EXTRA...]: a photo as a camera writes one, cut to the size.
camera() {
  local source=$1 out=$2 size=$3 quality=$4
  shift 4
  [ -f "$out" ] && return 0
  # A seed of the photo's name: the same noise in every run.
  convert -seed "$(basename "$out" | cksum | cut -d' ' -f1)" "$source" -auto-orient -resize "$size^" -gravity center -extent "$size" "$@" -sampling-factor 2x1 \
    -quality "$quality" "$out"
  convert "$out" -resize 160x120 "$out.thumb.jpg"
  exiftool -q -overwrite_original -Make=Vantrel -Model="Bench Camera" -DateTimeOriginal="2026:12:01 10:00:00" \
    "-ThumbnailImage<=$out.thumb.jpg" "$out"
  rm -f "$out.thumb.jpg"
}

sources() {
  ls /usr/share/backgrounds/mate/nature/*.jpg /usr/share/backgrounds/*_by_*.jpg 2>/dev/null | sort
}

make_photos() {
  local dir=$work/photos
  [ -f "$dir/done" ] && return 0
  mkdir -p "$dir/camera" "$dir/new" "$dir/low" "$dir/stick"
  # The wallpapers are smoother than what a camera's sensor sees: noise brings them to a camera's 1 to 3
  # bytes per pixel.
  local i=0 sizes=(4000x3000 3264x2448 2592x1944) qualities=(92 88 85 90) noise=(-attenuate 0.5 +noise Gaussian)
  mapfile -t all < <(sources)
  [ "${#all[@]}" -ge 12 ] || { echo "too few photos under /usr/share/backgrounds: install mate-backgrounds ukui-wallpapers" >&2; exit 2; }
  for source in "${all[@]}"; do
    i=$((i + 1))
    camera "$source" "$dir/camera/P$(printf %03d $i).jpg" "${sizes[$((i % 3))]}" "${qualities[$((i % 4))]}" "${noise[@]}" &
    camera "$source" "$dir/camera/Q$(printf %03d $i).jpg" "${sizes[$(((i + 1) % 3))]}" "${qualities[$(((i + 2) % 4))]}" -flop "${noise[@]}" &
    wait
  done
  # New shots: the same scenes, turned and cut otherwise.
  for n in 1 2 3 4 5 6 7 8; do
    camera "${all[$((n * 2))]}" "$dir/new/N$(printf %03d $n).jpg" 3264x2448 90 -rotate 180 "${noise[@]}" &
    [ $((n % 2)) -eq 1 ] || wait
  done
  # Night shots: dark and soft; scanned letters: a page of text, slightly grey and blurred.
  for n in 1 2 3 4 5 6 7 8 9 10 11 12; do
    camera "${all[$((n % ${#all[@]}))]}" "$dir/low/L$(printf %03d $n).jpg" 4000x3000 88 -blur 0x12 -evaluate multiply 0.12
  done
  local letters=(GPL-3 Apache-2.0 LGPL-2.1 MPL-2.0 Artistic GFDL-1.3 BSD CC0-1.0)
  n=0
  for text in "${letters[@]}"; do
    n=$((n + 1))
    [ -f "$dir/low/S$(printf %03d $n).jpg" ] && continue
    # The text as an argument (ImageMagick's policy may refuse to read it from a file); % is its escape.
    convert -size 2480x3508 xc:'#f4f2ee' -font DejaVu-Sans -pointsize 30 -fill '#222' \
      -annotate +180+220 "$(head -c 3500 "/usr/share/common-licenses/$text" | sed 's/%/%%/g')" -blur 0x0.6 "$dir/letter.png"
    camera "$dir/letter.png" "$dir/low/S$(printf %03d $n).jpg" 2480x3508 85 -colorspace Gray
  done
  rm -f "$dir/letter.png"
  # The stick's files: photos, a ZIP of documents, an MP3.
  for n in 1 2 3 4 5 6; do
    camera "${all[$((n * 5 % ${#all[@]}))]}" "$dir/stick/J$n.jpg" 2592x1944 90 -roll +$((n * 37))+0 "${noise[@]}"
  done
  rm -f "$dir/stick/docs.zip"
  (cd /usr/share && zip -q -9 -r "$dir/stick/docs.zip" common-licenses perl5/Image/ExifTool/Canon.pm perl5/Image/ExifTool/Nikon.pm)
  local wav=$dir/tone.wav
  if command -v sox >/dev/null; then
    sox -n -r 44100 -c 2 "$wav" synth 40 pluck C3 pluck E3 tremolo 3 40 2>/dev/null
  else
    ffmpeg -loglevel error -f lavfi -i "sine=frequency=330:duration=40" -ac 2 "$wav"
  fi
  if command -v lame >/dev/null; then lame --quiet -b 192 "$wav" "$dir/stick/song.mp3"
  else ffmpeg -loglevel error -i "$wav" -b:a 192k "$dir/stick/song.mp3"; fi
  rm -f "$wav"
  touch "$dir/done"
}

make_card() {
  local card=$1 dir=$work/$1
  [ -f "$dir/card.img" ] && [ -f "$dir/manifest.tsv" ] && return 0
  mkdir -p "$dir"
  local photos=$work/photos
  case "$card" in
    formatted)
      CLUSTER_SECTORS=2 CARD_MANIFEST=$dir/manifest.tsv "$here/make-camera-card.sh" "$dir/card.img" 128 "$photos/camera" formatted ;;
    overwritten | reshot)
      CLUSTER_SECTORS=2 CARD_MANIFEST=$dir/manifest.tsv NEW_PHOTOS=$photos/new \
        "$here/make-camera-card.sh" "$dir/card.img" 128 "$photos/camera" "$card" ;;
    lowdetail)
      CLUSTER_SECTORS=1 PASSES=1 DELETE_EVERY=2 CARD_MANIFEST=$dir/manifest.tsv \
        "$here/make-camera-card.sh" "$dir/card.img" 64 "$photos/low" deleted ;;
    fragmented)
      CLUSTER_SECTORS=2 CARD_MANIFEST=$dir/manifest.tsv "$here/make-camera-card.sh" "$dir/card.img" 128 "$photos/camera" fragmented ;;
    lowfragmented)
      CLUSTER_SECTORS=1 PASSES=1 CARD_MANIFEST=$dir/manifest.tsv "$here/make-camera-card.sh" "$dir/card.img" 64 "$photos/low" fragmented ;;
    stick)
      local s=$photos/stick
      python3 "$here/make-interleaved-stick.py" "$dir/card.img" 128 "$dir/manifest.tsv" \
        "$s/J1.jpg" "$s/J2.jpg" "$s/J3.jpg" "$s/docs.zip" "$s/song.mp3" "$s/J4.jpg" "$s/J5.jpg" "$s/J6.jpg" ;;
    *) echo "unknown card $card" >&2; exit 2 ;;
  esac
}

# timed NAME COMMAND...: runs the command, its output into the card's run log, its seconds into NAME.seconds.
timed() {
  local name=$1
  shift
  local start end
  start=$(date +%s.%N)
  "$@" >> "$dir/$name.log" 2>&1 || echo "$name exited with $?" >> "$dir/$name.log"
  end=$(date +%s.%N)
  python3 -c "print(round($end - $start, 1))" > "$dir/$name.seconds"
}

run_tools() {
  local dir=$work/$1
  if [ ! -f "$dir/vantrel.seconds" ]; then
    rm -rf "$dir/vantrel" "$dir/vantrel.log"
    timed vantrel "$recoverAll" --image "$dir/card.img" --out "$dir/vantrel"
  fi
  if [ ! -f "$dir/photorec.seconds" ]; then
    rm -rf "$dir/photorec" "$dir/photorec.log"
    mkdir -p "$dir/photorec"
    # PhotoRec writes its log into the folder it runs in.
    (cd "$dir/photorec" && timed photorec photorec /log /d "$dir/photorec/recup" /cmd "$dir/card.img" partition_none,wholespace,search)
  fi
  if [ ! -f "$dir/tsk.seconds" ]; then
    rm -rf "$dir/tsk" "$dir/tsk.log"
    timed tsk tsk_recover "$dir/card.img" "$dir/tsk"
    mkdir -p "$dir/tsk"
  fi
}

make_photos
results=$work/results.tsv details=$work/details.tsv
printf 'card\ttool\ttargets\toverwritten\tlive files\toutputs\texact\texact but flagged\tflagged\twrong\tjunk\tmissing\tlive outputs\tduplicates\tseconds\n' > "$results"
printf 'card\ttool\twhat\toutput\twhere\twhy\n' > "$details"
IFS=, read -r -a chosen <<< "$cards"
for card in "${chosen[@]}"; do
  dir=$work/$card
  make_card "$card"
  run_tools "$card"
  for tool in vantrel photorec tsk; do
    extra=()
    [ "$tool" = vantrel ] && extra=(--vantrel-list "$dir/vantrel/list.tsv")
    [ "$tool" = photorec ] && extra=(--photorec-log "$dir/photorec/photorec.log")
    line=$(python3 "$here/compare-recovery.py" --card "$card" --tool "$tool" --image "$dir/card.img" --manifest "$dir/manifest.tsv" \
      --outputs "$dir/$tool" --details "$details" "${extra[@]}")
    printf '%s\t%s\n' "$line" "$(cat "$dir/$tool.seconds" 2>/dev/null || echo ?)" >> "$results"
  done
done
column -t -s $'\t' "$results"
echo "details: $details"

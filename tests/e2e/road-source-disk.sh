#!/usr/bin/env bash
# Recovery never writes onto the disk being read. An ext4 image made here holds real pictures and a PDF,
# three of them deleted; the window scans it, the quality pass fetches every hit into its probe cache,
# and then the user mounts the card (a loop device over the same image) and asks to recover into a
# folder on it. The program refuses before it creates a file, for the hits it would copy from its cache
# as for those the helper would extract; the folder stays empty and the card's listing unchanged. The
# same hits recovered into a folder elsewhere afterwards hold every deleted original byte for byte:
# nothing on the card was overwritten.
#
# usage: road-source-disk.sh PATH/TO/Vantrel BUILD_DIRECTORY
set -euo pipefail
source "$(dirname "$0")/road-lib.sh"
road_begin source-disk "$@" mkfs.ext4 debugfs convert exiftool losetup mount umount mountpoint

mkdir -p "$work/originals" "$work/recovered" "$work/tmp" "$work/card" "$work/content/Recovered"
make_card_files "$work/originals"
cp "$work/originals"/* "$work/content/"
deleted=(beach.jpg diagram.png manual.pdf)
image="$work/card.img"
# Filled at making, so that no mount writes to it before the scan; the folder to recover into is there
# already, since making it later could take blocks the deleted files held.
mkfs.ext4 -q -F -b 4096 -L SRCCARD -d "$work/content" "$image" 32M
for name in "${deleted[@]}"; do debugfs -w -R "rm $name" "$image" >/dev/null 2>&1; done
cd "$work"

loop=""
release_card() {
  if mountpoint -q "$work/card"; then umount "$work/card" || umount -l "$work/card"; fi
  if [[ -n "$loop" ]]; then losetup -d "$loop" || true; fi
  loop=""
}
road_extra_cleanup=release_card

# The probe cache lives in the temporary folder: here, where the test can see it fill.
export TMPDIR="$work/tmp"
road_start_program
road_dismiss_first_run
wait_for "helper start in the log" 60 logged "Starting a helper"
open_image "$image"
# The image is selected once the volume list took it in: Ctrl+R until the scan asks or starts.
scan_asked() { has_window '^Scan Mode$' || logged "startScan volume=$image"; }
until scan_asked; do
  ((SECONDS < 120)) || fail "Ctrl+R started no scan of the image"
  keys ctrl+r
  sleep 1
done
if has_window '^Scan Mode$'; then
  focus_window '^Scan Mode$' >/dev/null
  keys Return
  wait_for "closed scan-mode sheet" 30 no_window '^Scan Mode$'
  focus_main
fi
wait_for "scan end in the log" 300 logged "Scan complete"
probes_cached() { (($(find "$work/tmp" -path '*/Vantrel-Probes-*' -type f | wc -l) >= ${#deleted[@]})); }
wait_for "the deleted files' probes in the cache" 120 probes_cached
shot scanned

# The user mounts the card again and picks a folder on it.
# A loop device of a high number, so that roads that take the first free one keep theirs.
for number in $(seq 250 -1 128); do
  node=/dev/loop$number
  [[ -e $node ]] || mknod -m 660 "$node" b 7 "$number" 2>/dev/null || continue
  if losetup "$node" "$image" 2>/dev/null; then loop=$node; break; fi
done
[[ -n "$loop" ]] || skip "no loop device could be attached"
mount "$loop" "$work/card"
listing() { (cd "$work/card" && find . -printf '%p %s\n' | sort); }
before="$(listing)"

recover_all_into "$work/card/Recovered"
wait_for "the refusal in the log" 60 logged "recoverSelected refused $work/card/Recovered"
alert="$(focus_window '^Error$')"
import -window "$alert" "$shots/$road_name-refused-alert.png"
shot refused
keys Return
wait_for "closed error alert" 30 no_window '^Error$'
focus_main
[[ -z "$(ls -A "$work/card/Recovered")" ]] || fail "files were made in the folder on the card: $(ls -A "$work/card/Recovered")"
[[ "$(listing)" == "$before" ]] || fail "the card's listing changed"
! logged "recover from probe cache" || fail "a hit was copied from the probe cache"
! logged "recoverSelected count=" || fail "a recovery onto the card started"
grep -qF "The destination lies on the disk being read" "$log" || fail "the log does not say why"
release_card

# Recovered elsewhere, every deleted file is as it was.
recover_all_into "$work/recovered"
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
quit_program dont-save
wait_program_end
check_recovered "$work/recovered" "$work/originals" "${deleted[@]}"
logged "recover from probe cache" || fail "no hit was served from the probe cache"
echo "PASS: nothing written onto the mounted card; $recovered_count file(s) recovered elsewhere, each equal to a file of the card"

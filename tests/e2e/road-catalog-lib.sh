# Steps of the catalog roads (saving at the question, opening a catalog, a card that comes later),
# on road-lib.sh, which is sourced first.

# answer_save_catalog PATH [SHOT]: the "Save scan catalog?" question is open; "Save Catalog…" (its
# default button), then PATH typed into the save dialog.
answer_save_catalog() {
  focus_window '^Save scan catalog\?$' >/dev/null
  if [[ -n "${2:-}" ]]; then shot "$2"; fi
  keys Return
  focus_window '^Save Scan Catalog' >/dev/null
  # The dialog proposes a name: the typed path replaces it.
  keys ctrl+a
  type_text "$1"
  shot save-dialog
  keys Return
  wait_for "closed save dialog" 30 no_window '^Save Scan Catalog'
}

# save_catalog_with_menu PATH: File → Save Catalog… (Ctrl+S), PATH typed into the dialog, until the
# status says it was saved.
save_catalog_with_menu() {
  local before
  before=$(logged_count "status: Catalog saved")
  focus_main
  keys ctrl+s
  focus_window '^Save Scan Catalog' >/dev/null
  keys ctrl+a
  type_text "$1"
  keys Return
  wait_for "closed save dialog" 30 no_window '^Save Scan Catalog'
  saved() { (($(logged_count "status: Catalog saved") > before)); }
  wait_for "saved catalog" 30 saved
  focus_main
}

# answer_dont_save_if_asked: "Don't Save" when the question is open (after a quality pass the results
# may have changed), else nothing.
answer_dont_save_if_asked() {
  local deadline=$((SECONDS + 3))
  until has_window '^Save scan catalog\?$' || ((SECONDS >= deadline)); do sleep 0.2; done
  if has_window '^Save scan catalog\?$'; then
    focus_window '^Save scan catalog\?$' >/dev/null
    keys Tab space
    wait_for "closed question" 30 no_window '^Save scan catalog\?$'
  fi
}

# open_catalog PATH [SHOT]: File → Open Catalog… (Ctrl+O), PATH typed into the dialog; a question
# about unsaved results is answered "Don't Save".
open_catalog() {
  focus_main
  keys ctrl+o
  focus_window '^Open Scan Catalog' >/dev/null
  type_text "$1"
  if [[ -n "${2:-}" ]]; then shot "$2"; fi
  keys Return
  wait_for "closed catalog dialog" 30 no_window '^Open Scan Catalog'
  answer_dont_save_if_asked
  focus_main
}

# show_internal_disks: Disk Access → Show Internal Disks (Alt+D, D), so that loop devices join the strip.
show_internal_disks() {
  focus_main
  keys alt+d
  sleep 0.5
  shot disk-access-menu
  keys d
  focus_main
}

# wait_status TEXT [SECONDS]: until the status line TEXT (its start) is in the log.
wait_status() { wait_for "status \"$1\"" "${2:-120}" logged "status: $1"; }

# catalog_of_card CATALOG IMAGE DISK LABEL ORIGINALS...: a catalog, as the program writes them, of the
# disk DISK (a kernel name such as loop3) holding IMAGE's bytes, with one hit per original file where
# the file's bytes lie in the image. The program records its scans the same way; the files are found
# by their bytes so that the hits are where a scan finds them.
catalog_of_card() {
  local catalog=$1 image=$2 disk=$3 label=$4
  shift 4
  python3 - "$catalog" "$image" "$disk" "$label" "$@" <<'PY'
import json, os, sys, uuid
catalog, image, disk, label, *originals = sys.argv[1:]
data = open(image, 'rb').read()
kinds = {'.jpg': 'jpeg', '.jpeg': 'jpeg', '.png': 'png', '.pdf': 'pdf'}
hits = []
for path in originals:
    content = open(path, 'rb').read()
    offset = data.find(content)
    if offset < 0:
        sys.exit(f'{path} is not whole in {image}')
    hits.append({'id': str(uuid.uuid4()).upper(), 'kind': kinds[os.path.splitext(path)[1].lower()],
                 'byteOffset': offset, 'byteLength': len(content), 'suggestedName': os.path.basename(path),
                 'isFragmented': False, 'source': 'signatureCarve', 'integrity': 'pending', 'clusterReallocated': False})
source = {'kind': 'volume', 'displayName': label, 'bsdName': disk, 'rawDevicePath': '/dev/' + disk,
          'sizeBytes': len(data)}
json.dump({'version': 1, 'createdAt': '2026-01-01T00:00:00Z', 'source': source, 'hits': hits},
          open(catalog, 'w'), indent=2)
PY
}

# make_card_image IMAGE LABEL DELETED...: a FAT image of card_kib KiB (16384 unless set) holding
# make_card_files' files (made in $work/originals), of which the DELETED ones are deleted again. A
# freshly made FAT stores each file in one run, so a deleted file's bytes stay whole in the image.
make_card_image() {
  local image=$1 label=$2 file name
  shift 2
  mkdir -p "$work/originals"
  make_card_files "$work/originals"
  mkfs.fat -C -n "$label" "$image" "${card_kib:-16384}" >/dev/null
  for file in "$work/originals"/*; do mcopy -i "$image" "$file" "::$(basename "$file")"; done
  for name in "$@"; do mdel -i "$image" "::$name"; done
}

# answer_use_disk [SHOT]: the question whether an attached disk is a catalog's ("Use "…" (…) for this
# catalog?") is open; "Use Disk" (Cancel is the default button, so Shift+Tab reaches it first).
answer_use_disk() {
  wait_for "the question about the catalog's disk" 60 has_window '^Use "'
  focus_window '^Use "' >/dev/null
  if [[ -n "${1:-}" ]]; then shot "$1"; fi
  keys shift+Tab space
  wait_for "closed question" 30 no_window '^Use "'
  focus_main
}

# attach_loop IMAGE: attaches IMAGE to a free loop device of a high number (so that roads that take the
# first free one keep theirs) and prints its node.
attach_loop() {
  local number node
  for number in $(seq 250 -1 128); do
    node=/dev/loop$number
    [[ -e /sys/block/loop$number/loop/backing_file ]] && continue
    [[ -e $node ]] || mknod -m 660 "$node" b 7 "$number" 2>/dev/null || continue
    if losetup "$node" "$1" 2>/dev/null; then echo "$node"; return 0; fi
  done
  return 1
}

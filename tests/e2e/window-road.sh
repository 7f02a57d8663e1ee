#!/usr/bin/env bash
# The whole program on a virtual display: the built Vantrel, the helper it spawns beside itself, a FAT
# image made here with mkfs.fat and mtools that holds real pictures and a PDF (some of them deleted),
# driven only through its keys as a user would: open the image, scan it, select every hit, recover into
# a folder, quit. Every recovered file is compared byte for byte with the file it came from, and a
# screenshot of each step goes to BUILD/screenshots/e2e-*.png.
#
# usage: window-road.sh PATH/TO/Vantrel BUILD_DIRECTORY
# Exit status 77 (a skip for CTest) when the tools or root are missing.
#
# Waiting is on what can be seen (a window, a line of the program's log, files in the folder), each
# under a generous limit that only keeps a broken run from hanging; no step is timed.
set -euo pipefail

skip() { echo "SKIP: $*"; exit 77; }
[[ $# -eq 2 ]] || { echo "usage: $0 PATH/TO/Vantrel BUILD_DIRECTORY" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
program="$(realpath "$1")"
build="$(realpath "$2")"
[[ -x "$program" ]] || { echo "no program at $program" >&2; exit 2; }

# The helper is spawned directly only by a program that runs as root; otherwise a password is asked.
[[ $(id -u) -eq 0 ]] || skip "the program reaches its helper without a password only as root"
for tool in xvfb-run xauth xdotool import mkfs.fat mcopy mdel convert exiftool sha256sum; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# Everything else runs inside the virtual display.
if [[ -z "${VANTREL_E2E_DISPLAY:-}" ]]; then
  exec env VANTREL_E2E_DISPLAY=1 xvfb-run -a -s "-screen 0 1280x900x24 -nolisten tcp" "$0" "$program" "$build"
fi

work="$build/e2e-window-road"
shots="$build/screenshots"
rm -rf "$work"
mkdir -p "$work"/{home,config,data,cache,runtime,originals,recovered} "$shots"
chmod 700 "$work/runtime"
rm -f "$shots"/e2e-*.png
log="$work/program.log"

fail() {
  echo "FAIL: $*" >&2
  shot failure || true
  echo "--- the program's log (last lines) ---" >&2
  tail -n 40 "$log" >&2 || true
  exit 1
}
shot() { import -window root "$shots/e2e-$1.png"; }

# wait_for WHAT SECONDS COMMAND...: until COMMAND succeeds, while the program lives.
wait_for() {
  local what=$1 limit=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@"; do
    ((SECONDS < deadline)) || fail "no $what after ${limit}s"
    if [[ -n "${app:-}" ]] && ! kill -0 "$app" 2>/dev/null; then fail "the program ended while waiting for $what"; fi
    sleep 0.2
  done
}
visible_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
has_window() { [[ -n "$(visible_window "$1")" ]]; }
no_window() { [[ -z "$(visible_window "$1")" ]]; }
# focus_window TITLE: waits for the window and gives it the keyboard (there is no window manager).
focus_window() {
  wait_for "window \"$1\"" 60 has_window "$1"
  local id
  id="$(visible_window "$1")"
  xdotool windowfocus --sync "$id"
  echo "$id"
}
logged() { grep -qF -- "$1" "$log"; }
keys() { xdotool key --delay 80 "$@"; }
type_text() { xdotool type --delay 20 -- "$1"; }

# --- The card: real files, three of them deleted. -------------------------------------------------
# The pictures are at least 800 × 600 and 8 KB (the scan's standard filters skip smaller ones); the
# PDF is the one exiftool's documentation ships. A file still on the card is no hit: it is there.
cd "$work/originals"
convert -seed 11 -size 1024x768 plasma:fractal -quality 90 beach.jpg
exiftool -q -overwrite_original "-DateTimeOriginal=2024:07:14 18:05:00" beach.jpg
convert -seed 12 -size 800x600 plasma:fractal -quality 85 sunset.jpg
convert -seed 13 -size 900x600 plasma:fractal diagram.png
cp /usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf manual.pdf
originals=(beach.jpg sunset.jpg diagram.png manual.pdf)
deleted=(beach.jpg diagram.png manual.pdf)
image="$work/card.img"
mkfs.fat -C -n E2ECARD "$image" 32768 >/dev/null
for name in "${originals[@]}"; do mcopy -i "$image" "$name" "::$name"; done
for name in "${deleted[@]}"; do mdel -i "$image" "::$name"; done
mdir -i "$image" :: >"$work/card-listing.txt"
cd "$work"

# --- The program, with a home of its own: no settings come in or leak out. -----------------------
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
export XDG_RUNTIME_DIR="$work/runtime"
export QT_QPA_PLATFORM=xcb
# No desktop's theme: Qt's own dialogs, and its own order of dialog buttons (the quit step counts on it).
unset QT_QPA_PLATFORMTHEME SESSION_MANAGER XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID
# No helper service answers here: the program spawns its own helper beside itself.
export VANTREL_HELPER_SOCKET="$work/no-service.sock"
# Logging on through each program's own setting; the log says when the scan and the recovery end.
mkdir -p "$XDG_CONFIG_HOME/vantrel"
for name in Vantrel VantrelHelper; do
  echo '{"vantrel.logging.enabled": true}' >"$XDG_CONFIG_HOME/vantrel/$name.json"
done

# A sanitizer build reports leaks at the end; those of the system's libraries are not ours.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan-suppressions.txt"

"$program" >"$log" 2>&1 &
app=$!
cleanup() {
  if kill -0 "$app" 2>/dev/null; then kill "$app" 2>/dev/null || true; fi
}
trap cleanup EXIT

main="$(focus_window '^Vantrel$')"
# The first start asks for disk access, at once with the window, unless the helper service is
# installed here; a user without the service closes the sheet.
first_run_sheet() { has_window '^Disk Access$'; }
close_first_run_sheet() {
  focus_window '^Disk Access$' >/dev/null
  keys Escape
  wait_for "closed disk-access sheet" 30 no_window '^Disk Access$'
}
sheet_deadline=$((SECONDS + 10))
until first_run_sheet || ((SECONDS >= sheet_deadline)); do sleep 0.2; done
shot start
if first_run_sheet; then close_first_run_sheet; else echo "note: no first-run disk-access sheet (a helper service is installed here)"; fi
xdotool windowfocus --sync "$main"
# At launch the program reaches its helper, and says so in its log.
wait_for "helper start in the log (the flag file /tmp/io.tessik.vantrel.logging may turn logging off)" 60 \
  logged "Starting a helper"

# --- Open the image: it joins the strip, selected. -------------------------------------------------
# The item is there once the helper answered and said it takes image files: ask until the dialog shows.
asked_for_image=$((SECONDS + 60))
until has_window '^Open Image File'; do
  ((SECONDS < asked_for_image)) || fail "no \"Open Image File\" dialog after 60s of Ctrl+Shift+O"
  # A first-run sheet later than the wait above would take the keys.
  if first_run_sheet; then close_first_run_sheet; fi
  xdotool windowfocus --sync "$main"
  keys ctrl+shift+o
  sleep 1
done
focus_window '^Open Image File' >/dev/null
type_text "$image"
shot open-image
keys Return
wait_for "closed file dialog" 30 no_window '^Open Image File'
xdotool windowfocus --sync "$main"
shot volume-selected

# --- Scan. -------------------------------------------------------------------------------------------
keys ctrl+r
# A volume whose file system can be read offers the scan modes first; Return takes the preselected one.
scan_asked() { has_window '^Scan Mode$' || logged "startScan volume="; }
wait_for "scan-mode sheet or scan start" 60 scan_asked
if has_window '^Scan Mode$'; then
  focus_window '^Scan Mode$' >/dev/null
  shot scan-mode
  keys Return
  wait_for "closed scan-mode sheet" 30 no_window '^Scan Mode$'
  xdotool windowfocus --sync "$main"
fi
wait_for "scan start in the log" 60 logged "startScan path=$image"
wait_for "scan end in the log" 300 logged "Scan complete"
helper="$(pgrep -P "$app" -x VantrelHelper | head -n 1 || true)"
[[ -n "$helper" ]] || fail "the helper is not the program's child"
shot scan-finished

# --- Select every hit and recover them into a folder. ------------------------------------------------
# A click in the results pane gives the table the keyboard; Ctrl+A selects every row and
# Ctrl+Shift+R is "Recover Selected".
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT * 3 / 4)) click 1
keys ctrl+a
shot all-selected
keys ctrl+shift+r
focus_window '^Find Directory' >/dev/null
shot recover-folder
destination="$work/recovered"
type_text "$destination/"
keys Return
wait_for "closed folder dialog" 30 no_window '^Find Directory'
xdotool windowfocus --sync "$main"
wait_for "recovery start in the log" 60 logged "recoverSelected count="
wait_for "recovery end in the log" 300 logged "recoverSelected done saved="
shot recovery-done

# --- Quit: the unsaved results are let go ("Don’t Save" is the button after "Save Catalog…"). -------
keys ctrl+q
focus_window '^Save scan catalog\?$' >/dev/null
shot quit-prompt
keys Tab space
deadline=$((SECONDS + 60))
while kill -0 "$app" 2>/dev/null; do
  ((SECONDS < deadline)) || fail "the program did not end after Quit"
  sleep 0.2
done
status=0
wait "$app" || status=$?
app=""
((status == 0)) || fail "the program ended with status $status"
# The helper and the verifying children write to the same log; a sanitizer's report there is a fault too.
! grep -qE "ERROR: [A-Za-z]+Sanitizer|runtime error:" "$log" || fail "a sanitizer reported an error (see $log)"
helper_ended() { [[ ! -e /proc/$helper ]] || [[ "$(awk '{print $3}' "/proc/$helper/stat" 2>/dev/null)" == Z ]]; }
wait_for "end of the helper $helper" 60 helper_ended

# --- Every deleted file came back, byte for byte. ----------------------------------------------------
# Undeleted files get names of the program's own, so each is matched to the card's file by its bytes.
declare -A original_of
for name in "${originals[@]}"; do
  original_of["$(sha256sum <"originals/$name" | cut -d' ' -f1)"]="$name"
done
declare -A came_back
count=0
while IFS= read -r -d '' file; do
  count=$((count + 1))
  sum="$(sha256sum <"$file" | cut -d' ' -f1)"
  [[ -n "${original_of[$sum]:-}" ]] || fail "$(basename "$file") ($(stat -c %s "$file") bytes) equals none of the card's files"
  echo "$(basename "$file") = ${original_of[$sum]}"
  came_back["${original_of[$sum]}"]=1
done < <(find recovered -type f -print0)
for name in "${deleted[@]}"; do
  [[ -n "${came_back[$name]:-}" ]] || fail "the deleted $name did not come back"
done
grep -qF "recoverSelected done saved=$count/$count" "$log" || fail "the log does not count $count of $count saved"
echo "PASS: $count file(s) recovered, each equal to a file of the card; all ${#deleted[@]} deleted files came back"

# Shared steps of the road tests: the whole program on a virtual display, driven through its keys as a
# user would. Sourced by each tests/e2e/road-*.sh; call road_begin first.
#
#   road_begin NAME "$@"     checks root and tools, moves into a virtual display, makes the road's folder
#                            ($work = BUILD/road-NAME) and its screenshot prefix (BUILD/screenshots/NAME-*.png)
#   road_start_program [ARG...]  starts the built Vantrel with a home of its own ($app, $log, $main)
#
# A road that runs the program as another user sets road_user (a user id) before road_begin. When that
# user cannot reach the build (a build under root's home, which is 0700), the road's folder lies in
# /tmp instead (BUILD/road-NAME links to it) and the programs run from a copy there.
#
# Exit status 77 (a skip for CTest) when root or a tool is missing.
#
# Waiting is on what can be seen (a window, a line of the program's log, files in a folder), each under a
# generous limit that only keeps a broken run from hanging; no step is timed.

road_lib_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

skip() { echo "SKIP: $*"; exit 77; }

# road_begin NAME PROGRAM BUILD [TOOL...]: TOOLs are needed beyond the display and key tools.
road_begin() {
  road_name=$1
  road_script="$(realpath "$0")"
  [[ $# -ge 3 ]] || { echo "usage: $0 PATH/TO/Vantrel BUILD_DIRECTORY" >&2; exit 2; }
  program="$(realpath "$2")"
  build="$(realpath "$3")"
  shift 3
  [[ -x "$program" ]] || { echo "no program at $program" >&2; exit 2; }
  # The helper is spawned directly only by a program that runs as root; otherwise a password is asked.
  [[ $(id -u) -eq 0 ]] || skip "the program reaches its helper without a password only as root"
  local tool
  for tool in Xvfb xdotool import sha256sum "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  work="$build/road-$road_name"
  shots="$build/screenshots"
  if [[ -L "$work" ]]; then rm -rf "$(readlink "$work")"; fi
  rm -rf "$work"
  road_suppressions="$road_lib_dir/lsan-suppressions.txt"
  if [[ -n "${road_user:-}" ]]; then
    command -v setpriv >/dev/null || skip "setpriv is not installed"
    road_user_reaches "$program" || road_relocate
  fi
  mkdir -p "$work"/{home,config,data,cache,runtime} "$shots"
  chmod 700 "$work/runtime"
  rm -f "$shots/$road_name"-*.png
  log="$work/program.log"
  app=""
  trap road_cleanup EXIT
  # Everything else runs inside a virtual display of the road's own. Xvfb picks a free display number
  # itself and writes it once it accepts connections, so roads running side by side never race for one;
  # -noreset keeps it from resetting when its last client leaves, which refuses a client that connects then.
  Xvfb -displayfd 9 -screen 0 1280x900x24 -nolisten tcp -noreset 9>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb=$!
  local deadline=$((SECONDS + 60))
  until [[ -s "$work/display" ]]; do
    kill -0 "$xvfb" 2>/dev/null || { cat "$work/xvfb.log" >&2; fail "the virtual display did not start"; }
    ((SECONDS < deadline)) || fail "no virtual display after 60s"
    sleep 0.1
  done
  export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
}

# road_user_reaches PATH: road_user may read PATH (and so pass every folder above it).
road_user_reaches() { setpriv --reuid="$road_user" --regid="$road_user" --clear-groups test -r "$1"; }

# The road's folder in /tmp, with a copy of the programs: the window and what lies beside it (the
# verifying child), and the helper in the build's own layout, where the window looks for it.
road_relocate() {
  local reachable from=$(dirname "$program") file
  reachable="$(mktemp -d "/tmp/vantrel-road-$road_name.XXXXXX")"
  chmod 755 "$reachable"
  ln -s "$reachable" "$work"
  work="$reachable"
  mkdir -p "$work/programs/Vantrel" "$work/programs/VantrelHelper"
  for file in "$from"/*; do
    if [[ -f "$file" && -x "$file" ]]; then cp "$file" "$work/programs/Vantrel/"; fi
  done
  cp "$from/../VantrelHelper/VantrelHelper" "$work/programs/VantrelHelper/"
  cp "$road_suppressions" "$work/lsan-suppressions.txt"
  road_suppressions="$work/lsan-suppressions.txt"
  program="$work/programs/Vantrel/$(basename "$program")"
  chmod -R a+rX "$work/programs"
  echo "The build is out of reach of user $road_user: the road runs from copies in $work"
}

# Extra cleanup of a road (loop devices, mounts): set road_extra_cleanup to a function name.
road_extra_cleanup=""
xvfb=""
road_cleanup() {
  if [[ -n "${app:-}" ]] && kill -0 "$app" 2>/dev/null; then kill "$app" 2>/dev/null || true; fi
  if [[ -n "$road_extra_cleanup" ]]; then "$road_extra_cleanup" || true; fi
  if [[ -n "$xvfb" ]]; then kill "$xvfb" 2>/dev/null || true; fi
}

fail() {
  echo "FAIL: $*" >&2
  shot failure || true
  echo "--- the program's log (last lines) ---" >&2
  tail -n 40 "$log" >&2 || true
  exit 1
}
shot() { import -window root "$shots/$road_name-$1.png"; }

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
focus_main() { xdotool windowfocus --sync "$main"; }
# The window that has the keyboard is the window TITLE (a pattern), as the X server says.
focused() {
  local id
  id="$(visible_window "$1")"
  [[ -n "$id" && "$(xdotool getwindowfocus 2>/dev/null || true)" == "$id" ]]
}
wait_focused() { wait_for "keyboard in the window \"$1\"" 30 focused "$1"; }
# The widget with the keyboard, from the program's log (verbose logging is on in roads).
focus_is() { [[ "$(grep -F 'keyboard focus: ' "$log" | tail -n 1)" == *"keyboard focus: $1 "* ]]; }
# tab_to NAME: Tab until the widget NAME has the keyboard; Tab never changes the list's selection.
tab_to() {
  local tries
  for tries in $(seq 1 20); do
    focus_is "$1" && return 0
    keys Tab
    sleep 0.3
  done
  focus_is "$1" || fail "Tab never reached $1"
}
logged() { grep -qF -- "$1" "$log"; }
# logged_count TEXT: how many lines of the log hold TEXT.
logged_count() { grep -cF -- "$1" "$log" || true; }
keys() { xdotool key --delay 80 "$@"; }
type_text() { xdotool type --delay 20 -- "$1"; }
# click_at FRACTION_X FRACTION_Y (in hundredths of the main window).
click_at() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$main")"
  xdotool mousemove --sync $((X + WIDTH * $1 / 100)) $((Y + HEIGHT * $2 / 100)) click 1
}

# road_start_program [ARG...]: the built program with a home of its own, so no settings come in or leak
# out, no helper service (it spawns its own helper beside itself), and logging on.
road_start_program() {
  export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
  export XDG_RUNTIME_DIR="$work/runtime"
  export QT_QPA_PLATFORM=xcb
  # No desktop's theme: Qt's own dialogs, and its own order of dialog buttons (the steps count on it).
  unset QT_QPA_PLATFORMTHEME SESSION_MANAGER XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID
  export VANTREL_HELPER_SOCKET="${VANTREL_HELPER_SOCKET:-$work/no-service.sock}"
  mkdir -p "$XDG_CONFIG_HOME/vantrel"
  local name
  for name in Vantrel VantrelHelper; do
    [[ -e "$XDG_CONFIG_HOME/vantrel/$name.json" ]] || echo '{"vantrel.logging.enabled": true}' >"$XDG_CONFIG_HOME/vantrel/$name.json"
  done
  # A sanitizer build reports leaks at the end; those of the system's libraries are not ours.
  export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$road_suppressions"
  "$program" "$@" >>"$log" 2>&1 &
  app=$!
  main="$(focus_window '^Vantrel$')"
}

# road_run_as_user USER_ID: from now on the program runs as that user (through setpriv), with $work/bin,
# where a road puts its stand-ins for system tools, first on its PATH; the display's key, if it has one,
# goes with it. The road's folder becomes the user's.
road_run_as_user() {
  local user_id=$1 real_program="$program"
  mkdir -p "$work/bin"
  if [[ -n "${XAUTHORITY:-}" ]]; then
    cp "$XAUTHORITY" "$work/Xauthority"
    export XAUTHORITY="$work/Xauthority"
  fi
  cat >"$work/bin/vantrel-as-user" <<WRAPPER
#!/bin/bash
chown -R $user_id:$user_id "$work"
exec setpriv --reuid=$user_id --regid=$user_id --clear-groups env PATH="$work/bin:\$PATH" "$real_program" "\$@"
WRAPPER
  chmod +x "$work/bin/vantrel-as-user"
  program="$work/bin/vantrel-as-user"
}

# The first start asks for disk access, at once with the window, unless a helper service is installed
# here; a user without the service closes the sheet.
first_run_sheet() { has_window '^Disk Access$'; }
close_first_run_sheet() {
  focus_window '^Disk Access$' >/dev/null
  keys Escape
  wait_for "closed disk-access sheet" 30 no_window '^Disk Access$'
}
# road_dismiss_first_run [SHOT]: waits a little for the sheet, takes SHOT, closes the sheet.
road_dismiss_first_run() {
  local deadline=$((SECONDS + 10))
  until first_run_sheet || ((SECONDS >= deadline)); do sleep 0.2; done
  if [[ -n "${1:-}" ]]; then shot "$1"; fi
  if first_run_sheet; then close_first_run_sheet; fi
  focus_main
}

# open_image PATH [SHOT]: File → Open Image File…, typed path. The item is there once the helper answered
# and said it takes image files: ask until the dialog shows.
open_image() {
  local asked=$((SECONDS + 60))
  until has_window '^Open Image File'; do
    ((SECONDS < asked)) || fail "no \"Open Image File\" dialog after 60s of Ctrl+Shift+O"
    # A first-run sheet later than the wait for it would take the keys.
    if first_run_sheet; then close_first_run_sheet; fi
    focus_main
    keys ctrl+shift+o
    sleep 1
  done
  focus_window '^Open Image File' >/dev/null
  type_text "$1"
  if [[ -n "${2:-}" ]]; then shot "$2"; fi
  keys Return
  wait_for "closed file dialog" 30 no_window '^Open Image File'
  focus_main
}

# start_scan DEVICE [SHOT]: Ctrl+R on the selected volume and the preselected scan mode when asked, until
# the scan's start in the log. DEVICE is the path the scan must read.
start_scan() {
  scan_asked() { has_window '^Scan Mode$' || logged "startScan path=$1"; }
  # On a loaded machine a key can reach the window before it takes the keyboard: press again until
  # the scan is asked for (once it is, Scan is hidden or a sheet has the keyboard).
  local asked=$((SECONDS + 60)) pressed
  until scan_asked "$1"; do
    ((SECONDS < asked)) || fail "no scan-mode sheet or scan start after 60s of Ctrl+R"
    focus_main
    keys ctrl+r
    pressed=$((SECONDS + 10))
    until scan_asked "$1" || ((SECONDS >= pressed)); do sleep 0.2; done
  done
  if has_window '^Scan Mode$'; then
    focus_window '^Scan Mode$' >/dev/null
    if [[ -n "${2:-}" ]]; then shot "$2"; fi
    keys Return
    wait_for "closed scan-mode sheet" 30 no_window '^Scan Mode$'
    focus_main
  fi
  wait_for "scan start in the log" 60 logged "startScan path=$1"
}

# scan_selected DEVICE [SHOT]: start_scan, then until the scan's end in the log.
scan_selected() {
  local before
  before=$(logged_count "Scan complete")
  start_scan "$@"
  scan_ended() { (($(logged_count "Scan complete") > before)); }
  wait_for "scan end in the log" 300 scan_ended
}

# recover_all_into FOLDER [SHOT]: every hit selected (a click in the results pane gives the table the
# keyboard), Recover Selected (Ctrl+Shift+R), FOLDER typed into the folder dialog. Returns once the
# recovery has started; the caller waits for its outcome.
recover_all_into() {
  click_at 50 75
  keys ctrl+a
  keys ctrl+shift+r
  focus_window '^Find Directory' >/dev/null
  if [[ -n "${2:-}" ]]; then shot "$2"; fi
  type_text "$1/"
  keys Return
  wait_for "closed folder dialog" 30 no_window '^Find Directory'
  focus_main
}

# quit_program dont-save|save|none: Ctrl+Q and the answer to "Save scan catalog?" when it is asked, then
# waits for the program's end and checks its exit status and log.
quit_program() {
  keys ctrl+q
  case "$1" in
    dont-save)
      focus_window '^Save scan catalog\?$' >/dev/null
      shot quit-prompt
      # "Don't Save" is the button after "Save Catalog…" in Qt's own order.
      keys Tab space
      ;;
    save)
      focus_window '^Save scan catalog\?$' >/dev/null
      shot quit-prompt
      keys Return
      ;;
    none) ;;
  esac
}
# wait_program_end: the program ends with status 0, no sanitizer report, its helper gone.
wait_program_end() {
  local helper
  helper="$(pgrep -P "$app" -x VantrelHelper | head -n 1 || true)"
  local deadline=$((SECONDS + 60))
  while kill -0 "$app" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "the program did not end after Quit"
    sleep 0.2
  done
  local status=0
  wait "$app" || status=$?
  app=""
  ((status == 0)) || fail "the program ended with status $status"
  # The helper and the verifying children write to the same log; a sanitizer's report there is a fault too.
  ! grep -qE "ERROR: [A-Za-z]+Sanitizer|runtime error:" "$log" || fail "a sanitizer reported an error (see $log)"
  if [[ -n "$helper" ]]; then
    helper_ended() { [[ ! -e /proc/$helper ]] || [[ "$(awk '{print $3}' "/proc/$helper/stat" 2>/dev/null)" == Z ]]; }
    wait_for "end of the helper $helper" 60 helper_ended
  fi
}

# make_card_files FOLDER: real pictures and a PDF, each large enough for the scan's standard filters
# (pictures at least 800 × 600 and 8 KB); needs convert and exiftool.
make_card_files() {
  (
    cd "$1"
    convert -seed 11 -size 1024x768 plasma:fractal -quality 90 beach.jpg
    exiftool -q -overwrite_original "-DateTimeOriginal=2024:07:14 18:05:00" beach.jpg
    convert -seed 12 -size 800x600 plasma:fractal -quality 85 sunset.jpg
    convert -seed 13 -size 900x600 plasma:fractal diagram.png
    cp /usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf manual.pdf
  )
}

# check_recovered FOLDER ORIGINALS_FOLDER NAME...: every file in FOLDER equals one of ORIGINALS_FOLDER's,
# and each NAME came back. Undeleted files get names of the program's own, so they are matched by bytes.
check_recovered() {
  local folder=$1 originals=$2
  shift 2
  declare -A original_of came_back
  local name file sum count=0
  for file in "$originals"/*; do
    original_of["$(sha256sum <"$file" | cut -d' ' -f1)"]="$(basename "$file")"
  done
  while IFS= read -r -d '' file; do
    count=$((count + 1))
    sum="$(sha256sum <"$file" | cut -d' ' -f1)"
    [[ -n "${original_of[$sum]:-}" ]] || fail "$(basename "$file") ($(stat -c %s "$file") bytes) equals none of the card's files"
    echo "$(basename "$file") = ${original_of[$sum]}"
    came_back["${original_of[$sum]}"]=1
  done < <(find "$folder" -type f -print0)
  for name in "$@"; do
    [[ -n "${came_back[$name]:-}" ]] || fail "the deleted $name did not come back"
  done
  recovered_count=$count
}

# open_scan_mode_sheet: Ctrl+R until the scan-mode sheet shows, which then has the keyboard. A volume just
# added is selected on the main loop, and Scan answers only once it is.
open_scan_mode_sheet() {
  local asked=$((SECONDS + 60))
  until has_window '^Scan Mode$'; do
    ((SECONDS < asked)) || fail "no scan-mode sheet after 60s of Ctrl+R"
    focus_main
    keys ctrl+r
    sleep 1
  done
  focus_window '^Scan Mode$' >/dev/null
}

#!/usr/bin/env bash
# --help and --version of the window and the helper: printed, status 0, with no display to open a
# window on and nothing served; an unknown option is refused with a status other than 0.
#
# usage: command-lines.sh PATH/TO/Vantrel PATH/TO/VantrelHelper VERSION
set -uo pipefail
window=$1 helper=$2 version=$3
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export VANTREL_HELPER_SOCKET=/nonexistent/vantrel-command-line.sock
failures=0
check() {  # check WHAT EXPECTED_STATUS EXPECTED_TEXT COMMAND...
  local what=$1 status=$2 text=$3 out actual
  shift 3
  out="$(timeout 20 "$@" 2>&1)"
  actual=$?
  if [[ $actual -ne $status || "$out" != *"$text"* ]]; then
    echo "FAIL: $what: status $actual (expected $status), output: $out"
    failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}
check "Vantrel --version" 0 "Vantrel $version" "$window" --version
check "Vantrel --help" 0 "--rebind-helper" "$window" --help
check "Vantrel -h" 0 "Usage: Vantrel" "$window" -h
check "Vantrel --bogus" 2 "--help" "$window" --bogus
check "VantrelHelper --version" 0 "VantrelHelper $version" "$helper" --version
check "VantrelHelper --help" 0 "usage: VantrelHelper" "$helper" --help
check "VantrelHelper --bogus" 2 "unknown argument --bogus" "$helper" --bogus
((failures == 0))

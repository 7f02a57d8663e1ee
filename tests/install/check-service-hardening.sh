#!/bin/sh
# The installed helper service's exposure as systemd rates it offline: at most 4.5 (of 10).
#
#   check-service-hardening.sh BUILD_DIR
set -eu
build=$1
limit=45  # tenths, as systemd-analyze's --threshold counts
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/usr" >/dev/null
unit=$root/usr/lib/systemd/system/io.tessik.vantrel.helper.service
report=$(systemd-analyze security --offline=yes --threshold=$limit "$unit" 2>&1) || {
    echo "$report" | tail -n 30
    echo "FAIL: the helper service is more exposed than $limit/100"
    exit 1
}
echo "$report" | grep 'Overall exposure level'

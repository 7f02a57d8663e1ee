#!/bin/sh
# The helper still unmounts a disk and mounts it back for the host with what its installed unit leaves
# it: the unit's CapabilityBoundingSet=, NoNewPrivileges= and UMask=, applied with setpriv around the
# helper's mount test (a loop device over an ext4 image). The system-call filter, the address families
# and the other options need systemd itself to apply them, which runs the unit only where it is PID 1.
#
#   check-helper-under-unit-limits.sh BUILD_DIR HELPER_MOUNT_TEST
set -eu
build=$1
mount_test=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
command -v setpriv >/dev/null || { echo "SKIP: setpriv is not installed"; exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/usr" >/dev/null
unit=$root/usr/lib/systemd/system/io.tessik.vantrel.helper.service
value() { sed -n "s/^$1=//p" "$unit"; }
grep -qx 'NoNewPrivileges=yes' "$unit" || { echo "FAIL: the unit lets the helper gain privileges"; exit 1; }
bounding=-all
for capability in $(value CapabilityBoundingSet); do
    bounding="$bounding,+$(echo "$capability" | sed 's/^CAP_//' | tr 'A-Z' 'a-z')"
done
umask_value=$(value UMask)
echo "bounding set $bounding, umask $umask_value"
output=$(setpriv --no-new-privs --bounding-set "$bounding" --inh-caps=-all \
    sh -c "umask $umask_value && exec \"$mount_test\" --gtest_brief=0" 2>&1) || {
    echo "$output" | tail -n 30
    echo "FAIL: the helper's mount test fails with the unit's limits"
    exit 1
}
echo "$output" | grep -q '\[  SKIPPED \]' && { echo "$output" | grep SKIPPED; echo "SKIP: the mount test skipped itself"; exit 77; }
echo "$output" | grep -E '^\[ +(OK|PASSED) +\]'

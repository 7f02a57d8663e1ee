#!/bin/sh
# Installs the build into a temporary DESTDIR and checks that everything lands where a Linux desktop
# and systemd find it: the program on the PATH, the helper beside it in libexec, the helper's units,
# the desktop entry (which must validate and name the program and icon that are installed) and the
# icon in the hicolor theme.
#
#   check-install-tree.sh BUILD_DIR PREFIX
set -eu
build=$1
prefix=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

DESTDIR=$root cmake --install "$build" >/dev/null
tree=$root$prefix

[ -x "$tree/bin/Vantrel" ] || fail "bin/Vantrel is not installed"
[ -x "$tree/libexec/vantrel/VantrelHelper" ] || fail "libexec/vantrel/VantrelHelper is not installed"
for unit in io.tessik.vantrel.helper.socket io.tessik.vantrel.helper.service; do
    [ -f "$tree/lib/systemd/system/$unit" ] || fail "the unit $unit is not installed"
done
grep -qx "ExecStart=$prefix/libexec/vantrel/VantrelHelper" "$tree/lib/systemd/system/io.tessik.vantrel.helper.service" ||
    fail "the service does not start the installed helper"

entry=$tree/share/applications/vantrel.desktop
[ -f "$entry" ] || fail "share/applications/vantrel.desktop is not installed"
desktop-file-validate "$entry" || fail "the desktop entry does not validate"
value() { sed -n "s/^$1=//p" "$entry"; }
[ "$(value Name)" = Vantrel ] || fail "Name is not Vantrel"
[ "$(value Type)" = Application ] || fail "Type is not Application"
# The program is found on the PATH, as the prefix's bin folder is.
[ "$(value Exec)" = Vantrel ] || fail "Exec is not Vantrel"
[ -x "$tree/bin/$(value Exec)" ] || fail "Exec names no installed program"
icon=$tree/share/icons/hicolor/scalable/apps/$(value Icon).svg
[ -f "$icon" ] || fail "Icon names no icon in the hicolor theme"
grep -q '<svg' "$icon" || fail "the icon is no SVG image"
case ";$(value Categories)" in
*";System;"*) ;;
*) fail "Categories lacks System" ;;
esac
echo "installed tree under $prefix is complete"

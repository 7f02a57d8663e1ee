#!/bin/sh
# Installs the build twice, into a temporary DESTDIR under the configured prefix and with
# `cmake --install --prefix DIR` into another one, and checks that each tree is whole and names itself:
# the program on the PATH, the helper and the checker in libexec/vantrel (not on the PATH), the
# helper's units with ExecStart= at the installed helper, the polkit action whose exec.path is that
# helper, the sysusers.d file of the group, the desktop entry (which must validate and name the program
# and icon that are installed), the AppStream metainfo and the man pages.
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

# check_tree TREE PREFIX: TREE holds what was installed for PREFIX.
check_tree() {
    tree=$1
    named=$2
    [ -x "$tree/bin/Vantrel" ] || fail "bin/Vantrel is not installed"
    for program in VantrelHelper vantrel-verify vantrel-verify-decode; do
        [ -x "$tree/libexec/vantrel/$program" ] || fail "libexec/vantrel/$program is not installed"
        [ ! -e "$tree/bin/$program" ] || fail "$program is on the PATH"
    done
    units=$tree/lib/systemd/system
    for unit in io.tessik.vantrel.helper.socket io.tessik.vantrel.helper.service; do
        [ -f "$units/$unit" ] || fail "the unit $unit is not installed"
    done
    grep -qx "ExecStart=$named/libexec/vantrel/VantrelHelper" "$units/io.tessik.vantrel.helper.service" ||
        fail "the service does not start the helper installed under $named: $(grep ExecStart= "$units/io.tessik.vantrel.helper.service")"
    grep -qx 'SocketGroup=vantrel' "$units/io.tessik.vantrel.helper.socket" || fail "the socket is not the group's"
    grep -qx 'g vantrel -' "$tree/lib/sysusers.d/vantrel.conf" || fail "sysusers.d does not declare the group vantrel"

    policy=$tree/share/polkit-1/actions/io.tessik.vantrel.helper.policy
    [ -f "$policy" ] || fail "the polkit action is not installed"
    xmllint --noout "$policy" || fail "the polkit action is not well-formed XML"
    action() { xmllint --xpath "string(/policyconfig/action[@id='io.tessik.vantrel.helper']/$1)" "$policy"; }
    [ "$(action "annotate[@key='org.freedesktop.policykit.exec.path']")" = "$named/libexec/vantrel/VantrelHelper" ] ||
        fail "the polkit action is not for the helper installed under $named"
    [ "$(action message)" = "Authentication is required to read disks for file recovery" ] || fail "the prompt's message"
    [ "$(action icon_name)" = vantrel ] || fail "the prompt's icon"
    [ "$(action defaults/allow_active)" = auth_admin_keep ] || fail "active sessions are not auth_admin_keep"

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

    metainfo=$tree/share/metainfo/io.tessik.vantrel.metainfo.xml
    [ -f "$metainfo" ] || fail "the AppStream metainfo is not installed"
    if command -v appstreamcli >/dev/null; then
        appstreamcli validate --no-net "$metainfo" >/dev/null || fail "appstreamcli does not accept the metainfo"
    fi
    for page in man1/Vantrel.1 man8/VantrelHelper.8 man1/vantrel-verify.1; do
        [ -f "$tree/share/man/$page" ] || fail "the man page $page is not installed"
    done
}

DESTDIR=$root/destdir cmake --install "$build" >/dev/null
check_tree "$root/destdir$prefix" "$prefix"
# A prefix chosen only when installing is the one the files name.
cmake --install "$build" --prefix "$root/elsewhere" >/dev/null
check_tree "$root/elsewhere" "$root/elsewhere"
echo "installed trees under $prefix (DESTDIR) and a prefix given at install time are complete"

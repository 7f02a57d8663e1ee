#!/bin/sh
# Builds the Debian package with cpack and looks inside it with dpkg-deb: the programs, the helper off
# the PATH, the units, the polkit action and the sysusers.d file all naming /usr; the scripts that make
# the group; no socket enabled by the package itself; the libraries' packages in Depends.
#
#   check-deb-package.sh BUILD_DIR
set -eu
build=$1
for tool in cpack dpkg-deb dpkg-shlibdeps; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { tail -n 30 "$work/cpack.log"; fail "cpack -G DEB failed"; }
set -- "$work"/out/vantrel_*.deb
[ -f "$1" ] || fail "no vantrel_*.deb was made: $(ls "$work/out")"
deb=$1
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
for path in ./usr/bin/Vantrel ./usr/libexec/vantrel/VantrelHelper ./usr/libexec/vantrel/vantrel-verify ./usr/libexec/vantrel/vantrel-verify-decode \
    ./usr/lib/systemd/system/io.tessik.vantrel.helper.socket ./usr/lib/systemd/system/io.tessik.vantrel.helper.service \
    ./usr/lib/sysusers.d/vantrel.conf ./usr/share/polkit-1/actions/io.tessik.vantrel.helper.policy \
    ./usr/share/applications/vantrel.desktop ./usr/share/metainfo/io.tessik.vantrel.metainfo.xml \
    ./usr/share/man/man1/Vantrel.1; do
    grep -qx "$path" "$work/contents" || fail "the package lacks $path"
done
! grep -q '^\./etc/systemd\|\.wants/' "$work/contents" || fail "the package enables a unit itself"
! grep -q '^\./usr/bin/vantrel-verify$\|^\./usr/bin/vantrel-verify-decode$\|^\./usr/bin/VantrelHelper$' "$work/contents" || fail "a private program is on the PATH"

dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/libexec/vantrel/VantrelHelper' "$work/root/usr/lib/systemd/system/io.tessik.vantrel.helper.service" ||
    fail "the packaged service does not start /usr/libexec/vantrel/VantrelHelper"
grep -q '"org.freedesktop.policykit.exec.path">/usr/libexec/vantrel/VantrelHelper<' \
    "$work/root/usr/share/polkit-1/actions/io.tessik.vantrel.helper.policy" || fail "the packaged polkit action is not for /usr"

dpkg-deb -e "$deb" "$work/control"
grep -q 'systemd-sysusers vantrel.conf' "$work/control/postinst" || fail "postinst does not make the group"
! grep -v '^#' "$work/control/postinst" | grep -q 'enable' || fail "postinst enables something"
depends=$(sed -n 's/^Depends: //p' "$work/control/control")
for needed in libqt6widgets6 pkexec mount; do
    case "$depends" in
    *"$needed"*) ;;
    *) fail "Depends lacks $needed: $depends" ;;
    esac
done
echo "$(basename "$deb"): $(wc -l <"$work/contents") entries; Depends: $depends"

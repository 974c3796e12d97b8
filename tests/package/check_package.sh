#!/usr/bin/env bash
# Builds the Debian package and checks it as a distribution would: its files, its control
# fields, lintian (no errors), the AppStream metadata, the desktop entry and the manual pages.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/deps.sh"
quintrel_install_packages lintian appstream desktop-file-utils man-db

deb=$(bash "$root/tools/package" | tail -n1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}
version=$(sed -n 's/^project(Quintrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ "$(basename "$deb")" = "quintrel_${version}_amd64.deb" ] || fail "package named $(basename "$deb")"

# The files, and nothing in a place a package must not write.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/files"
for f in /usr/bin/quintrel /usr/bin/quintrel-pd \
         /usr/share/applications/quintrel.desktop \
         /usr/share/icons/hicolor/48x48/apps/quintrel.png \
         /usr/share/icons/hicolor/256x256/apps/quintrel.png \
         /usr/share/icons/hicolor/scalable/apps/quintrel.svg \
         /usr/share/metainfo/org.quintrel.Quintrel.metainfo.xml \
         /usr/share/man/man1/quintrel.1.gz /usr/share/man/man1/quintrel-pd.1.gz \
         /usr/share/doc/quintrel/copyright /usr/share/doc/quintrel/changelog.gz; do
    grep -qx "$f" "$work/files" || fail "$f is not in the package"
done
grep -v '^/usr/\(bin\|share\)\(/\|$\)\|^/usr/$\|^/$' "$work/files" && fail "files outside /usr/bin and /usr/share"

# The control fields; the libraries' packages come from the binaries themselves.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quintrel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for dep in ieee-data libqt6core6 libqt6widgets6 libqt6serialport6 libc6; do
    echo "$depends" | grep -q "\b$dep\b" || fail "Depends lacks $dep: $depends"
done
[ -n "$(field Maintainer)" ] && [ -n "$(field Section)" ] || fail "no Maintainer or Section"

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian found errors"

dpkg-deb -x "$deb" "$work/root"
echo "== appstreamcli validate"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.quintrel.Quintrel.metainfo.xml" ||
    fail "the AppStream metadata does not validate"
echo "== desktop-file-validate"
out=$(desktop-file-validate "$work/root/usr/share/applications/quintrel.desktop" 2>&1) &&
    [ -z "$out" ] || fail "desktop entry: $out"
echo "== man -l"
for page in quintrel quintrel-pd; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$work/root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $page: $warnings"
done
[ "$failed" = 0 ] || exit 1
echo "package $(basename "$deb"): files, control fields, lintian, metainfo, desktop entry and manual pages pass"

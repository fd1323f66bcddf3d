#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package with CPack into a scratch folder and checks its contents
# and control fields as dpkg will see them.
# usage: check_package.sh BUILD_DIR SCRATCH_DIR VERSION
set -euo pipefail
build=$1
out=$2
version=$3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in cpack dpkg-deb dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done

rm -rf "$out"
mkdir -p "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out"

arch=$(dpkg --print-architecture)
deb="$out/xmladjust_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no package at $deb: $(ls "$out")"

# Mode, owner and path of every entry.
expected='drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/xmladjust
-rwxr-xr-x root/root ./usr/bin/xmladjust-cli
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/applications/
-rw-r--r-- root/root ./usr/share/applications/xmladjust.desktop'
contents=$(dpkg-deb --contents "$deb" | awk '{print $1, $2, $6}' | LC_ALL=C sort -k3)
if [ "$contents" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$contents") >&2 || true
    fail "package contents differ from the expected list (< expected, > package)"
fi

field() {
    dpkg-deb --field "$deb" "$1"
}
[ "$(field Package)" = xmladjust ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)'"
[ -n "$(field Description)" ] || fail "no Description"

depends=$(field Depends)
echo "Depends: $depends"
# The package names alone, without versions or alternatives' bars.
names=$(tr -s ',|' '\n' <<<"$depends" | awk '{print $1}')
for library in libqt5core5a libqt5gui5 libqt5widgets5 libqt5xml5 libc6 libstdc++6; do
    grep -qxF "$library" <<<"$names" || fail "Depends does not name $library"
done

# The stripped programs still run as shipped.
mkdir "$out/root"
dpkg-deb -x "$deb" "$out/root"
"$out/root/usr/bin/xmladjust-cli" --version >/dev/null || fail "packaged xmladjust-cli does not run"
if file "$out/root/usr/bin/xmladjust-cli" | grep -q 'not stripped'; then
    fail "packaged programs are not stripped"
fi

echo "package $deb: ok"

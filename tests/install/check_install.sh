#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix as `cmake --install` does for a user (and as
# the Debian package's build does), and checks that exactly the expected files arrive
# there, that the programs work, that the desktop entry and the metainfo validate, and
# that each manual page names every option its program's --help lists.
# usage: check_install.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$1
prefix=$2

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$prefix"
mkdir -p "$prefix"
cmake --install "$build" --prefix "$prefix"

expected='bin/xmladjust
bin/xmladjust-cli
share/applications/xmladjust.desktop
share/icons/hicolor/128x128/apps/xmladjust.png
share/icons/hicolor/16x16/apps/xmladjust.png
share/icons/hicolor/256x256/apps/xmladjust.png
share/icons/hicolor/32x32/apps/xmladjust.png
share/icons/hicolor/48x48/apps/xmladjust.png
share/icons/hicolor/64x64/apps/xmladjust.png
share/icons/hicolor/scalable/apps/xmladjust.svg
share/man/man1/xmladjust-cli.1
share/man/man1/xmladjust.1
share/metainfo/org.example.xmladjust.metainfo.xml'
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
if [ "$installed" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$installed") >&2 || true
    fail "installed files differ from the expected list (< expected, > installed)"
fi

for program in xmladjust xmladjust-cli; do
    [ -x "$prefix/bin/$program" ] || fail "$program is not executable"
done

version=$("$prefix/bin/xmladjust-cli" --version) || fail "installed xmladjust-cli --version failed"
echo "installed xmladjust-cli --version: $version"

# The window's program answers --help and --version on the terminal, also where there
# is no display to show a window on.
terminal=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/xmladjust")
[ "$("${terminal[@]}" --version)" = "xmladjust ${version#xmladjust-cli }" ] ||
    fail "installed xmladjust --version does not say its version"
help=$("${terminal[@]}" --help) || fail "installed xmladjust --help failed"
grep -q '^Usage: .*xmladjust \[options\] \[FILE\]$' <<<"${help%%$'\n'*}" ||
    fail "installed xmladjust --help does not show its usage"

echo '<p lat="1.5"/>' >"$prefix/in.xml"
adjusted=$("$prefix/bin/xmladjust-cli" --attribute lat --add 0.25 <"$prefix/in.xml" 2>/dev/null)
case "$adjusted" in
*'lat="1.75"'*) ;;
*) fail "installed xmladjust-cli did not adjust: $adjusted" ;;
esac
rm "$prefix/in.xml"

# The window never exits by itself: it passes when it is still running at the timeout
# (status 124), and fails when it cannot start (missing library, crash).
status=0
QT_QPA_PLATFORM=offscreen timeout 3 "$prefix/bin/xmladjust" || status=$?
[ "$status" -eq 124 ] || fail "installed xmladjust exited with status $status instead of running"

command -v desktop-file-validate >/dev/null || fail "desktop-file-validate is missing (desktop-file-utils)"
report=$(desktop-file-validate "$prefix/share/applications/xmladjust.desktop" 2>&1) ||
    fail "desktop entry does not validate: $report"
[ -z "$report" ] || fail "desktop entry validates with remarks: $report"

# The menu entry names the icon the theme holds.
grep -qx 'Icon=xmladjust' "$prefix/share/applications/xmladjust.desktop" ||
    fail "desktop entry does not name the icon xmladjust"

command -v appstreamcli >/dev/null || fail "appstreamcli is missing (appstream)"
report=$(appstreamcli validate --no-net "$prefix/share/metainfo/org.example.xmladjust.metainfo.xml" 2>&1) ||
    fail "metainfo does not validate: $report"

# Every option --help lists (words such as --attribute, -h) is in the page, as roff
# writes a hyphen: \-.
for program in xmladjust xmladjust-cli; do
    page="$prefix/share/man/man1/$program.1"
    options=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/$program" --help |
        grep -oE '(^|[[ ,])--?[a-z][a-z-]*' | grep -oE -- '--?[a-z][a-z-]*' | LC_ALL=C sort -u)
    [ -n "$options" ] || fail "$program --help lists no option"
    for option in $options; do
        grep -qF -- "${option//-/\\-}" "$page" || fail "$page does not name $option"
    done
done

echo "install into $prefix: ok"

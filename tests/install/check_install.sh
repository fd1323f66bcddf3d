#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix as `cmake --install` does for a user, and
# checks that exactly the two programs and the desktop entry arrive there and work.
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
share/applications/xmladjust.desktop'
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

echo "install into $prefix: ok"

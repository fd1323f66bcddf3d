#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up a Debian 12 machine for this project (installing only what is missing),
# builds it, and then opens the window (`./build.sh run`) or runs every test
# headless (`./build.sh test`): with Qt 5 (build/), with Qt 6 (build-qt6/), and with
# Qt 5 under the sanitizers (build-asan/).
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-run}
case "$mode" in
run | test) ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

packages=(build-essential cmake qtbase5-dev qtbase5-dev-tools libxml2-dev fonts-dejavu-core desktop-file-utils appstream
    file acl attr qt6-base-dev qt6-base-dev-tools qt6-5compat-dev
    zlib1g-dev libbz2-dev liblzma-dev libzstd-dev gzip bzip2 xz-utils zstd)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Configures and builds one tree: build_tree DIR [CMAKE OPTION...]
build_tree() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}

# Runs the whole suite in a built tree, headless.
test_tree() {
    (cd "$1" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 --parallel "$(nproc)")
}

# The benchmarks are built with the first tree, so that none of them can stop compiling
# unnoticed; they are run by hand (see the README).
bench=()
[ "$mode" = test ] && bench=(-DXMLADJUST_BUILD_BENCH=ON)
build_tree build -DXMLADJUST_QT_MAJOR=5 "${bench[@]}"
if [ "$mode" = run ]; then
    exec build/src/app/xmladjust
fi
test_tree build

# The same tree with Qt 6.
build_tree build-qt6 -DXMLADJUST_QT_MAJOR=6
test_tree build-qt6

# The whole suite once more with AddressSanitizer and UndefinedBehaviorSanitizer,
# which end the test run at the first fault they see (Qt 5 alone: the sanitizers look
# at this program's code, which is the same on both).
build_tree build-asan -DXMLADJUST_QT_MAJOR=5 -DXMLADJUST_SANITIZE=ON
test_tree build-asan

# The suites of the engine and the command line, whose work is spread over threads,
# under ThreadSanitizer (halt_on_error: the first race fails the test that ran into it).
# Qt's libraries are not instrumented, so it cannot see QMutex or a QThread's end:
# it judges only instrumented code, and tests/tsan.supp says what is left to ignore.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXMLADJUST_QT_MAJOR=5 \
    -DXMLADJUST_SANITIZE_THREAD=ON
cmake --build build-tsan --parallel "$(nproc)" --target tst_cases tst_cli tst_atomicfile
# Every program the suites start reads the suppressions, some as another user (the
# command line's tests of other users' files), who may not reach this tree (a clone
# in a private folder): they read a copy anyone can.
suppressions=$(mktemp)
trap 'rm -f "$suppressions"' EXIT
cp tests/tsan.supp "$suppressions"
chmod 644 "$suppressions"
(cd build-tsan &&
    TSAN_OPTIONS="halt_on_error=1 exitcode=66 ignore_noninstrumented_modules=1 suppressions=$suppressions ${TSAN_OPTIONS:-}" \
        QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 900 --parallel "$(nproc)" \
        -R 'tst_cases|tst_cli|tst_atomicfile')

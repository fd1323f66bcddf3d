#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up a Debian 12 machine for this project (installing only what is missing),
# builds it, and then opens the window (`./build.sh run`) or runs every test
# headless (`./build.sh test`), in the normal build and in a sanitized one.
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

packages=(build-essential cmake qtbase5-dev qtbase5-dev-tools libxml2-dev fonts-dejavu-core desktop-file-utils file acl attr)
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

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)"

if [ "$mode" = run ]; then
    exec build/src/app/xmladjust
fi
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600)

# The whole suite once more with AddressSanitizer and UndefinedBehaviorSanitizer,
# which end the test run at the first fault they see.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXMLADJUST_SANITIZE=ON
cmake --build build-asan --parallel "$(nproc)"
cd build-asan
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600

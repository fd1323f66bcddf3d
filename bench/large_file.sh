#!/usr/bin/env bash
# Peak memory and time of the command-line program on a generated OSM-like file:
#   bench/large_file.sh [MEGABYTES]   (default 600)
# Builds a Release tree in build-bench/, writes the file to a temporary folder (set
# TMPDIR to choose the disk), and reports /usr/bin/time -v figures for copying the
# file (the I/O floor), a dry run, and an in-place adjustment of every lat.
set -euo pipefail
cd "$(dirname "$0")/.."
megabytes=${1:-600}

if ! [ -x /usr/bin/time ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q time
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXMLADJUST_BUILD_BENCH=ON \
    -DXMLADJUST_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --parallel "$(nproc)" --target xmladjust-cli generate_osm >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file="$work/large.osm"
build-bench/bench/generate_osm "$file" "$megabytes"
size=$(stat -c %s "$file")
echo "file: $((size / 1048576)) MiB ($size bytes), $(nproc) cores, $(uname -m)"
echo
echo "| run | wall time | peak resident memory |"
echo "|---|---|---|"

measure() {
    local label=$1
    shift
    local report="$work/time.txt"
    /usr/bin/time -v -o "$report" "$@" 2>/dev/null
    local wall rss
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$report")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$report")
    echo "| $label | $wall | $((rss / 1024)) MiB |"
}

cli=build-bench/src/cli/xmladjust-cli
measure "cp (I/O floor)" cp "$file" "$work/copy.osm"
rm -f "$work/copy.osm"
measure "xmladjust-cli --dry-run" "$cli" --attribute lat --add 0.5 --dry-run "$file"
measure "xmladjust-cli (in place)" "$cli" --attribute lat --add 0.5 "$file"
measure "xmladjust-cli < file > out" sh -c "'$cli' --attribute lat --add 0.5 < '$file' > '$work/out.osm'"

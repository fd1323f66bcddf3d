#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang (ASan + UBSan + libFuzzer) and runs them:
#   fuzz/run.sh [SECONDS] [TARGET...]     (default 600 seconds each, fuzz_dom and fuzz_stream;
#                                          fuzz_lexer drives the markup lexer alone)
# The targets run side by side, one core each. Inputs that break a promise are
# written to build-fuzz/<target>/crashes/; copy each into fuzz/corpus/ once fixed,
# so the test suite replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_dom fuzz_stream)

if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null |
    grep -q 'install ok installed'; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        clang libclang-rt-14-dev
fi

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DXMLADJUST_FUZZ=ON -DXMLADJUST_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --parallel "$(nproc)" --target "${targets[@]}" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
pids=()
for target in "${targets[@]}"; do
    work="build-fuzz/$target"
    mkdir -p "$work/corpus" "$work/crashes"
    # The fuzzer grows its own corpus from the committed one; file mode writes into $scratch.
    TMPDIR="$scratch" "build-fuzz/fuzz/$target" -dict=fuzz/xml.dict -max_len=16384 -timeout=10 \
        -rss_limit_mb=4096 -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/crashes/" "$work/corpus" fuzz/corpus >"$work/log.txt" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
for target in "${targets[@]}"; do
    echo "$target: $(grep -h 'stat::number_of_executed_units' "build-fuzz/$target/log.txt" ||
        echo 'no statistics'), crashes: $(ls "build-fuzz/$target/crashes" | wc -l)"
done
exit $status

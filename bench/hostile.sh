#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times both of the command line's paths on the hostile documents at full size, which
# tests/data/bounds.tsv shows at sizes that keep the test suite quick:
#   bench/hostile.sh
# Each document is adjusted once with --dry-run, streamed and with --reformat (the
# window's path); the report gives the exit status, the wall time and the peak
# resident memory of each run, as a Markdown table.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x /usr/bin/time ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q time >&2
fi
echo "building build-bench (Release)..." >&2
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXMLADJUST_BUILD_BENCH=ON \
    -DXMLADJUST_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --parallel 2 --target xmladjust-cli >/dev/null
cli=$PWD/build-bench/src/cli/xmladjust-cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "generating documents in $work..." >&2
python3 - "$work" <<'PYTHON'
import sys
folder = sys.argv[1]
documents = {
    "a 100 MB value": "<r v='" + "v" * (100 << 20) + "' x='1'/>",
    "a million siblings": "<r>" + "<e x='1'/>" * 1000000 + "</r>",
    "a million attributes": "<r" + "".join(f" a{i}='1'" for i in range(1000000)) + " x='1'/>",
    "elements 100,000 deep": "<e x='1'>" * 100000 + "</e>" * 100000,
}
for number, (name, text) in enumerate(documents.items()):
    with open(f"{folder}/{number}.xml", "w") as f:
        f.write(text)
    with open(f"{folder}/{number}.name", "w") as f:
        f.write(name)
PYTHON

echo "| document | path | exit status | seconds | peak memory (MiB) |"
echo "|---|---|---:|---:|---:|"
for document in "$work"/*.xml; do
    name=$(cat "${document%.xml}.name")
    for path in streamed --reformat; do
        options=(--attribute x --add 1 --dry-run)
        [ "$path" = streamed ] || options+=(--reformat)
        status=0
        /usr/bin/time -o "$work/time" -f '%e %M' "$cli" "${options[@]}" "$document" \
            2>/dev/null || status=$?
        # The last line: a failing run has a line about its status before it.
        read -r seconds kilobytes < <(tail -1 "$work/time")
        echo "| $name | $path | $status | $seconds | $((kilobytes / 1024)) |"
    done
done

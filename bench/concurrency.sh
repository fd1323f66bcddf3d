#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Two runs of xmladjust-cli at once on one file, round after round (every other round
# one of them with --reformat), then each kind of metadata through both paths: prints
# rounds run, edits reported, edits landed and refusals, and whether each case kept
# what was attached to the file.
#     bench/concurrency.sh [ROUNDS] [path to xmladjust-cli]
set -euo pipefail
rounds=${1:-60}
cli=$(realpath "${2:-build/src/cli/xmladjust-cli}")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

printf '<r><p lat="0"/></r>' >f.xml
reported=0 refused=0
for ((round = 0; round < rounds; round++)); do
    reformat=()
    [ $((round % 2)) -eq 1 ] && reformat=(--reformat)
    "$cli" --attribute lat --add 1 f.xml 2>a.log &
    "$cli" --attribute lat --add 1 "${reformat[@]}" f.xml 2>b.log &
    wait
    reported=$((reported + $(cat a.log b.log | grep -c ': 1 value adjusted' || true)))
    refused=$((refused + $(cat a.log b.log | grep -c ': error:' || true)))
done
landed=$(grep -o 'lat="[0-9]*"' f.xml | tr -dc 0-9)
echo "rounds run: $rounds, runs: $((2 * rounds)), edits reported: $reported, edits landed: $landed, refusals: $refused"

echo
echo "| case | path | kept |"
echo "| --- | --- | --- |"
for options in "" --reformat; do
    while IFS='|' read -r name attach show; do
        rm -f doc.xml other.xml
        printf "<r lat='1'/>" >doc.xml
        sh -c "$attach" >/dev/null 2>&1 || { echo "| $name | ${options:-default} | not on this file system |"; continue; }
        before=$(sh -c "$show" 2>&1)
        "$cli" --attribute lat --add 1 $options doc.xml 2>run.log || true
        after=$(sh -c "$show" 2>&1)
        kept=no
        [ "$before" = "$after" ] && grep -q "1 value adjusted" run.log && kept=yes
        echo "| $name | ${options:-default} | $kept ($(tr '\n' ' ' <run.log| sed 's/ *$//')) |"
    done <<'CASES'
hard link|ln doc.xml other.xml|stat -c %h:%i doc.xml other.xml; cmp doc.xml other.xml
extended attribute|setfattr -n user.origin -v kept doc.xml|getfattr -d doc.xml
POSIX ACL|setfacl -m u:nobody:rw doc.xml|getfacl -c doc.xml
mode 6755|chmod 6755 doc.xml|stat -c %a:%u:%g doc.xml
CASES
done

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times xmladjust-cli against xmlstarlet, xsltproc, the DOM alone, the parser
# alone and cp on the same generated documents, checks that they agree, and prints
# a Markdown report:
#   bench/compare.sh [--rounds N] [--large SIZE] [--small-files COUNT] [--small-only]
#                    [--only-300M] [--before PATH-TO-ANOTHER-xmladjust-cli]
# Each round runs every program once per document, in an order shuffled anew for each
# round; the report gives the median wall time and peak resident memory
# (/usr/bin/time) of each. With --large (for example 1G) an OSM-like file of that
# size is added, measured with our default path and cp only: the peers hold the
# whole tree in memory (some twenty to fifty times the file) and --reformat refuses
# files beyond its size limit. An OSM-like file of 300 MB (3 million nodes) is always
# added, measured with our default path in place, in a pipeline and dry, against
# xmlstarlet and the parser alone (--only-300M runs it alone); it is also adjusted in
# place in memory (/dev/shm), which leaves out what the disk costs: writing the file
# back, syncing it and freeing the old one.
# Then a folder of COUNT small files (default 6000; 0 leaves it out; --small-only
# measures it alone) of six kinds, each kind with its usual attribute, is adjusted in
# place 250 files a call, by us (every file durable) and by `xmlstarlet ed -L`
# (nothing synced); `cp -r` of the folder is the floor. --before (or --baseline) adds
# the same runs by another build of xmladjust-cli (an earlier commit, say), so that
# before and after are timed side by side. Set TMPDIR to choose the disk for the
# documents.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=5
large=
small_files=6000
small_only=
only300=
before=
arguments="$*"
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --large) large=$2; shift 2 ;;
    --small-files) small_files=$2; shift 2 ;;
    --small-only) small_only=1; shift ;;
    --only-300M) only300=1; small_files=0; shift ;;
    --before | --baseline) before=$(realpath "$2"); shift 2 ;;
    *) echo "usage: bench/compare.sh [--rounds N] [--large SIZE] [--small-files COUNT]" \
        "[--small-only] [--only-300M] [--before CLI]" >&2; exit 2 ;;
    esac
done

missing=()
command -v xmlstarlet >/dev/null || missing+=(xmlstarlet)
command -v xsltproc >/dev/null || missing+=(xsltproc)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
fi

echo "building build-bench (Release)..." >&2
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXMLADJUST_BUILD_BENCH=ON \
    -DXMLADJUST_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --parallel 2 --target xmladjust-cli generate_corpus \
    compare_attributes dom_roundtrip reader_alone >/dev/null
cli=$PWD/build-bench/src/cli/xmladjust-cli
bench=$PWD/build-bench/bench
stylesheet=$PWD/bench/adjust.xsl

work=$(mktemp -d)
# In memory, room for the 300 MB file and its replacement (a container's /dev/shm may
# be far smaller); without it that run is left out.
memory_work=
if [ -w /dev/shm ] && [ "$(df --output=avail -B1M /dev/shm 2>/dev/null | tail -1)" -ge 1024 ]; then
    memory_work=$(mktemp -d /dev/shm/compare.XXXXXX)
fi
trap 'rm -rf "$work" ${memory_work:+"$memory_work"}' EXIT

# Documents: "NAME|FILE ATTRIBUTE [ABOVE BELOW]", FILE without .xml in $work.
cases=()
add_case() { # NAME KIND ATTRIBUTE [ABOVE BELOW]
    cases+=("$1|${*:2}")
}
echo "generating documents in $work..." >&2
if [ -z "$small_only" ]; then
if [ -z "$only300" ]; then
    "$bench/generate_corpus" osm "$work/osm.xml" 30M
    "$bench/generate_corpus" svg "$work/svg.xml" 10M
    "$bench/generate_corpus" nested "$work/nested.xml" 1000
    "$bench/generate_corpus" config "$work/config.xml" 100K
    add_case "OSM-like 30 MB" osm lat
    add_case "OSM-like 30 MB, 0 < lat < 45" osm lat 0 45
    add_case "SVG-like 10 MB" svg x
    add_case "1,000 levels deep" nested x
    add_case "configuration 100 KB" config weight
fi
"$bench/generate_corpus" osm "$work/osm300.xml" 300M
add_case "OSM-like 300 MB" osm300 lat
if [ -n "$large" ]; then
    "$bench/generate_corpus" osm "$work/large.xml" "$large"
    add_case "OSM-like $large" large lat
fi
fi

# One timed run: prepares a fresh copy outside the timing when the program works in
# place, then records "seconds kilobytes status" in $work/runs/CASE.PROGRAM.
run() { # CASE_INDEX PROGRAM KEEP_OUTPUT
    local index=$1 program=$2 keep=$3
    read -r kind attribute above below <<<"$(echo "${cases[$index]}" | sed 's/^.*|//')"
    local input="$work/$kind.xml" output="$work/out.$index.$program.xml"
    local bounds=() predicate="" xsltBounds=()
    if [ -n "${above:-}" ]; then
        bounds=(--above "$above" --below "$below")
        predicate="[. > $above and . < $below]"
        xsltBounds=(--param above "$above" --param below "$below")
    fi
    rm -f "$output"
    local command=()
    case $program in
    cp) command=(cp "$input" "$output") ;;
    ours | reformat | before | memory)
        [ "$program" = memory ] && output="$memory_work/out.xml"
        cp "$input" "$output"
        command=("$cli" --attribute "$attribute" --add 0.5 "${bounds[@]}")
        [ "$program" = before ] && command[0]=$before
        [ "$program" = reformat ] && command+=(--reformat)
        command+=("$output")
        ;;
    pipe)
        command=(sh -c "exec \"\$0\" \"\$@\" <\"$input\" >\"$output\""
            "$cli" --attribute "$attribute" --add 0.5 "${bounds[@]}")
        ;;
    dry) command=("$cli" --attribute "$attribute" --add 0.5 "${bounds[@]}" --dry-run "$input") ;;
    dom) command=("$bench/dom_roundtrip" "$input" "$output") ;;
    reader) command=("$bench/reader_alone" "$input") ;;
    xmlstarlet) command=(xmlstarlet ed -u "//@$attribute$predicate" -x ". + 0.5" "$input") ;;
    xsltproc)
        command=(xsltproc --huge --stringparam attribute "$attribute" --param add 0.5
            "${xsltBounds[@]}" -o "$output" "$stylesheet" "$input")
        ;;
    esac
    sync
    local start end status=0
    start=$EPOCHREALTIME
    if [ "$program" = xmlstarlet ]; then
        /usr/bin/time -f %M -o "$work/rss" "${command[@]}" >"$output" 2>"$work/stderr" || status=$?
    else
        /usr/bin/time -f %M -o "$work/rss" "${command[@]}" >/dev/null 2>"$work/stderr" || status=$?
    fi
    end=$EPOCHREALTIME
    local rss
    rss=$(grep -E '^[0-9]+$' "$work/rss" | tail -1)
    echo "$start $end ${rss:-0} $status" |
        awk '{ printf "%.4f %d %d\n", $2 - $1, $3, $4 }' >>"$work/runs/$index.$program"
    if [ "$status" -ne 0 ]; then
        grep -m1 . "$work/stderr" | sed "s|$work/||g" | cut -c1-100 >"$work/runs/$index.$program.error"
    fi
    if [ "$program" = memory ] && [ "$keep" = keep ]; then
        mv "$output" "$work/out.$index.$program.xml"
    else
        [ "$keep" = keep ] || rm -f "$output"
    fi
}

# Checks the outputs of the first round: ours against the input (every changed value
# is the old one plus 0.5), and every peer against ours.
check() { # CASE_INDEX PROGRAM
    local index=$1 program=$2
    read -r kind _ <<<"$(echo "${cases[$index]}" | sed 's/^.*|//')"
    local ours="$work/out.$index.ours.xml" output="$work/out.$index.$program.xml"
    local verdict
    if [ -s "$work/runs/$index.$program.error" ]; then
        verdict="fails: $(cat "$work/runs/$index.$program.error")"
    elif [ "$program" = cp ] || [ "$program" = reader ] || [ "$program" = dry ]; then
        verdict="—"
    elif [ "$program" = dom ]; then
        verdict=$("$bench/compare_attributes" "$work/$kind.xml" "$output" | tail -1) ||
            verdict="DIFFERS: $verdict"
    elif [ "$program" = ours ] || [ "$program" = pipe ] || [ "$program" = before ] ||
        [ "$program" = memory ]; then
        verdict=$("$bench/compare_attributes" --add 0.5 "$work/$kind.xml" "$output" | tail -1) ||
            verdict="WRONG: $verdict"
    else
        verdict=$("$bench/compare_attributes" "$ours" "$output" | tail -1) &&
            verdict="agrees with ours" || verdict="DISAGREES: $verdict"
    fi
    echo "$verdict" >"$work/runs/$index.$program.check"
}

# The programs in an order of the round's own. Rotating one order would give each
# program the same one before it in every round, so that what a run leaves behind
# (memory it freed, data still on its way to the disk) would weigh on the same program
# every time.
shuffled() { # PROGRAM...
    printf '%s\n' "$@" | shuf
}

mkdir -p "$work/runs"
# By the command's name (pgrep matches no pattern longer than a process name's 15 bytes).
busy() { ps -eo comm= | grep -E '^(fuzz_|ctest$|cc1plus$)' | sort -u | tr '\n' ' ' || true; }
busy_before=$(busy)
for index in "${!cases[@]}"; do
    read -r kind _ <<<"$(echo "${cases[$index]}" | sed 's/^.*|//')"
    if [ "$kind" = large ]; then
        programs=(cp reader dry ours)
    elif [ "$kind" = osm300 ]; then
        programs=(cp reader dry ours pipe xmlstarlet)
        [ -n "$memory_work" ] && programs+=(memory)
        [ -n "$before" ] && programs+=(before)
    else
        programs=(cp reader dry ours reformat dom xmlstarlet xsltproc)
    fi
    echo "${cases[$index]%%|*}: $rounds rounds of ${programs[*]}" >&2
    for ((round = 0; round < rounds; ++round)); do
        for program in $(shuffled "${programs[@]}"); do
            if [ "$round" -eq 0 ]; then
                run "$index" "$program" keep
            else
                run "$index" "$program" drop
            fi
        done
        if [ "$round" -eq 0 ]; then
            for program in "${programs[@]}"; do
                check "$index" "$program"
            done
            rm -f "$work"/out.*
        fi
    done
done

median() { # FILE COLUMN
    awk -v c="$2" '{ print $c }' "$1" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else print "—" }'; }

label() {
    case $1 in
    cp) echo "cp (I/O floor)" ;;
    reader) echo "libxml2 SAX parser alone, as the default path reads (its floor)" ;;
    dry) echo "xmladjust-cli --dry-run" ;;
    ours) echo "xmladjust-cli (in place)" ;;
    memory) echo "xmladjust-cli (in place, in memory: /dev/shm)" ;;
    pipe) echo "xmladjust-cli < in > out" ;;
    before) echo "xmladjust-cli before (--before, in place)" ;;
    reformat) echo "xmladjust-cli --reformat (in place)" ;;
    dom) echo "DOM alone (parse + serialise)" ;;
    xmlstarlet) echo "xmlstarlet ed -u ... > out" ;;
    xsltproc) echo "xsltproc --huge adjust.xsl -o out" ;;
    esac
}

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
memory=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
version() { dpkg-query -W -f '${Version}' "$1" 2>/dev/null || echo unknown; }
echo "Command: \`bench/compare.sh $arguments\` ($rounds rounds, $(date -u +%Y-%m-%d))"
echo
echo "Machine: $(nproc) cores, $cpu, $memory RAM; Debian $(cat /etc/debian_version);" \
    "Qt $(version libqt5core5a), libxml2 $(version libxml2), libxslt $(version libxslt1.1)," \
    "xmlstarlet $(version xmlstarlet)."
echo
busy_after=$(busy)
if [ -z "$busy_before$busy_after" ]; then
    echo "No fuzzer, test run or compiler was running at the start or the end of the run."
else
    echo "Also running: at the start ${busy_before:-nothing}, at the end ${busy_after:-nothing}."
fi
# The documents' tables (none with --small-only).
if [ ${#cases[@]} -gt 0 ]; then
    echo
    echo "| document | program | median wall time | peak memory | check |"
    echo "|---|---|---:|---:|---|"
    for index in "${!cases[@]}"; do
        name=${cases[$index]%%|*}
        for program in cp reader dry ours memory pipe before reformat dom xmlstarlet xsltproc; do
            file="$work/runs/$index.$program"
            [ -f "$file" ] || continue
            seconds=$(median "$file" 1)
            kilobytes=$(median "$file" 2)
            printf '| %s | %s | %.3f s | %.1f MiB | %s |\n' "$name" "$(label "$program")" \
                "$seconds" "$(awk -v k="$kilobytes" 'BEGIN { print k / 1024 }')" \
                "$(cat "$file.check")"
            echo "$seconds $kilobytes" >"$file.median"
        done
    done

    # A program's median (field 1 the time, 2 the memory) for the document at $index,
    # 0 where it did not run, and whether it failed there.
    m() { cut -d' ' -f"$2" "$work/runs/$index.$1.median" 2>/dev/null || echo 0; }
    failed() { [ -s "$work/runs/$index.$1.error" ]; }

    echo
    echo "| document | time: ours / xmlstarlet | memory: ours / xmlstarlet | time: ours / xsltproc | time: ours / reader alone | time: --reformat / DOM alone | memory: --reformat / DOM alone |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for index in "${!cases[@]}"; do
        name=${cases[$index]%%|*}
        xs_time=$(m xmlstarlet 1)
        xs_rss=$(m xmlstarlet 2)
        xslt_time=$(m xsltproc 1)
        failed xmlstarlet && xs_time=0 && xs_rss=0
        failed xsltproc && xslt_time=0
        echo "| $name | $(ratio "$(m ours 1)" "$xs_time") | $(ratio "$(m ours 2)" "$xs_rss") |" \
            "$(ratio "$(m ours 1)" "$xslt_time") | $(ratio "$(m ours 1)" "$(m reader 1)") |" \
            "$(ratio "$(m reformat 1)" "$(m dom 1)") |" \
            "$(ratio "$(m reformat 2)" "$(m dom 2)") |"
    done

    echo
    echo "| document | time: in place / reader alone | in memory / reader alone | dry run / reader alone | pipeline / reader alone | before / reader alone | in place / xmlstarlet |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for index in "${!cases[@]}"; do
        [ -f "$work/runs/$index.pipe.median" ] || continue
        reader=$(m reader 1)
        echo "| ${cases[$index]%%|*} | $(ratio "$(m ours 1)" "$reader") |" \
            "$(ratio "$(m memory 1)" "$reader") | $(ratio "$(m dry 1)" "$reader") |" \
            "$(ratio "$(m pipe 1)" "$reader") | $(ratio "$(m before 1)" "$reader") |" \
            "$(ratio "$(m ours 1)" "$(m xmlstarlet 1)") |"
    done
    # The same document's runs one by one, and each round's in-place time over the parser's
    # in that round: the machine's speed drifts less within a round than across them.
    for index in "${!cases[@]}"; do
        [ -f "$work/runs/$index.pipe.median" ] || continue
        echo
        echo "${cases[$index]%%|*}, each run's seconds in round order:"
        for program in reader dry ours memory pipe before xmlstarlet; do
            file="$work/runs/$index.$program"
            [ -f "$file" ] && echo "- $program: $(cut -d' ' -f1 "$file" | tr '\n' ' ')"
        done
        for program in ours memory dry before; do
            [ -f "$work/runs/$index.$program" ] || continue
            paste -d' ' <(cut -d' ' -f1 "$work/runs/$index.$program") \
                <(cut -d' ' -f1 "$work/runs/$index.reader") |
                awk '{ print $1 / $2 }' >"$work/runs/$index.$program.per-round"
            echo "- $program / reader alone, median of the rounds:" \
                "$(median "$work/runs/$index.$program.per-round" 1 | xargs printf '%.2f')"
        done
    done
fi

# The many small files: each kind's folder with its attribute (xmlstarlet's XPath,
# then ours).
small_run() { # PROGRAM FOLDER: every file of the folder adjusted in place, 250 a call
    local program=$1 folder=$2 kind attribute entry
    for entry in "gpx lat" "kml x" "osm lat" "svg x" "layout android:layout_weight" \
        "config weight"; do
        read -r kind attribute <<<"$entry"
        case $program in
        xmlstarlet)
            find "$folder/$kind" -type f -print0 | sort -z | xargs -0 -n 250 xmlstarlet ed -L \
                -N android=http://schemas.android.com/apk/res/android \
                -u "//@$attribute" -x ". + 0.5" ;;
        ours | baseline)
            local cli_path=$cli
            [ "$program" = baseline ] && cli_path=$baseline
            find "$folder/$kind" -type f -print0 | sort -z | xargs -0 -n 250 "$cli_path" \
                --attribute "$attribute" --add 0.5 2>/dev/null ;;
        esac
    done
}
export -f small_run
baseline=$before
export cli baseline

if [ "$small_files" -gt 0 ]; then
    "$bench/generate_corpus" smallfiles "$work/small" "$small_files"
    small_bytes=$(find "$work/small" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.1f", s / 1e6 }')
    small_count=$(find "$work/small" -type f | wc -l)
    small_programs=(cp ours xmlstarlet)
    [ -n "$baseline" ] && small_programs+=(baseline)
    echo "$small_count small files ($small_bytes MB): $rounds rounds of ${small_programs[*]}" >&2
    for ((round = 0; round < rounds; ++round)); do
        for program in $(shuffled "${small_programs[@]}"); do
            rm -rf "$work/small.$program"
            if [ "$program" = cp ]; then
                command=(cp -r "$work/small" "$work/small.cp")
            else
                cp -r "$work/small" "$work/small.$program"
                command=(bash -c 'small_run "$0" "$1"' "$program" "$work/small.$program")
            fi
            sync
            start=$EPOCHREALTIME
            /usr/bin/time -f %M -o "$work/rss" "${command[@]}" >/dev/null 2>&1 || true
            end=$EPOCHREALTIME
            echo "$start $end $(grep -E '^[0-9]+$' "$work/rss" | tail -1)" |
                awk '{ printf "%.4f %d\n", $2 - $1, $3 }' >>"$work/runs/small.$program"
            [ "$round" -eq 0 ] || rm -rf "$work/small.$program"
        done
        if [ "$round" -eq 0 ]; then
            # Ours against the input, every peer against ours, file by file.
            for program in "${small_programs[@]}"; do
                [ "$program" = cp ] && { echo "—" >"$work/runs/small.cp.check"; continue; }
                wrong=0
                while IFS= read -r -d '' file; do
                    relative=${file#"$work/small.$program/"}
                    if [ "$program" = ours ]; then
                        "$bench/compare_attributes" --add 0.5 "$work/small/$relative" "$file" \
                            >/dev/null 2>&1 || wrong=$((wrong + 1))
                    else
                        "$bench/compare_attributes" "$work/small.ours/$relative" "$file" \
                            >/dev/null 2>&1 || wrong=$((wrong + 1))
                    fi
                done < <(find "$work/small.$program" -type f -print0)
                if [ "$program" = ours ]; then
                    [ "$wrong" -eq 0 ] && verdict="every value changed by 0.5" || verdict="WRONG in $wrong files"
                else
                    [ "$wrong" -eq 0 ] && verdict="agrees with ours" || verdict="DISAGREES in $wrong files"
                fi
                echo "$verdict" >"$work/runs/small.$program.check"
            done
            rm -rf "$work"/small.*/
        fi
    done
    echo
    echo "Many small files: $small_count files, $small_bytes MB, 250 a call, in place ($rounds rounds):"
    echo
    echo "| program | median wall time | peak memory | time / xmlstarlet | check |"
    echo "|---|---:|---:|---:|---|"
    xs=$(median "$work/runs/small.xmlstarlet" 1)
    for program in "${small_programs[@]}"; do
        case $program in
        cp) name="cp -r of the folder (I/O floor, nothing synced)" ;;
        ours) name="xmladjust-cli (in place, every file synced)" ;;
        baseline) name="xmladjust-cli, baseline build (in place, every file synced)" ;;
        xmlstarlet) name="xmlstarlet ed -L (in place, nothing synced)" ;;
        esac
        seconds=$(median "$work/runs/small.$program" 1)
        printf '| %s | %.3f s | %.1f MiB | %s | %s |\n' "$name" "$seconds" \
            "$(awk -v k="$(median "$work/runs/small.$program" 2)" 'BEGIN { print k / 1024 }')" \
            "$(ratio "$seconds" "$xs")" "$(cat "$work/runs/small.$program.check")"
    done
    echo
    echo "Each run's seconds, in round order:"
    for program in "${small_programs[@]}"; do
        echo "- $program: $(cut -d' ' -f1 "$work/runs/small.$program" | tr '\n' ' ')"
    done
fi

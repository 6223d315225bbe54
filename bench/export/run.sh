#!/bin/sh
# dravik-export side by side with readpst on the same stores, in one run: wall
# time (median of RUNS, the programs taking turns) and peak memory, for .eml
# (readpst -e) and mbox (readpst's default). A manual benchmark, not a test.
#
# Usage: bench/export/run.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  holds tools/dravik-export/dravik-export and tools/pstgen/pstgen
#              (default: build)
#   RUNS       runs per program, store and format (default: 3)
# Stores: the Enron sample, and stores pstgen writes into the scratch folder
# ($DRAVIK_BENCH_DIR, default /dev/shm), removed at the end: 10 folders of
# 1,000 messages with recipients and a 10,000-byte attachment each; one folder
# of 100,000 messages. Every program writes into the scratch folder, emptied
# after each run.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
export_=$build/tools/dravik-export/dravik-export
pstgen=$build/tools/pstgen/pstgen
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}

for tool in "$export_" "$pstgen"; do
    [ -x "$tool" ] || { echo "missing $tool: build dravik-export and pstgen first" >&2; exit 2; }
done
command -v readpst > /dev/null || { echo "readpst is missing (apt-get install pst-utils)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

. "$root/bench/dump/scratch.sh"
make_scratch dravik-export-bench
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES" "$scratch/out"

echo "writing the stores..." >&2
"$pstgen" scale "$scratch/scale-10x1000.pst" --folders 10 --messages 1000 --attachment-size 10000 --seed 1 > /dev/null
"$pstgen" scale "$scratch/one-100000.pst" --folders 1 --messages 100000 --recipients 2 --attachments 0 \
    --body-size 1000 --seed 1 > /dev/null

# One run of a command with its output in $scratch/out: "seconds peak-KiB".
# readpst exits 0 and dravik-export 0 when all is written; anything else fails.
once() {
    rm -rf "$scratch/out"
    mkdir -p "$scratch/out"
    /usr/bin/time -f "%e %M" -o "$scratch/time" "$@" > "$scratch/stdout" 2> "$scratch/stderr" || {
        echo "failed: $*" >&2
        tail -5 "$scratch/stderr" >&2
        exit 1
    }
    cat "$scratch/time"
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

row() {
    label=$1
    file=$2
    de="" re="" dm="" rm_="" dem=0 rem=0 dmm=0 rmm=0
    i=0
    while [ "$i" -lt "$runs" ]; do
        set -- $(once "$export_" --format eml "$file" "$scratch/out"); de="$de $1"; dem=$(( $2 > dem ? $2 : dem ))
        set -- $(once readpst -e -q -o "$scratch/out" "$file"); re="$re $1"; rem=$(( $2 > rem ? $2 : rem ))
        set -- $(once "$export_" --format mbox "$file" "$scratch/out"); dm="$dm $1"; dmm=$(( $2 > dmm ? $2 : dmm ))
        set -- $(once readpst -q -o "$scratch/out" "$file"); rm_="$rm_ $1"; rmm=$(( $2 > rmm ? $2 : rmm ))
        i=$((i + 1))
    done
    printf '| %s | %s s, %s MiB | %s s, %s MiB | %s s, %s MiB | %s s, %s MiB |\n' "$label" \
        "$(echo "$de" | median)" $((dem / 1024)) "$(echo "$re" | median)" $((rem / 1024)) \
        "$(echo "$dm" | median)" $((dmm / 1024)) "$(echo "$rm_" | median)" $((rmm / 1024))
}

echo "| store | dravik-export --format eml | readpst -e | dravik-export --format mbox | readpst |"
echo "|---|---|---|---|---|"
row "Enron sample" "$samples/pst-extractor-enron.pst"
row "10 folders x 1,000 messages, 10 KB attachment" "$scratch/scale-10x1000.pst"
row "one folder of 100,000 messages" "$scratch/one-100000.pst"
echo
echo "Median wall time of $runs runs, the programs taking turns; peak: the largest of the runs."

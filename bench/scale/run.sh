#!/bin/sh
# dravik-dump side by side with readpst and pffexport on the same stores, in one
# run: wall time (median of RUNS, the programs taking turns) and peak memory,
# and the first row of the largest folder's contents table through MAPI.
# dravik-dump runs twice: --rows (contents tables' rows, no message opened)
# and the full walk.
# A manual benchmark, not a test.
#
# Usage: bench/scale/run.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  holds tools/dravik-dump/dravik-dump, tools/pstgen/pstgen and
#              bench/firstrow/firstrow_bench (default: build)
#   RUNS       runs per program and store (default: 5); pffexport runs once on
#              the stores of 100,000 messages or more and not at all on the
#              store of 1,000,000 (it takes minutes for 100,000)
# Stores: the Enron sample, the OST sample, and stores pstgen writes into the
# scratch folder ($DRAVIK_BENCH_DIR, default /dev/shm), removed at the end:
# 10 folders of 1,000 messages with a 10,000-byte attachment; one folder of
# 100,000 messages; one folder of 1,000,000 small messages. Every program
# writes its output into the scratch folder, emptied after each run.
# readpst and pffexport come from Debian's readpst and pff-tools.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
runs=${2:-5}
dump=$build/tools/dravik-dump/dravik-dump
pstgen=$build/tools/pstgen/pstgen
firstrow=$build/bench/firstrow/firstrow_bench
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}

for tool in "$dump" "$pstgen" "$firstrow"; do
    [ -x "$tool" ] || { echo "missing $tool: build dravik-dump, pstgen and firstrow_bench first" >&2; exit 2; }
done
for tool in readpst pffexport; do
    command -v $tool > /dev/null || { echo "$tool is missing (apt-get install readpst pff-tools)" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

. "$root/bench/dump/scratch.sh"
make_scratch dravik-scale-bench
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES" "$scratch/out"

echo "writing the stores..." >&2
"$pstgen" scale "$scratch/scale-10x1000.pst" --folders 10 --messages 1000 --attachment-size 10000 --seed 1 > /dev/null
"$pstgen" scale "$scratch/one-100000.pst" --folders 1 --messages 100000 --recipients 0 --attachments 0 \
    --body-size 1000 --seed 1 > /dev/null
"$pstgen" scale "$scratch/one-1000000.pst" --folders 1 --messages 1000000 --recipients 0 --attachments 0 \
    --body-size 50 --seed 1 > /dev/null

# One run of a command with its output in $scratch/out: "seconds peak-KiB".
once() {
    rm -rf "$scratch/out"
    mkdir -p "$scratch/out"
    /usr/bin/time -f "%e %M" -o "$scratch/time" "$@" > "$scratch/out/stdout" 2> "$scratch/stderr" || {
        echo "failed: $*" >&2
        tail -5 "$scratch/stderr" >&2
        exit 1
    }
    cat "$scratch/time"
}

# The median of a list of numbers.
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

row() {
    label=$1
    file=$2
    pffRuns=$3
    size=$(stat -c %s "$file" | awk '{ printf "%.0f", $1 / 1048576 }')
    dr="" dj="" dp="" rp="" pf="" drm=0 djm=0 dpm=0 rpm=0 pfm=0
    i=0
    while [ "$i" -lt "$runs" ]; do
        set -- $(once "$dump" --rows --json --file "$file"); dr="$dr $1"; drm=$(( $2 > drm ? $2 : drm ))
        set -- $(once "$dump" --json --file "$file"); dj="$dj $1"; djm=$(( $2 > djm ? $2 : djm ))
        set -- $(once "$dump" --props --json --file "$file"); dp="$dp $1"; dpm=$(( $2 > dpm ? $2 : dpm ))
        set -- $(once readpst -j 0 -D -o "$scratch/out" "$file"); rp="$rp $1"; rpm=$(( $2 > rpm ? $2 : rpm ))
        if [ "$i" -lt "$pffRuns" ]; then
            set -- $(once pffexport -q -m all -f all -t "$scratch/out/export" "$file"); pf="$pf $1"; pfm=$(( $2 > pfm ? $2 : pfm ))
        fi
        i=$((i + 1))
    done
    pffText="-"
    [ -n "$pf" ] && pffText="$(echo "$pf" | median) s, $((pfm / 1024)) MiB"
    printf '| %s | %s MB | %s s, %s MiB | %s s, %s MiB | %s s, %s MiB | %s s, %s MiB | %s |\n' "$label" "$size" \
        "$(echo "$dr" | median)" $((drm / 1024)) "$(echo "$dj" | median)" $((djm / 1024)) "$(echo "$dp" | median)" $((dpm / 1024)) \
        "$(echo "$rp" | median)" $((rpm / 1024)) "$pffText"
}

echo "| store | size | dravik-dump --rows --json | dravik-dump --json | dravik-dump --props --json | readpst -j 0 -D | pffexport -m all -f all |"
echo "|---|---|---|---|---|---|---|"
row "Enron sample" "$samples/pst-extractor-enron.pst" "$runs"
row "OST sample" "$samples/pst-extractor-outlookcom.ost" "$runs"
row "10 folders x 1,000 messages, 10 KB attachment" "$scratch/scale-10x1000.pst" "$runs"
row "one folder of 100,000 messages" "$scratch/one-100000.pst" 1
row "one folder of 1,000,000 messages" "$scratch/one-1000000.pst" 0
echo
echo "Median wall time of $runs runs (pffexport: see the header), the programs taking turns; peak: the largest of the runs."
for store in one-100000 one-1000000; do
    echo
    echo "First row of the largest folder, $store:"
    "$firstrow" "$scratch/$store.pst" "$runs"
done

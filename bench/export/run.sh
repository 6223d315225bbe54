#!/bin/sh
# dravik-export side by side with readpst on the same stores, in one run: wall
# time and CPU time (user + system, with the processes readpst forks; median
# of RUNS, the programs taking turns) and peak memory, for .eml (readpst -e)
# and mbox (readpst's default), with the machine's load average before and
# after. On a shared machine the CPU time is the fairer comparison. A manual
# benchmark, not a test.
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

# One run of a command with its output in $scratch/out: "wall-seconds cpu-seconds peak-KiB".
# readpst exits 0 and dravik-export 0 when all is written; anything else fails.
once() {
    rm -rf "$scratch/out"
    mkdir -p "$scratch/out"
    /usr/bin/time -f "%e %U %S %M" -o "$scratch/time" "$@" > "$scratch/stdout" 2> "$scratch/stderr" || {
        echo "failed: $*" >&2
        tail -5 "$scratch/stderr" >&2
        exit 1
    }
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$scratch/time"
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One row: every run runs the four programs in turn, so that a change of load
# falls on all of them alike.
row() {
    label=$1
    file=$2
    for prog in eml readpst_e mbox readpst; do
        eval "wall_$prog='' cpu_$prog='' peak_$prog=0"
    done
    i=0
    while [ "$i" -lt "$runs" ]; do
        for prog in eml readpst_e mbox readpst; do
            case $prog in
            eml) set -- $(once "$export_" --format eml "$file" "$scratch/out") ;;
            readpst_e) set -- $(once readpst -e -q -o "$scratch/out" "$file") ;;
            mbox) set -- $(once "$export_" --format mbox "$file" "$scratch/out") ;;
            readpst) set -- $(once readpst -q -o "$scratch/out" "$file") ;;
            esac
            eval "wall_$prog=\"\$wall_$prog $1\"; cpu_$prog=\"\$cpu_$prog $2\""
            eval "if [ $3 -gt \$peak_$prog ]; then peak_$prog=$3; fi"
        done
        i=$((i + 1))
    done
    cells=""
    for prog in eml readpst_e mbox readpst; do
        eval "w=\$wall_$prog c=\$cpu_$prog p=\$peak_$prog"
        cells="$cells $(echo "$w" | median) s, $(echo "$c" | median) s CPU, $((p / 1024)) MiB |"
    done
    printf '| %s |%s\n' "$label" "$cells"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "| store | dravik-export --format eml | readpst -e | dravik-export --format mbox | readpst |"
echo "|---|---|---|---|---|"
row "Enron sample" "$samples/pst-extractor-enron.pst"
row "10 folders x 1,000 messages, 10 KB attachment" "$scratch/scale-10x1000.pst"
row "one folder of 100,000 messages" "$scratch/one-100000.pst"
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Median wall and CPU time of $runs runs; peak: the largest of the runs."

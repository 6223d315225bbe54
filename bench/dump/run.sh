#!/bin/sh
# Time and peak memory of `dravik-dump --props` next to `pffexport -m all -f all`
# on the same files: the largest sample store and a pstgen scale store of
# 10,000 messages. A manual benchmark, not a test.
#
# Usage: bench/dump/run.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  the build folder that holds tools/dravik-dump/dravik-dump and
#              tools/pstgen/pstgen (default: build)
#   RUNS       runs per program and file; the fastest is reported (default: 3)
# Scratch files go to $DRAVIK_BENCH_DIR (default /dev/shm, else /tmp) and are
# removed at the end. pffexport comes from Debian's pff-tools.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
dump=$build/tools/dravik-dump/dravik-dump
pstgen=$build/tools/pstgen/pstgen
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}
largest=$samples/pst-extractor-outlookcom.ost

for tool in "$dump" "$pstgen"; do
    [ -x "$tool" ] || { echo "missing $tool: build the targets dravik-dump and pstgen first" >&2; exit 2; }
done
command -v pffexport > /dev/null || { echo "pffexport is missing (apt-get install pff-tools)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

. "$here/scratch.sh"
make_scratch dravik-dump-bench

# 10 folders of 1,000 messages, each with 2 recipients, a 2,000-byte body and
# one 10,000-byte attachment.
scale=$scratch/scale-10000.pst
"$pstgen" scale "$scale" --folders 10 --messages 1000 --recipients 2 --attachments 1 \
    --body-size 2000 --attachment-size 10000 --seed 1 > /dev/null

export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES"

# Runs a command RUNS times; prints "seconds peak-KiB" of the fastest run.
measure() {
    best=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        rm -rf "$scratch/export" "$scratch/export.export"
        /usr/bin/time -v -o "$scratch/time" "$@" > /dev/null 2> "$scratch/stderr" || {
            echo "failed: $*" >&2
            cat "$scratch/stderr" >&2
            exit 1
        }
        wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$scratch/time" |
            awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }')
        rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$scratch/time")
        if [ -z "$best" ] || awk "BEGIN { exit !($wall < $best) }"; then
            best=$wall
            bestRss=$rss
        fi
        i=$((i + 1))
    done
    echo "$best $bestRss"
}

row() {
    label=$1
    file=$2
    size=$(stat -c %s "$file" | awk '{ printf "%.1f", $1 / 1048576 }')
    objects=$("$dump" --file "$file" | wc -l)
    set -- $(measure "$dump" --props --file "$file")
    dt=$1
    dm=$2
    set -- $(measure "$dump" --props --json --file "$file")
    jt=$1
    jm=$2
    set -- $(measure pffexport -q -m all -f all -t "$scratch/export" "$file")
    pt=$1
    pm=$2
    printf '| %s | %s MB | %s | %s s | %s MB | %s s | %s MB | %s s | %s MB |\n' "$label" "$size" "$objects" \
        "$dt" $((dm / 1024)) "$jt" $((jm / 1024)) "$pt" $((pm / 1024))
}

echo "| store | size | objects | dravik-dump --props | peak | --props --json | peak | pffexport -m all -f all | peak |"
echo "|---|---|---|---|---|---|---|---|---|"
row "$(basename "$largest")" "$largest"
row "pstgen scale, 10,000 messages" "$scale"
echo
echo "Fastest of $runs runs each; output to /dev/null, pffexport's export in $base."

#!/bin/sh
# Time and peak memory of `dravik-dump --ledger --recover` next to `dravik-dump --props`
# and `pffexport -m all -f all` (which recovers too), on pstgen scale stores with 10 % of
# their messages deleted: the 10-folder store (1,000 messages) and, with BIG=1, one of
# about 1 GB. A manual benchmark, not a test.
#
# Usage: bench/ledger/run.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  the build folder that holds tools/dravik-dump/dravik-dump and
#              tools/pstgen/pstgen (default: build)
#   RUNS       runs per program and file; the fastest is reported (default: 3)
# Scratch files go to $DRAVIK_BENCH_DIR (default /dev/shm, else /tmp) and are removed at
# the end. Run it with nice on a shared machine.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
dump=$build/tools/dravik-dump/dravik-dump
pstgen=$build/tools/pstgen/pstgen

for tool in "$dump" "$pstgen"; do
    [ -x "$tool" ] || { echo "missing $tool: build the targets dravik-dump and pstgen first" >&2; exit 2; }
done
command -v pffexport > /dev/null || { echo "pffexport is missing (apt-get install pff-tools)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

. "$root/bench/dump/scratch.sh"
make_scratch dravik-ledger-bench
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES"

# Runs a command RUNS times; prints "seconds peak-KiB" of the fastest run.
measure() {
    best=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        rm -rf "$scratch/export" "$scratch/export.export" "$scratch/export.recovered" "$scratch/export.orphans"
        /usr/bin/time -v -o "$scratch/time" "$@" > "$scratch/out" 2> "$scratch/stderr" || {
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
    truth=$3
    size=$(stat -c %s "$file" | awk '{ printf "%.1f", $1 / 1048576 }')
    removed=$(grep -c '"nid"' "$truth" || true)
    set -- $(measure "$dump" --props --file "$file")
    pt=$1
    pm=$2
    set -- $(measure "$dump" --ledger --recover --file "$file")
    lt=$1
    lm=$2
    recovered=$(sed -n '/^folder: Recovered Items/,$p' "$scratch/out" | grep -c '^    message: ' || true)
    set -- $(measure "$dump" --props --ledger --recover --file "$file")
    bt=$1
    bm=$2
    set -- $(measure pffexport -q -m all -f all -t "$scratch/export" "$file")
    ft=$1
    fm=$2
    theirs=$(ls "$scratch/export.recovered" 2> /dev/null | wc -l)
    printf '| %s | %s MB | %s | %s s, %s MB | %s s, %s MB (%s recovered) | %s s, %s MB | %s s, %s MB (%s recovered) |\n' \
        "$label" "$size" "$removed" "$pt" $((pm / 1024)) "$lt" $((lm / 1024)) "$recovered" \
        "$bt" $((bm / 1024)) "$ft" $((fm / 1024)) "$theirs"
}

echo "| store | size | removed | dravik-dump --props | --ledger --recover | --props --ledger --recover | pffexport -m all -f all |"
echo "|---|---|---|---|---|---|---|"
small=$scratch/deleted-10.pst
"$pstgen" scale "$small" --folders 10 --messages 100 --delete 10 --overwrite 5 --orphan 5 \
    --truth "$small.json" > /dev/null
row "10 folders x 100, 10 % deleted" "$small" "$small.json"
if [ "${BIG:-0}" = 1 ]; then
    big=$scratch/deleted-1g.pst
    "$pstgen" scale "$big" --folders 10 --messages 1000 --attachment-size 100000 --delete 10 \
        --overwrite 50 --orphan 50 --truth "$big.json" > /dev/null
    row "10 folders x 1,000, 10 % deleted" "$big" "$big.json"
fi

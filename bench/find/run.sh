#!/bin/sh
# Searches side by side with the dumps they stand beside, on the 10-folder
# store (10 folders of 1,000 messages with a recipient and a 10,000-byte
# attachment) and on one folder of 1,000,000 small messages:
#   a subject substring (the contents table answers) against dravik-dump --json;
#   a body substring (each message opened) against dravik-dump --props;
#   the first result when it is the 1,000th message, through the table and
#   opening each message (bench_find --first);
#   the Find window's repaints while a search runs (bench_find --gui).
# A manual benchmark, not a test.
#
# Usage: bench/find/run.sh [BUILD_DIR] [RUNS]   (RUNS: default 3, the median is printed)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
dump=$build/tools/dravik-dump/dravik-dump
pstgen=$build/tools/pstgen/pstgen
find=$build/bench/find/bench_find
for tool in "$dump" "$pstgen" "$find"; do
    [ -x "$tool" ] || { echo "missing $tool: build dravik-dump, pstgen and bench_find first" >&2; exit 2; }
done

. "$root/bench/dump/scratch.sh"
make_scratch dravik-find-bench
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES"

echo "writing the stores..." >&2
"$pstgen" scale "$scratch/scale-10x1000.pst" --folders 10 --messages 1000 --attachment-size 10000 --seed 1 > /dev/null
"$pstgen" scale "$scratch/one-1000000.pst" --folders 1 --messages 1000000 --recipients 0 --attachments 0 \
    --body-size 50 --seed 1 > /dev/null

seconds() {
    /usr/bin/time -f "%e" -o "$scratch/time" "$@" > /dev/null 2> "$scratch/stderr" || { tail -3 "$scratch/stderr" >&2; exit 1; }
    cat "$scratch/time"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for store in scale-10x1000 one-1000000; do
    file=$scratch/$store.pst
    j="" s="" p="" b=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        j="$j $(seconds "$dump" --json --file "$file")"
        s="$s $(seconds "$dump" --where 'PR_SUBJECT contains "no such subject"' --file "$file")"
        p="$p $(seconds "$dump" --props --file "$file")"
        b="$b $(seconds "$dump" --where 'PR_BODY contains "no such body"' --file "$file")"
        i=$((i + 1))
    done
    j=$(echo "$j" | median) s=$(echo "$s" | median) p=$(echo "$p" | median) b=$(echo "$b" | median)
    printf '%s: --json %ss, --where subject %ss (%s x); --props %ss, --where body %ss (%s x)\n' "$store" \
        "$j" "$s" "$(echo "$s $j" | awk '{ printf "%.2f", $1 / $2 }')" \
        "$p" "$b" "$(echo "$b $p" | awk '{ printf "%.2f", $1 / $2 }')"
done
echo "first result, the 1,000th message of one folder of 1,000,000:"
"$find" "$scratch/one-1000000.pst" 'PR_SUBJECT prefix "Message 1.1000 "' --first
"$find" "$scratch/one-1000000.pst" 'PR_SUBJECT prefix "Message 1.1000 " and exists PR_BODY' --first
echo "the Find window, each message opened (10-folder store), and through the table (1,000,000):"
QT_QPA_PLATFORM=offscreen "$find" "$scratch/scale-10x1000.pst" 'PR_BODY contains "a"' --gui 2>/dev/null
QT_QPA_PLATFORM=offscreen "$find" "$scratch/one-1000000.pst" 'PR_SUBJECT contains "no such subject"' --gui 2>/dev/null

#!/bin/sh
# Two builds of dravik-dump side by side: `dravik-dump --props` of the largest
# sample store and of two 150 MB `pstgen scale` stores (Unicode and ANSI,
# 10 folders of 920 messages with two recipients, a 2,000-byte body and a
# 10,000-byte attachment each). The runs alternate between the two programs;
# the fastest of RUNS is reported (wall and user seconds, peak KiB). With
# DRAVIK_BENCH_CALLGRIND=1 each program is also run once under valgrind's
# callgrind, whose instruction counts do not depend on the machine's load.
# A manual benchmark, not a test.
#
# Usage: bench/dump/before-after.sh BEFORE_DUMP AFTER_DUMP [PSTGEN] [RUNS]
#   PSTGEN  default build/tools/pstgen/pstgen;  RUNS  default 7
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BEFORE_DUMP AFTER_DUMP [PSTGEN] [RUNS]" >&2; exit 2; }
before=$1
after=$2
pstgen=${3:-$root/build/tools/pstgen/pstgen}
runs=${4:-7}
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}
for tool in "$before" "$after" "$pstgen"; do
    [ -x "$tool" ] || { echo "missing $tool" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

. "$here/scratch.sh"
make_scratch dravik-dump-before-after
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES"

for format in unicode ansi; do
    "$pstgen" scale "$scratch/scale150-$format.pst" --folders 10 --messages 920 --recipients 2 --attachments 1 \
        --body-size 2000 --attachment-size 10000 --seed 1 --format "$format" > /dev/null
done

echo "| store | before: wall, user, peak | after: wall, user, peak | instructions before | after |"
echo "|---|---|---|---|---|"
for file in "$samples/pst-extractor-outlookcom.ost" "$scratch/scale150-unicode.pst" "$scratch/scale150-ansi.pst"; do
    : > "$scratch/t.before"
    : > "$scratch/t.after"
    i=0
    while [ "$i" -lt "$runs" ]; do
        for which in before after; do
            eval "program=\$$which"
            /usr/bin/time -f "%e s, %U s, %M KiB" -a -o "$scratch/t.$which" "$program" --props --file "$file" \
                > /dev/null 2> "$scratch/err" || { echo "failed: $program on $file" >&2; cat "$scratch/err" >&2; exit 1; }
        done
        i=$((i + 1))
    done
    ib=-
    ia=-
    if [ "${DRAVIK_BENCH_CALLGRIND:-0}" = 1 ]; then
        for which in before after; do
            eval "program=\$$which"
            valgrind --tool=callgrind --callgrind-out-file="$scratch/cg" "$program" --props --file "$file" \
                > /dev/null 2> "$scratch/cg.log"
            count=$(sed -n 's/.*Collected : //p' "$scratch/cg.log")
            if [ "$which" = before ]; then ib=$count; else ia=$count; fi
        done
    fi
    printf '| %s | %s | %s | %s | %s |\n' "$(basename "$file")" "$(sort -n "$scratch/t.before" | head -1)" \
        "$(sort -n "$scratch/t.after" | head -1)" "$ib" "$ia"
done
echo
echo "Fastest of $runs alternating runs each; output to /dev/null."

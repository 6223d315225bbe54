#!/bin/sh
# dravik-dump --props --bodies --json against --props --json alone, side by side with
# `pffexport -m all -f all` and `readpst` on the same files, in one run: the Enron sample
# and a pstgen store whose messages have RTF bodies (HTML encapsulated in RTF, beside
# PR_BODY). The fastest of RUNS runs is reported in seconds of wall clock, with the CPU
# seconds (user + system) of that run, which a shared machine's load inflates less. A
# manual benchmark, not a test.
#
# Usage: bench/bodies/run.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  holds tools/dravik-dump/dravik-dump, tools/pstgen/pstgen and
#              bench/bodies/bench_bodies (default: build)
#   RUNS       default 3
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
dump=$build/tools/dravik-dump/dravik-dump
pstgen=$build/tools/pstgen/pstgen
codecs=$build/bench/bodies/bench_bodies
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}
for tool in "$dump" "$pstgen" "$codecs"; do
    [ -x "$tool" ] || { echo "missing $tool" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }
command -v pffexport > /dev/null || { echo "pffexport is missing (apt-get install pff-tools)" >&2; exit 2; }
command -v readpst > /dev/null || { echo "readpst is missing (apt-get install pst-utils)" >&2; exit 2; }

. "$here/../dump/scratch.sh"
make_scratch dravik-bodies-bench
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES"

# 10 folders of 500 messages, each with 2 recipients, one 10,000-byte attachment and a
# 4,000-byte body kept as PR_BODY and as HTML encapsulated in compressed RTF.
rtfstore=$scratch/rtf-5000.pst
"$pstgen" scale "$rtfstore" --folders 10 --messages 500 --recipients 2 --attachments 1 \
    --body-size 4000 --attachment-size 10000 --body html-rtf --seed 1 > /dev/null

# "wall cpu" of the fastest of RUNS runs of a command.
measure() {
    best=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        rm -rf "$scratch/out" "$scratch/out.export" "$scratch/out.recovered" "$scratch/readpst"
        mkdir -p "$scratch/readpst"
        /usr/bin/time -f "%e %U %S" -o "$scratch/time" "$@" > /dev/null 2> "$scratch/stderr" ||
            { echo "failed: $*" >&2; cat "$scratch/stderr" >&2; exit 1; }
        t=$(awk '{ print $1 }' "$scratch/time")
        c=$(awk '{ printf "%.2f", $2 + $3 }' "$scratch/time")
        if [ -z "$best" ] || awk "BEGIN { exit !($t < $best) }"; then best=$t; bestCpu=$c; fi
        i=$((i + 1))
    done
    echo "$best $bestCpu"
}

echo "| store | size | --props --json: wall, CPU | --props --bodies --json | ratio (wall, CPU) | pffexport -f all | readpst |"
echo "|---|---|---|---|---|---|---|"
for file in "$samples/pst-extractor-enron.pst" "$rtfstore"; do
    size=$(stat -c %s "$file" | awk '{ printf "%.1f MB", $1 / 1048576 }')
    set -- $(measure "$dump" --props --json --file "$file"); pw=$1; pc=$2
    set -- $(measure "$dump" --props --bodies --json --file "$file"); bw=$1; bc=$2
    set -- $(measure pffexport -q -m all -f all -t "$scratch/out" "$file"); fw=$1; fc=$2
    set -- $(measure readpst -q -o "$scratch/readpst" "$file"); rw=$1; rc=$2
    ratio=$(awk "BEGIN { printf \"%.2f, %.2f\", $bw / $pw, ($pc > 0 ? $bc / $pc : 0) }")
    echo "| $(basename "$file") | $size | $pw s, $pc s | $bw s, $bc s | $ratio | $fw s, $fc s | $rw s, $rc s |"
done
echo
"$codecs" 7

#!/bin/sh
# dravik-dump side by side with readpst and pffexport on the same stores, in one
# run: wall time (median and range of RUNS, the programs taking turns) and peak
# memory, the dump's time as a share of readpst's, and the first row of the
# largest folder's contents table through MAPI. A manual benchmark, not a test.
#
# Usage: bench/scale/run.sh [BUILD_DIR] [RUNS] [SET]
#   BUILD_DIR  holds tools/dravik-dump/dravik-dump, tools/pstgen/pstgen and
#              bench/firstrow/firstrow_bench (default: build)
#   RUNS       runs per program and store (default: 5); pffexport runs once on
#              the stores of 100,000 messages or more and not at all on the
#              store of 1,000,000 (it takes minutes for 100,000)
#   SET        all (default): every store below; mail: the samples and the
#              stores shaped like real mail only, without pffexport; rows:
#              the row-only walk over the store of 1,000,000 messages only
# With DRAVIK_BENCH_BEFORE set to another build's dravik-dump, that program
# takes its turn too and its times are shown beside this build's. With
# DRAVIK_BENCH_STORES set to a folder, a store already there under the name
# this script gives it is used instead of being written again.
# Times are wall time, with the CPU time (user + sys) in brackets: on a shared
# machine the CPU time is the steadier figure.
# Stores: the Enron sample, the OST sample, and stores pstgen writes into the
# scratch folder ($DRAVIK_BENCH_DIR, default /dev/shm), removed at the end:
# 10 folders of 1,000 messages with a 10,000-byte attachment; one folder of
# 100,000 messages; one folder of 1,000,000 small messages; and mail as it
# really is: two and ten recipients a message, a 10,000-byte attachment on one
# message in five, 2,000-byte bodies, in one folder of 100,000 messages and in
# ten folders of 10,000. Every program writes its output into the scratch
# folder, emptied after each run.
# readpst and pffexport come from Debian's readpst and pff-tools.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
runs=${2:-5}
set=${3:-all}
before=${DRAVIK_BENCH_BEFORE:-}
dump=$build/tools/dravik-dump/dravik-dump
pstgen=$build/tools/pstgen/pstgen
firstrow=$build/bench/firstrow/firstrow_bench
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}

case "$set" in all|mail|rows) ;; *) echo "unknown set $set (all, mail or rows)" >&2; exit 2 ;; esac
for tool in "$dump" "$pstgen" "$firstrow" ${before:+"$before"}; do
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
stores=${DRAVIK_BENCH_STORES:-}
# pstgen scale NAME ARGS...: the store $scratch/NAME.pst, or a link to the one
# in $DRAVIK_BENCH_STORES.
store() {
    name=$1
    shift
    if [ -n "$stores" ] && [ -f "$stores/$name.pst" ]; then
        ln -sf "$stores/$name.pst" "$scratch/$name.pst"
    else
        "$pstgen" scale "$scratch/$name.pst" "$@" > /dev/null
    fi
}
if [ "$set" = all ]; then
    store scale-10x1000 --folders 10 --messages 1000 --attachment-size 10000 --seed 1
    store one-100000 --folders 1 --messages 100000 --recipients 0 --attachments 0 --body-size 1000 --seed 1
fi
store one-1000000 --folders 1 --messages 1000000 --recipients 0 --attachments 0 --body-size 50 --seed 1
[ "$set" = rows ] || for recipients in 2 10; do
    store "mail-r$recipients-1x100000" --folders 1 --messages 100000 --recipients "$recipients" --attachments 1 \
        --attach-every 5 --attachment-size 10000 --body-size 2000 --seed 1
    store "mail-r$recipients-10x10000" --folders 10 --messages 10000 --recipients "$recipients" --attachments 1 \
        --attach-every 5 --attachment-size 10000 --body-size 2000 --seed 1
done

# One run of a command with its output in $scratch/out: "seconds peak-KiB
# cpu-seconds".
once() {
    rm -rf "$scratch/out"
    mkdir -p "$scratch/out"
    /usr/bin/time -f "%e %M %U %S" -o "$scratch/time" "$@" > "$scratch/out/stdout" 2> "$scratch/stderr" || {
        echo "failed: $*" >&2
        tail -5 "$scratch/stderr" >&2
        exit 1
    }
    awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$scratch/time"
}

# The median of a list of numbers.
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# "median (lowest-highest)" of a list of numbers.
spread() {
    tr ' ' '\n' | grep . | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 1) print v[1]; else printf "%s (%s-%s)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}
# The share a's median is of b's median, as a:b.
share() { awk -v a="$(echo "$1" | median)" -v b="$(echo "$2" | median)" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

row() {
    label=$1
    file=$2
    pffRuns=$3
    size=$(stat -L -c %s "$file" | awk '{ printf "%.0f", $1 / 1048576 }')
    dj="" dp="" rp="" pf="" bj="" bp="" djm=0 dpm=0 rpm=0 pfm=0 bjm=0 bpm=0
    djc="" dpc="" rpc="" bjc="" bpc=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        if [ -n "$before" ]; then
            set -- $(once "$before" --json --file "$file"); bj="$bj $1"; bjm=$(( $2 > bjm ? $2 : bjm )); bjc="$bjc $3"
            set -- $(once "$before" --props --json --file "$file"); bp="$bp $1"; bpm=$(( $2 > bpm ? $2 : bpm )); bpc="$bpc $3"
        fi
        set -- $(once "$dump" --json --file "$file"); dj="$dj $1"; djm=$(( $2 > djm ? $2 : djm )); djc="$djc $3"
        set -- $(once "$dump" --props --json --file "$file"); dp="$dp $1"; dpm=$(( $2 > dpm ? $2 : dpm )); dpc="$dpc $3"
        set -- $(once readpst -j 0 -D -o "$scratch/out" "$file"); rp="$rp $1"; rpm=$(( $2 > rpm ? $2 : rpm )); rpc="$rpc $3"
        if [ "$i" -lt "$pffRuns" ]; then
            set -- $(once pffexport -q -m all -f all -t "$scratch/out/export" "$file"); pf="$pf $1"; pfm=$(( $2 > pfm ? $2 : pfm ))
        fi
        i=$((i + 1))
    done
    pffText="-"
    [ -n "$pf" ] && pffText="$(echo "$pf" | median) s, $((pfm / 1024)) MiB"
    beforeText=""
    [ -n "$before" ] && beforeText="$(echo "$bj" | spread) ($(echo "$bjc" | median)) s, $((bjm / 1024)) MiB | $(echo "$bp" | spread) ($(echo "$bpc" | median)) s, $((bpm / 1024)) MiB | "
    printf '| %s | %s MB | %s%s (%s) s, %s MiB | %s (%s) s, %s MiB | %s (%s) s, %s MiB | %s (%s) | %s (%s) | %s |\n' "$label" "$size" \
        "$beforeText" "$(echo "$dj" | spread)" "$(echo "$djc" | median)" $((djm / 1024)) \
        "$(echo "$dp" | spread)" "$(echo "$dpc" | median)" $((dpm / 1024)) \
        "$(echo "$rp" | spread)" "$(echo "$rpc" | median)" $((rpm / 1024)) \
        "$(share "$dj" "$rp")" "$(share "$djc" "$rpc")" "$(share "$dp" "$rp")" "$(share "$dpc" "$rpc")" "$pffText"
}

if [ "$set" != rows ]; then
beforeHead="" beforeRule=""
[ -n "$before" ] && beforeHead="before: --json | before: --props --json | " beforeRule="---|---|"
echo "| store | size | ${beforeHead}dravik-dump --json | dravik-dump --props --json | readpst -j 0 -D | --json : readpst | --props --json : readpst | pffexport -m all -f all |"
echo "|---|---|${beforeRule}---|---|---|---|---|---|"
samplePff=$runs
[ "$set" = mail ] && samplePff=0
row "Enron sample" "$samples/pst-extractor-enron.pst" "$samplePff"
row "OST sample" "$samples/pst-extractor-outlookcom.ost" "$samplePff"
if [ "$set" = all ]; then
    row "10 folders x 1,000 messages, 10 KB attachment" "$scratch/scale-10x1000.pst" "$runs"
    row "one folder of 100,000 messages" "$scratch/one-100000.pst" 1
    row "one folder of 1,000,000 messages" "$scratch/one-1000000.pst" 0
fi
for recipients in 2 10; do
    row "one folder of 100,000 messages, $recipients recipients, attachment on 1 in 5" \
        "$scratch/mail-r$recipients-1x100000.pst" 0
    row "10 folders x 10,000 messages, $recipients recipients, attachment on 1 in 5" \
        "$scratch/mail-r$recipients-10x10000.pst" 0
done
echo
echo "Wall time: median (lowest-highest) of $runs runs (pffexport: see the header), the programs taking turns,"
echo "with the median CPU time (user + sys) in brackets; peak: the largest of the runs; the shares are of"
echo "the medians, wall (CPU)."
fi

# The row-only walk over a million messages, beside the full walk and readpst,
# taking turns (once each, or RUNS times with SET rows): rows a CPU second,
# of the median CPU time.
echo
echo "| one folder of 1,000,000 messages | wall | CPU (user + sys) | peak | messages or rows a CPU second |"
echo "|---|---|---|---|---|"
rowsRuns=1
[ "$set" = rows ] && rowsRuns=$runs
rr="" rrc="" rrm=0 rj="" rjc="" rjm=0 rr2="" rr2c="" rr2m=0
i=0
while [ "$i" -lt "$rowsRuns" ]; do
    set -- $(once "$dump" --rows --json --file "$scratch/one-1000000.pst"); rr="$rr $1"; rrc="$rrc $3"; rrm=$(( $2 > rrm ? $2 : rrm ))
    set -- $(once "$dump" --json --file "$scratch/one-1000000.pst"); rj="$rj $1"; rjc="$rjc $3"; rjm=$(( $2 > rjm ? $2 : rjm ))
    set -- $(once readpst -j 0 -D -o "$scratch/out" "$scratch/one-1000000.pst"); rr2="$rr2 $1"; rr2c="$rr2c $3"; rr2m=$(( $2 > rr2m ? $2 : rr2m ))
    i=$((i + 1))
done
rowsLine() {
    printf '| %s | %s s | %s s | %s MiB | %s M |\n' "$1" "$(echo "$2" | spread)" "$(echo "$3" | spread)" $(($4 / 1024)) \
        "$(awk -v c="$(echo "$3" | median)" 'BEGIN { printf "%.2f", (c > 0 ? 1 / c : 0) }')"
}
rowsLine "dravik-dump --rows --json" "$rr" "$rrc" "$rrm"
rowsLine "dravik-dump --json" "$rj" "$rjc" "$rjm"
rowsLine "readpst -j 0 -D" "$rr2" "$rr2c" "$rr2m"
[ "$set" = all ] || exit 0
for store in one-100000 one-1000000; do
    echo
    echo "First row of the largest folder, $store:"
    "$firstrow" "$scratch/$store.pst" "$runs"
done

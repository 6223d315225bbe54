#!/bin/sh
# Two builds of dravik-dump give the same output: every sample store and a set
# of `pstgen` stores (the demo store, stores with recipients, attachments and
# embedded kinds of value, ANSI and Unicode, every code-page store), each
# dumped with --json, --props --json, --props, --rows --json and --rows by both
# programs, compared byte for byte with what differs between two runs of one
# program masked (the per-run profile name and the session's UID inside the
# store's entry IDs);
# standard error and the exit status must match too. For changes that must
# not change what the dump shows (speed work). A manual check, not a test.
#
# Usage: bench/dump/identical.sh BEFORE_DUMP AFTER_DUMP [PSTGEN]
#   PSTGEN  default build/tools/pstgen/pstgen
# Exit status: 0 every output the same, 1 some output differs (its diff is
# shown), 2 bad usage.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BEFORE_DUMP AFTER_DUMP [PSTGEN]" >&2; exit 2; }
before=$1
after=$2
pstgen=${3:-$root/build/tools/pstgen/pstgen}
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}
for tool in "$before" "$after" "$pstgen"; do
    [ -x "$tool" ] || { echo "missing $tool" >&2; exit 2; }
done

. "$here/scratch.sh"
make_scratch dravik-dump-identical
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES"

# The stores: every sample, and what pstgen writes.
"$pstgen" demo "$scratch/demo.pst" > /dev/null
"$pstgen" scale "$scratch/r2.pst" --folders 2 --messages 150 --recipients 2 --attachments 1 --body-size 2048 \
    --attachment-size 3000 --seed 3 > /dev/null
"$pstgen" scale "$scratch/r10.pst" --folders 1 --messages 60 --recipients 10 --attachments 0 --body-size 5000 \
    --seed 4 > /dev/null
"$pstgen" scale "$scratch/ansi.pst" --folders 2 --messages 80 --recipients 2 --attachments 2 --body-size 700 \
    --format ansi --seed 5 > /dev/null
"$pstgen" scale "$scratch/bare.pst" --folders 1 --messages 100 --recipients 0 --attachments 0 --body-size 50 \
    --encoding cyclic --seed 6 > /dev/null
for script in japanese chinese cyrillic hebrew; do
    for declare in nothing codepage locale internet; do
        "$pstgen" codepage "$scratch/cp-$script-$declare.pst" --script "$script" --declare "$declare" > /dev/null
    done
done

# What differs between two runs of the same program: the profile's name and
# the UIDs made for its session and services (inside entry IDs, instance keys
# and the store's entry ID).
mask() {
    uids=$(grep -oE '(PR_SERVICE_UID.{0,100}|4452564B53544F52459A3127700C11EF[0-9A-F]{32})' "$1" |
        grep -oE '[0-9A-F]{32}' | grep -v '^4452564B53544F52459A3127700C11EF' | sort -u | tr '\n' ' ')
    script="s/PROFILE[0-9]{6}/PROFILE######/g"
    for uid in $uids; do
        script="$script;s/$uid/################################/g"
    done
    sed -E -e "$script" "$1"
}

status=0
count=0
for file in "$samples"/*.pst "$samples"/*.ost "$scratch"/*.pst; do
    [ -f "$file" ] || continue
    for mode in "--json" "--props --json" "--props" "--rows --json" "--rows"; do
        for which in before after; do
            eval "program=\$$which"
            # shellcheck disable=SC2086
            rc=0
            "$program" $mode --file "$file" > "$scratch/out.$which" 2> "$scratch/err.$which" || rc=$?
            mask "$scratch/out.$which" > "$scratch/masked.$which"
            echo "exit $rc" >> "$scratch/masked.$which"
            mask "$scratch/err.$which" >> "$scratch/masked.$which"
        done
        count=$((count + 1))
        if ! cmp -s "$scratch/masked.before" "$scratch/masked.after"; then
            echo "DIFFERS: $mode $(basename "$file")"
            diff "$scratch/masked.before" "$scratch/masked.after" | head -10 | cut -c1-300
            status=1
        fi
    done
done
[ "$status" = 0 ] && echo "the same: $count outputs"
exit "$status"

#!/bin/sh
# Two builds of dravik-export write the same files: every sample store and
# .msg sample, and pstgen stores with recipients, attachments, ANSI, cyclic
# encoding and every code-page script, each exported as .eml and as mbox by
# both programs; the output trees are compared by SHA-256 of every file (and
# their names), with the exit status and the summary on standard error. For
# changes that must not change what the export writes (speed work). A manual
# check, not a test.
#
# Usage: bench/export/identical.sh BEFORE_EXPORT AFTER_EXPORT [PSTGEN]
#   PSTGEN  default build/tools/pstgen/pstgen
# Exit status: 0 every output the same, 1 some output differs, 2 bad usage.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BEFORE_EXPORT AFTER_EXPORT [PSTGEN]" >&2; exit 2; }
before=$1
after=$2
pstgen=${3:-$root/build/tools/pstgen/pstgen}
samples=${DRAVIK_SAMPLES_DIR:-$root/../shared/data/pst}
msgs=${DRAVIK_MSG_SAMPLES_DIR:-$root/../shared/data/msg}
for tool in "$before" "$after" "$pstgen"; do
    [ -x "$tool" ] || { echo "missing $tool" >&2; exit 2; }
done

. "$root/bench/dump/scratch.sh"
make_scratch dravik-export-identical
export DRAVIK_MAPI_PROFILES="$scratch/profiles"
mkdir -p "$DRAVIK_MAPI_PROFILES"

"$pstgen" demo "$scratch/demo.pst" > /dev/null
"$pstgen" scale "$scratch/att.pst" --folders 3 --messages 120 --recipients 3 --attachments 2 --body-size 3000 \
    --attachment-size 70000 --seed 7 > /dev/null
"$pstgen" scale "$scratch/ansi.pst" --folders 2 --messages 80 --recipients 2 --attachments 2 --body-size 700 \
    --format ansi --seed 5 > /dev/null
"$pstgen" scale "$scratch/cyclic.pst" --folders 1 --messages 100 --recipients 1 --attachments 1 --body-size 500 \
    --attachment-size 20000 --encoding cyclic --seed 6 > /dev/null
for script in japanese chinese cyrillic hebrew; do
    "$pstgen" codepage "$scratch/cp-$script.pst" --script "$script" --declare codepage > /dev/null
done

status=0
count=0
for file in "$samples"/*.pst "$samples"/*.ost "$msgs"/*.msg "$scratch"/*.pst; do
    [ -f "$file" ] || continue
    for format in eml mbox; do
        for which in before after; do
            eval "program=\$$which"
            out="$scratch/out.$which"
            rm -rf "$out"
            mkdir -p "$out"
            rc=0
            "$program" --format "$format" "$file" "$out/x" > /dev/null 2> "$scratch/err.$which" || rc=$?
            { echo "exit $rc"; sed "s|$out|OUT|g" "$scratch/err.$which"
              (cd "$out" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); } > "$scratch/sum.$which"
        done
        count=$((count + 1))
        if ! cmp -s "$scratch/sum.before" "$scratch/sum.after"; then
            echo "DIFFERS: $format $(basename "$file")"
            diff "$scratch/sum.before" "$scratch/sum.after" | head -10 | cut -c1-300
            status=1
        fi
    done
done
[ "$status" = 0 ] && echo "the same: $count exports"
exit "$status"

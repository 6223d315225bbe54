# Sourced by the dump benchmarks: makes a scratch folder in $DRAVIK_BENCH_DIR
# (default /dev/shm, else $TMPDIR or /tmp), names it in $scratch and removes
# it when the script ends. Usage: make_scratch NAME
make_scratch() {
    if [ -n "${DRAVIK_BENCH_DIR:-}" ]; then
        base=$DRAVIK_BENCH_DIR
    elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
        base=/dev/shm
    else
        base=${TMPDIR:-/tmp}
    fi
    scratch=$(mktemp -d "$base/$1.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT INT TERM
}

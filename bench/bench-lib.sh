# Shared by the benchmark scripts, which source it: their arguments, the programs they
# need, a scratch folder that goes when they end, and the timing helpers. Not run alone.

# bench_args NAME DEFAULT_MIB DEFAULT_RUNS [BUILD_DIR [MIB [RUNS]]]: sets bench (the name
# in messages), build, mib, runs, and card (vexa-card of that build).
bench_args() {
    bench=$1
    build=${4:-build}
    mib=${5:-$2}
    runs=${6:-$3}
    card=$build/src/cli/vexa-card
}

# bench_need PROGRAM...: every program is built, or the script stops saying which is not.
bench_need() {
    local program
    for program in "$@"; do
        [ -x "$program" ] || { echo "$bench: $program missing; build first (cmake --build $build)" >&2; exit 1; }
    done
}

# bench_work PREFIX: work, a scratch folder under ${TMPDIR:-/tmp} removed on exit, and
# image, the card image's path in it.
bench_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    image=$work/card.img
}

# Reads the files twice, so that what is timed starts from the page cache.
bench_cache() {
    cat "$@" >/dev/null
    cat "$@" >/dev/null
}

now() { date +%s.%N; }
# Seconds from time $1 to time $2 (as now() gives them).
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# "WALL CPU": seconds elapsed, and seconds of processor time (user + system). On a
# machine shared with other work the processor time shows what the wall time hides.
timed() {
    local TIMEFORMAT='%R %U %S' t
    t=$({ time "$@" >/dev/null; } 2>&1)
    awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%.3f %.3f", f[1], f[2] + f[3] }'
}

# The run with the least wall time of $1 and $2 (seconds, or "WALL CPU"); $2 may be
# empty, for the first run.
best() { awk -v x="$1" -v y="${2:-$1}" 'BEGIN { split(x, a, " "); split(y, b, " "); print (a[1] < b[1] ? x : y) }'; }

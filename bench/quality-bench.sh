#!/usr/bin/env bash
# Quality benchmark: one card file of MIB mebibytes (default 512) of Steim-2 records
# (three channels, 512-byte records packed by libmseed), page-cached, then in one run,
# RUNS times each (default 3): `dd bs=1M` copying the file's bytes; libmseed's own pass
# over them (bench/mseedpass.c: msr_parse with decoding on every record); `vexa-card
# inspect` (reads and checks every record); `vexa-card export` (copies and checks).
# Prints every time, the best of each and the ratios against the targets:
#   inspect <= 1.3 x the libmseed pass; export <= 1.3 x the slower of dd and that pass.
#
# Usage: bench/quality-bench.sh [BUILD_DIR [MIB [RUNS]]]   (BUILD_DIR default: build)
# Needs about 3 x MIB of free space under ${TMPDIR:-/tmp}; removes everything it wrote.
set -euo pipefail
build=${1:-build}
mib=${2:-512}
runs=${3:-3}
card=$build/src/cli/vexa-card
maker=$build/bench/vexa-mseed-image
pass=$build/bench/mseedpass
for program in "$card" "$maker" "$pass"; do
    [ -x "$program" ] || { echo "quality-bench: $program missing; build first (cmake --build $build)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-quality-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
image=$work/card.img
mkdir "$work/export"

read -r offset length < <("$maker" "$image" "$mib")
path=$("$card" tree "$image" | head -n 1 | cut -f 1)
echo "image: $(( $(stat -c %s "$image") / 1048576 )) MiB, file $path: $length bytes of Steim-2 records from byte $offset"
cat "$image" >/dev/null
cat "$image" >/dev/null

now() { date +%s.%N; }
timed() {
    local t0 t1
    t0=$(now)
    "$@" >/dev/null
    t1=$(now)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
min() { awk -v x="$1" -v y="${2:-$1}" 'BEGIN { print (x < y ? x : y) }'; }

run_dd() { rm -f "$work/dd.out"; sync; timed dd if="$image" of="$work/dd.out" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none; }
run_pass() { timed "$pass" "$image" "$offset" "$length"; }
run_inspect() { timed "$card" inspect "$image" "$path"; }
run_export() { rm -rf "$work/export"; mkdir "$work/export"; sync; timed "$card" export --quiet --output "$work/export" "$image" "$path"; }

best_dd="" best_pass="" best_inspect="" best_export=""
for run in $(seq 1 "$runs"); do
    d=$(run_dd); p=$(run_pass); i=$(run_inspect); e=$(run_export)
    echo "run $run: dd ${d} s, libmseed pass ${p} s, inspect ${i} s, export ${e} s"
    best_dd=$(min "$d" "$best_dd"); best_pass=$(min "$p" "$best_pass")
    best_inspect=$(min "$i" "$best_inspect"); best_export=$(min "$e" "$best_export")
done

# What was measured must be what was meant: every record checked, the copy whole.
"$pass" "$image" "$offset" "$length" | awk '{ if ($3 != 0) { print "quality-bench: libmseed failed on " $3 " records" > "/dev/stderr"; exit 1 } }'
"$card" inspect --json "$image" "$path" | grep -q '"decodeFailures": 0'
cmp "$work/export/$(basename "$path").mseed" "$work/dd.out"
awk -v d="$best_dd" -v p="$best_pass" -v i="$best_inspect" -v e="$best_export" -v mib="$mib" 'BEGIN {
    slower = d > p ? d : p
    printf "best: dd %.3f s (%.0f MiB/s), libmseed pass %.3f s (%.0f MiB/s), inspect %.3f s (%.0f MiB/s), export %.3f s (%.0f MiB/s)\n",
           d, mib / d, p, mib / p, i, mib / i, e, mib / e
    printf "inspect / libmseed pass: %.2f (target <= 1.3)\n", i / p
    printf "export / slower of dd and pass: %.2f (target <= 1.3)\n", e / slower }'

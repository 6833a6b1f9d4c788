#!/usr/bin/env bash
# Quality benchmark: one card file of MIB mebibytes (default 512) of Steim-2 records
# (three channels, 512-byte records packed by libmseed), page-cached, then in one run,
# RUNS times each (default 3): `dd bs=1M` copying the file's bytes; libmseed's own pass
# over them (bench/mseedpass.c: msr_parse with decoding on every record); `vexa-card
# inspect` (reads and checks every record); `vexa-card export` (copies and checks).
# Prints every time (wall and processor), the best of each and the ratios against the targets:
#   inspect <= 1.3 x the libmseed pass; export <= 1.3 x the slower of dd and that pass.
#
# Usage: bench/quality-bench.sh [BUILD_DIR [MIB [RUNS]]]   (BUILD_DIR default: build)
# Needs about 3 x MIB of free space under ${TMPDIR:-/tmp}; removes everything it wrote.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-lib.sh"
bench_args quality-bench 512 3 "$@"
maker=$build/bench/vexa-mseed-image
pass=$build/bench/mseedpass
bench_need "$card" "$maker" "$pass"

bench_work vexa-quality-bench
mkdir "$work/export"

read -r offset length < <("$maker" "$image" "$mib")
path=$("$card" tree "$image" | head -n 1 | cut -f 1)
echo "image: $(( $(stat -c %s "$image") / 1048576 )) MiB, file $path: $length bytes of Steim-2 records from byte $offset"
bench_cache "$image"

run_dd() { rm -f "$work/dd.out"; sync; timed dd if="$image" of="$work/dd.out" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none; }
run_pass() { timed "$pass" "$image" "$offset" "$length"; }
run_inspect() { timed "$card" inspect "$image" "$path"; }
run_export() { rm -rf "$work/export"; mkdir "$work/export"; sync; timed "$card" export --quiet --output "$work/export" "$image" "$path"; }

best_dd="" best_pass="" best_inspect="" best_export=""
for run in $(seq 1 "$runs"); do
    d=$(run_dd); p=$(run_pass); i=$(run_inspect); e=$(run_export)
    echo "run $run (wall cpu, s): dd $d, libmseed pass $p, inspect $i, export $e"
    best_dd=$(best "$d" "$best_dd"); best_pass=$(best "$p" "$best_pass")
    best_inspect=$(best "$i" "$best_inspect"); best_export=$(best "$e" "$best_export")
done

# What was measured must be what was meant: every record checked, the copy whole.
"$pass" "$image" "$offset" "$length" | awk '{ if ($3 != 0) { print "quality-bench: libmseed failed on " $3 " records" > "/dev/stderr"; exit 1 } }'
"$card" inspect --json "$image" "$path" | grep -q '"decodeFailures": *0[,}]'
cmp "$work/export/$(basename "$path").mseed" "$work/dd.out"
awk -v d="$best_dd" -v p="$best_pass" -v i="$best_inspect" -v e="$best_export" -v mib="$mib" 'BEGIN {
    split(d, D, " "); split(p, P, " "); split(i, I, " "); split(e, E, " ")
    slower = D[1] > P[1] ? D[1] : P[1]
    printf "best wall: dd %.3f s (%.0f MiB/s), libmseed pass %.3f s (%.0f MiB/s), inspect %.3f s (%.0f MiB/s), export %.3f s (%.0f MiB/s)\n",
           D[1], mib / D[1], P[1], mib / P[1], I[1], mib / I[1], E[1], mib / E[1]
    printf "their processor time: dd %.3f s, libmseed pass %.3f s, inspect %.3f s, export %.3f s\n", D[2], P[2], I[2], E[2]
    printf "inspect / libmseed pass: %.2f (target <= 1.3)\n", I[1] / P[1]
    printf "export / slower of dd and pass: %.2f (target <= 1.3)\n", E[1] / slower }'

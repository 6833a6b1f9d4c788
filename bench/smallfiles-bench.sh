#!/usr/bin/env bash
# Small-files benchmark: a full card of small files (255 directories of 128 files of 8
# sectors, 32,640 files), page-cached, then in one run, RUNS times each (default 3):
# `vexa-card export --all` of the card, and `cp -r` of a folder holding the same 32,640
# files (same sizes) from memory. What is measured is the cost per file of an export
# (lookup, thread hand-offs, checks, hashing, the flush before the manifest), not the
# bytes. Prints every time, the best of each and the ratio (target <= 1.5).
#
# Usage: bench/smallfiles-bench.sh [BUILD_DIR [RUNS]]   (BUILD_DIR default: build)
# Writes under ${TMPDIR:-/tmp}; TMPDIR=/dev/shm keeps a busy disk out of the figures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-lib.sh"
bench_args smallfiles-bench 0 3 "${1:-build}" 0 "${2:-3}"
window=$build/bench/vexa-window-bench
bench_need "$card" "$window"
bench_work vexa-smallfiles-bench

"$window" smallcard "$image" >/dev/null
# The reference's source: the same files as the export writes them, read from memory.
mkdir "$work/source"
"$card" export --quiet --all --output "$work/source" "$image"
rm -f "$work/source/manifest-sha256.txt" "$work/source/quality.json" "$work/source/quality.txt"
files=$(find "$work/source" -type f | wc -l)
bench_cache "$image"
find "$work/source" -type f -exec cat {} + >/dev/null

run_export() { rm -rf "$work/out"; mkdir "$work/out"; sync; timed "$card" export --quiet --all --output "$work/out" "$image"; }
run_cp() { rm -rf "$work/copy"; sync; timed cp -r "$work/source" "$work/copy"; }

best_export="" best_cp=""
for run in $(seq 1 "$runs"); do
    e=$(run_export); c=$(run_cp)
    echo "run $run (wall cpu, s): vexa-card export --all $e, cp -r $c"
    best_export=$(best "$e" "$best_export"); best_cp=$(best "$c" "$best_cp")
done
# The copies must be the files cp copied.
diff -r -x 'manifest-sha256.txt' -x 'quality.*' "$work/out" "$work/copy" >/dev/null
awk -v e="$best_export" -v c="$best_cp" -v n="$files" 'BEGIN {
    split(e, E, " "); split(c, C, " ")
    printf "%d files, best wall: vexa-card export --all %.3f s, cp -r %.3f s; ratio %.2f (target <= 1.5)\n",
           n, E[1], C[1], E[1] / C[1] }'

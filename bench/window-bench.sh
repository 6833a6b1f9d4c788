#!/usr/bin/env bash
# Window benchmark: a full card opened and selected in the window, and one file of MIB
# mebibytes (default 256), page-cached, downloaded through the window (button to
# hidden bar) beside `vexa-card export` of the same file, RUNS times each (default 3),
# each with its peak memory; then a full card of small files (255 directories of 128
# files of 8 sectors, page-cached), all of it downloaded through the window beside
# `vexa-card export --all`, RUNS times each. Targets: open and fill < 0.1 s, select
# all < 1 s, the large file at most 1.5 times the export and under 200 MB, the full
# card of small files at most 1.2 times the export. Last, the quick look at one file of
# 512 MiB of three channels in Steim-2: the window's peak memory from selection to
# painted traces, target at most 150 MB.
#
# Usage: bench/window-bench.sh [BUILD_DIR [MIB [RUNS]]]   (BUILD_DIR default: build)
# Needs about 3 x MIB + 450 MB of free space under ${TMPDIR:-/tmp}; removes everything
# it wrote.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-lib.sh"
bench_args window-bench 256 3 "$@"
maker=$build/bench/vexa-bench-image
window=$build/bench/vexa-window-bench
mseedmaker=$build/bench/vexa-mseed-image
bench_need "$card" "$maker" "$window" "$mseedmaker"
[ -x /usr/bin/time ] || { echo "window-bench: /usr/bin/time is needed for the peak memory" >&2; exit 1; }

export QT_QPA_PLATFORM=offscreen
"$window" tree

bench_work vexa-window-bench
mkdir "$work/cli" "$work/window"
"$maker" "$image" "$mib" >/dev/null
path=$("$card" tree "$image" | head -n 1 | cut -f 1)
name=$(basename "$path").mseed
bench_cache "$image"

# vexa-card export: "SECONDS PEAK_KIB"; the window: the download's own time (button to
# hidden bar) and the whole run's peak.
run_cli() {
    rm -f "$work/cli/$name"; sync
    local t0 t1
    t0=$(now)
    /usr/bin/time -f "%M" -o "$work/cli.kib" "$card" export --quiet --output "$work/cli" "$image" "$path"
    t1=$(now)
    echo "$(elapsed "$t0" "$t1") $(cat "$work/cli.kib")"
}
run_window() {
    rm -f "$work/window/$name"; sync
    /usr/bin/time -f "%M" -o "$work/window.kib" "$window" download "$image" "$work/window" >"$work/window.out" 2>/dev/null
    echo "$(awk '/^window download/ { print $3 }' "$work/window.out") $(cat "$work/window.kib")"
}

best_cli=""; best_win=""; peak_cli=0; peak_win=0
for run in $(seq 1 "$runs"); do
    # Alternate which copy goes first, so that neither always inherits the other's
    # dirty pages.
    if [ $((run % 2)) -eq 1 ]; then
        read -r c ck < <(run_cli); read -r w wk < <(run_window)
    else
        read -r w wk < <(run_window); read -r c ck < <(run_cli)
    fi
    cmp "$work/cli/$name" "$work/window/$name"
    echo "run $run: vexa-card export $c s (peak $((ck / 1024)) MiB), window download $w s (peak $((wk / 1024)) MiB)"
    best_cli=$(best "$c" "$best_cli")
    best_win=$(best "$w" "$best_win")
    peak_cli=$(( ck > peak_cli ? ck : peak_cli )); peak_win=$(( wk > peak_win ? wk : peak_win ))
done
awk -v w="$best_win" -v c="$best_cli" -v wk="$peak_win" -v ck="$peak_cli" -v mib="$mib" 'BEGIN {
    printf "%d MiB file, best of each: vexa-card export %.3f s, window %.3f s, ratio %.2f (target <= 1.5); " \
           "peak memory: export %.0f MB, window %.0f MB (target < 200)\n", mib, c, w, w / c, ck * 1024 / 1e6, wk * 1024 / 1e6 }'

# The full card of small files: the queue's cost per file, not the copy, is measured.
small=$work/small.img
rm -f "$image" "$work/cli/$name" "$work/window/$name"
"$window" smallcard "$small"
bench_cache "$small"
run_cli_all() {
    rm -rf "$work/cli"; mkdir "$work/cli"; sync
    local t0 t1
    t0=$(now)
    "$card" export --quiet --all --output "$work/cli" "$small"
    t1=$(now)
    elapsed "$t0" "$t1"
}
run_window_all() {
    rm -rf "$work/window"; mkdir "$work/window"; sync
    "$window" batch "$small" "$work/window" >"$work/window.out"
    awk '/^window batch/ { print $3 }' "$work/window.out"
}
best_cli=""; best_win=""
for run in $(seq 1 "$runs"); do
    if [ $((run % 2)) -eq 1 ]; then
        c=$(run_cli_all); w=$(run_window_all)
    else
        w=$(run_window_all); c=$(run_cli_all)
    fi
    # The copies must be equal; the export's quality report has no counterpart here.
    diff -r -x 'quality.*' "$work/cli" "$work/window" >/dev/null
    echo "run $run: vexa-card export --all $c s, window download of every file $w s"
    best_cli=$(best "$c" "$best_cli")
    best_win=$(best "$w" "$best_win")
done
files=$(find "$work/window" -type f | wc -l)
awk -v w="$best_win" -v c="$best_cli" -v n="$files" 'BEGIN {
    printf "full card of small files (%d files), best of each: vexa-card export --all %.3f s, window %.3f s, " \
           "ratio %.2f (target <= 1.2)\n", n, c, w, w / c }'

# The card's views, on a full card of libmseed records (255 directories of 128 files, the
# first an hour of three channels at 100 Hz): open and fill (target < 0.1 s), every
# file's quick-scan columns (target < 2 s), the quick look at the hour-long file from
# selection to painted (target < 0.2 s), and the window's peak memory after downloading
# the whole card (target < 300 MB), measured from outside like the download's above.
views=$work/views.img
"$window" views-card "$views"
cat "$views" >/dev/null
"$window" views "$views"
mkdir "$work/views"
/usr/bin/time -f "%M" -o "$work/views.kib" "$window" views-download "$views" "$work/views"
echo "views: peak memory of the window after downloading the full card $(( $(cat "$work/views.kib") * 1024 / 1000000 )) MB (target < 300)"

# The quick look at a large file: the window streams it, so its memory stays that of the
# pyramids, not of the file.
rm -rf "$views" "$work/views"
look=$work/look.img
"$mseedmaker" "$look" 512 >/dev/null
bench_cache "$look"
/usr/bin/time -f "%M" -o "$work/look.kib" "$window" quicklook "$look" >"$work/look.out"
cat "$work/look.out"
echo "quick look of a 512 MiB file: peak memory of the window $(( $(cat "$work/look.kib") * 1024 / 1000000 )) MB (target <= 150)"

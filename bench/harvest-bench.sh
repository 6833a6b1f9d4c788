#!/usr/bin/env bash
# Harvest benchmark, over cards of one file of Steim-2 records (bench/mseedimage.cpp):
#  1. a page-cached card of MIB mebibytes (default 512): `vexa-card harvest` against
#     `vexa-card export --sds --all` of it, best of RUNS (default 3); target <= 1.2 x;
#  2. the same card again: nothing new; target < 1 s;
#  3. the ledger's share of the harvest (the receipt's ledger_milliseconds); target < 5 %;
#  4. four cards of four recorders, each behind its own slow reader (bench/throttlefs at
#     60 MB/s, cards of MIB/4 mebibytes), harvested together against the slowest of them
#     alone; target <= 1.15 x. Skipped, saying why, without FUSE (/dev/fuse, fusermount3,
#     a built throttlefs).
#
# Usage: bench/harvest-bench.sh [BUILD_DIR [MIB [RUNS]]]   (BUILD_DIR default: build)
# Needs about 6 x MIB of free space under ${TMPDIR:-/tmp}; removes everything it wrote.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-lib.sh"
bench_args harvest-bench 512 3 "$@"
maker=$build/bench/vexa-mseed-image
throttle=$build/bench/throttlefs
bench_need "$card" "$maker"

bench_work vexa-harvest-bench
mounts=()
cleanup() {
    local m
    for m in "${mounts[@]}"; do fusermount3 -u "$m" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " "); printf "%.2f", x[1] / y[1] }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t ? "ok" : "OVER") }'; }

# 1. One page-cached card: the harvest against the SDS export of the same card.
"$maker" "$image" "$mib" >/dev/null
echo "card: $(( $(stat -c %s "$image") / 1048576 )) MiB image, one file of $mib MiB of Steim-2 records"
bench_cache "$image"
run_sds() { rm -rf "$work/sds"; sync; timed "$card" export --quiet --sds "$work/sds" --all "$image"; }
run_harvest() { rm -rf "$work/arc"; sync; timed "$card" harvest --archive "$work/arc" "$image"; }
best_sds="" best_harvest=""
for run in $(seq 1 "$runs"); do
    s=$(run_sds); h=$(run_harvest)
    echo "run $run (wall cpu, s): export --sds $s, harvest $h"
    best_sds=$(best "$s" "$best_sds"); best_harvest=$(best "$h" "$best_harvest")
done
r=$(ratio "$best_harvest" "$best_sds")
echo "harvest / export --sds: $r (target <= 1.2: $(verdict "$r" 1.2))"

# 2. The same card again, and 3. the ledger's share of a harvest.
again=$(timed "$card" harvest --archive "$work/arc" "$image")
echo "same card again (wall cpu, s): $again (target < 1 s: $(verdict "${again%% *}" 0.999))"
rm -rf "$work/arc"; sync
json=$("$card" harvest --json --archive "$work/arc" "$image")
share=$(awk '/"ledger_milliseconds"/ { gsub(/[^0-9.]/, "", $2); l = $2 } /"milliseconds"/ && !/ledger/ { gsub(/[^0-9.]/, "", $2); t = $2 }
             END { printf "%.2f", (t > 0 ? 100 * l / t : 0) }' <<<"$json")
echo "ledger's share of the harvest: $share % (target < 5 %: $(verdict "$share" 4.999))"
rm -rf "$work/arc" "$work/sds" "$image"

# 4. Four slow readers at once against the slowest alone.
why=""
[ -e /dev/fuse ] || why="/dev/fuse is missing"
[ -z "$why" ] && ! command -v fusermount3 >/dev/null && why="fusermount3 is missing (Debian's fuse3)"
[ -z "$why" ] && [ ! -x "$throttle" ] && why="$throttle was not built (Debian's libfuse3-dev)"
if [ -n "$why" ]; then
    echo "four slow readers: SKIPPED: $why"
    exit 0
fi
small=$(( mib / 4 > 0 ? mib / 4 : 1 ))
stations=(VEXA VEXB VEXC VEXD)
for n in 1 2 3 4; do
    "$maker" "$work/card$n.img" "$small" "${stations[n - 1]}" >/dev/null
    mkdir "$work/m$n"
    if ! "$throttle" "$work/card$n.img" 60 "$work/m$n"; then
        echo "four slow readers: SKIPPED: cannot mount $work/m$n (FUSE refused)"
        exit 0
    fi
    mounts+=("$work/m$n")
done
echo "four cards of $small MiB, each behind a reader of 60 MB/s"
slowest=""
for n in 1 2 3 4; do
    bench_cache "$work/card$n.img"
    rm -rf "$work/alone"; sync
    a=$(timed "$card" harvest --archive "$work/alone" "$work/m$n/card")
    echo "card $n alone (wall cpu, s): $a"
    slowest=$(awk -v x="$a" -v y="${slowest:-0 0}" 'BEGIN { split(x, a, " "); split(y, b, " "); print (a[1] > b[1] ? x : y) }')
done
rm -rf "$work/alone"; sync
together=$(timed "$card" harvest --archive "$work/four" "$work/m1/card" "$work/m2/card" "$work/m3/card" "$work/m4/card")
echo "four together (wall cpu, s): $together"
r=$(ratio "$together" "$slowest")
echo "four together / slowest alone: $r (target <= 1.15: $(verdict "$r" 1.15))"

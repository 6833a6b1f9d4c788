#!/usr/bin/env bash
# Export benchmark: one file of MIB mebibytes (default 512), page-cached, copied by
# `vexa-card export` and by `dd bs=1M` over the same byte range, and hashed by
# `openssl dgst -sha256`, RUNS times each (default 5). Every export hashes what it writes
# for its manifest, in the same pass, so its floor is the slower of the copy and the
# hash. Prints every time, the best of each and the ratios (target: at most 1.2 against
# the slower of dd and openssl).
#
# Usage: bench/export-bench.sh [BUILD_DIR [MIB [RUNS]]]   (BUILD_DIR default: build)
# Needs about 3 x MIB of free space under ${TMPDIR:-/tmp}; removes everything it wrote.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-lib.sh"
bench_args export-bench 512 5 "$@"
maker=$build/bench/vexa-bench-image
bench_need "$card" "$maker"

bench_work vexa-bench
mkdir "$work/export"

read -r offset length < <("$maker" "$image" "$mib")
path=$("$card" tree "$image" | head -n 1 | cut -f 1)
file=$work/export/$(basename "$path").mseed
echo "image: $(( $(stat -c %s "$image") / 1048576 )) MiB, file $path: $length bytes from byte $offset"

bench_cache "$image"

best_export=""
best_dd=""
time_export() {
    rm -f "$file"
    sync
    local t0 t1
    t0=$(now)
    "$card" export --quiet --output "$work/export" "$image" "$path"
    t1=$(now)
    elapsed "$t0" "$t1"
}
time_dd() {
    rm -f "$work/dd.out"
    sync
    local t0 t1
    t0=$(now)
    dd if="$image" of="$work/dd.out" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
    t1=$(now)
    elapsed "$t0" "$t1"
}

best_hash=""
time_hash() {
    local t0 t1
    t0=$(now)
    openssl dgst -sha256 "$work/dd.out" >/dev/null
    t1=$(now)
    elapsed "$t0" "$t1"
}

for run in $(seq 1 "$runs"); do
    # Alternate which copy goes first, so that neither always inherits the other's
    # dirty pages.
    if [ $((run % 2)) -eq 1 ]; then
        e=$(time_export)
        d=$(time_dd)
    else
        d=$(time_dd)
        e=$(time_export)
    fi
    h=$(time_hash)
    echo "run $run: export ${e} s, dd ${d} s, openssl ${h} s"
    best_hash=$(best "$h" "$best_hash")
    best_export=$(best "$e" "$best_export")
    best_dd=$(best "$d" "$best_dd")
done

# The two copies must agree, or the times compare nothing.
cmp "$file" "$work/dd.out"
awk -v e="$best_export" -v d="$best_dd" -v h="$best_hash" -v mib="$mib" 'BEGIN {
    floor = d > h ? d : h
    printf "best of each: export %.3f s (%.0f MiB/s), dd %.3f s (%.0f MiB/s), openssl %.3f s (%.0f MiB/s)\n",
           e, mib / e, d, mib / d, h, mib / h
    printf "export / dd %.2f; export / slower of dd and openssl %.2f (target <= 1.2)\n", e / d, e / floor }'

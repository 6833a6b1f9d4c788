#!/usr/bin/env bash
# Archive benchmark: the card of bench/quality-bench.sh, one file of MIB mebibytes
# (default 512) of Steim-2 records (three channels, continuous over many UTC days),
# page-cached, then in one run, RUNS times each (default 3), over the same bytes: `dd bs=1M`; libmseed's own pass (parse
# and decode every record); `openssl dgst -sha256`; `vexa-card export` of the files
# (copies, manifest, quality report); `vexa-card export --sds` (records into day files,
# manifest, quality report). Prints every time (wall and processor), the best of each
# and the ratios against the targets: plain export <= 1.3 x the slowest of dd, the
# libmseed pass and openssl; SDS export <= 2 x that same slowest.
#
# Usage: bench/archive-bench.sh [BUILD_DIR [MIB [RUNS]]]   (BUILD_DIR default: build)
# Needs about 4 x MIB of free space under ${TMPDIR:-/tmp}; removes everything it wrote.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bench-lib.sh"
bench_args archive-bench 512 3 "$@"
maker=$build/bench/vexa-mseed-image
pass=$build/bench/mseedpass
bench_need "$card" "$maker" "$pass"
command -v openssl >/dev/null || { echo "archive-bench: openssl missing" >&2; exit 1; }

bench_work vexa-archive-bench

read -r offset length < <("$maker" "$image" "$mib")
mapfile -t paths < <("$card" tree "$image" | cut -f 1 | grep -v '^/log$')
# The recordings' bytes on their own, for openssl, which reads whole files.
dd if="$image" of="$work/records.bin" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
echo "image: $(( $(stat -c %s "$image") / 1048576 )) MiB, ${#paths[@]} files: $length bytes of Steim-2 records from byte $offset"
bench_cache "$image" "$work/records.bin"

run_dd() { rm -f "$work/dd.out"; sync; timed dd if="$image" of="$work/dd.out" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none; }
run_pass() { timed "$pass" "$image" "$offset" "$length"; }
run_openssl() { timed openssl dgst -sha256 "$work/records.bin"; }
run_export() { rm -rf "$work/export"; mkdir "$work/export"; sync; timed "$card" export --quiet --output "$work/export" "$image" "${paths[@]}"; }
run_sds() { rm -rf "$work/sds"; sync; timed "$card" export --quiet --sds "$work/sds" "$image" "${paths[@]}"; }

best_dd="" best_pass="" best_openssl="" best_export="" best_sds=""
for run in $(seq 1 "$runs"); do
    d=$(run_dd); p=$(run_pass); o=$(run_openssl); e=$(run_export); s=$(run_sds)
    echo "run $run (wall cpu, s): dd $d, libmseed pass $p, openssl $o, export $e, export --sds $s"
    best_dd=$(best "$d" "$best_dd"); best_pass=$(best "$p" "$best_pass"); best_openssl=$(best "$o" "$best_openssl")
    best_export=$(best "$e" "$best_export"); best_sds=$(best "$s" "$best_sds")
done

# What was measured must be what was meant: the copies whole, every record filed once,
# both manifests right.
for path in "${paths[@]}"; do cat "$work/export/$(basename "$path").mseed"; done | cmp - "$work/dd.out"
(cd "$work/export" && sha256sum --check --quiet manifest-sha256.txt)
(cd "$work/sds" && sha256sum --check --quiet manifest-sha256.txt)
records=$("$pass" "$image" "$offset" "$length" | awk '{ print $1 }')
filed=$(find "$work/sds" -name '*.D.*' -type f -printf '%s\n' | awk '{ n += $1 / 512 } END { print n }')
[ "$records" -eq "$filed" ] || { echo "archive-bench: $records records on the card, $filed in the archive" >&2; exit 1; }
echo "archive: $filed records in $(find "$work/sds" -name '*.D.*' -type f | wc -l) day files"
awk -v d="$best_dd" -v p="$best_pass" -v o="$best_openssl" -v e="$best_export" -v s="$best_sds" -v mib="$mib" 'BEGIN {
    split(d, D, " "); split(p, P, " "); split(o, O, " "); split(e, E, " "); split(s, S, " ")
    slowest = D[1] > P[1] ? D[1] : P[1]; slowest = O[1] > slowest ? O[1] : slowest
    printf "best wall: dd %.3f s, libmseed pass %.3f s, openssl %.3f s, export %.3f s, export --sds %.3f s\n",
           D[1], P[1], O[1], E[1], S[1]
    printf "their processor time: dd %.3f s, libmseed pass %.3f s, openssl %.3f s, export %.3f s, export --sds %.3f s\n",
           D[2], P[2], O[2], E[2], S[2]
    printf "export / slowest reference: %.2f (target <= 1.3)\n", E[1] / slowest
    printf "export --sds / slowest reference: %.2f (target <= 2)\n", S[1] / slowest }'

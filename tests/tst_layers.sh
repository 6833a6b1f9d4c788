#!/usr/bin/env bash
# The layer check passes on the tree as it is, names each include planted in a copy of
# src/ that reaches up or sideways, and lets one that reaches down through.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
check="$root/scripts/check-layers"
"$check" "$root/src" || { echo "FAIL: the tree itself breaks its layers"; exit 1; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cp -r "$root/src" "$tmp/src"
# file of src/ : header planted in it : 1 when the check must fail
for row in volume/gpstime.cpp:archiveexport.h:1 volume/cardformat.h:recordcheck.h:1 \
           seismic/recordcheck.cpp:sha256.h:1 archive/manifest.cpp:commands.h:1 \
           cli/cliutil.cpp:mainwindow.h:1 ui/timelinewidget.cpp:logging.h:1 \
           archive/manifest.cpp:gpstime.h:0 ui/timelinewidget.cpp:quicklook.h:0; do
    IFS=: read -r file header fails <<<"$row"
    cp "$root/src/$file" "$tmp/src/$file"
    echo "#include \"$header\"" >>"$tmp/src/$file"
    if out="$("$check" "$tmp/src" 2>&1)"; then result=0; else result=1; fi
    if [[ "$result" != "$fails" ]]; then
        echo "FAIL: $header in $file: check exited $result, expected $fails: $out"
        exit 1
    fi
    if [[ "$fails" == 1 ]] && ! grep -q "$file:[0-9]* includes $header" <<<"$out"; then
        echo "FAIL: $header in $file not named: $out"
        exit 1
    fi
    cp "$root/src/$file" "$tmp/src/$file"
done
echo "PASS"

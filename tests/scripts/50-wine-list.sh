#!/usr/bin/env bash
# The Windows twin of `vemosfx list` (build/win32/listtwin.exe, the core as
# the product builds it, under 32-bit Wine) must print exactly what the host tool prints, and end
# with the same status, for each fixture and for a cut-short archive.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
twin=${VEMO_LISTTWIN:-$root/build/win32/listtwin.exe}
host=${VEMO_HOST_TOOL:-$root/build/host/vemosfx}

for f in "$twin" "$host"; do
  [ -f "$f" ] || { echo "wine-list: $f is missing (scripts/build makes it)"; exit 1; }
done

source tests/lib/wine.sh
wine_test_begin wine-list vemolist

head -c 300 tests/fixtures/headers/level1.lzh > "$scratch/cut.lzh"
files=(tests/fixtures/sample.lzh tests/fixtures/headers/level0.lzh tests/fixtures/headers/level1.lzh
       tests/fixtures/headers/level2.lzh tests/fixtures/headers/package.bin "$scratch/cut.lzh")

status=0
for f in "${files[@]}"; do
  case $f in /*) abs=$f ;; *) abs=$root/$f ;; esac
  name=$(basename "$f")
  # Both in the same time zone as the Wine prefix (wine_up sets TZ=JST-9).
  TZ=JST-9 "$host" list "$abs" > "$scratch/$name.host" 2>/dev/null
  host_status=$?
  wine_run 60 "$twin" "Z:$(printf '%s' "$abs" | tr / '\\')" > "$scratch/$name.raw" 2>"$scratch/$name.err"
  twin_status=$?
  tr -d '\r' < "$scratch/$name.raw" > "$scratch/$name.twin"
  if [ $host_status -ne $twin_status ]; then
    echo "wine-list: $name: host ended with $host_status, twin with $twin_status"
    cat "$scratch/$name.err"
    status=1
  elif ! diff -u "$scratch/$name.host" "$scratch/$name.twin"; then
    echo "wine-list: $name: the twin's listing differs from the host's"
    status=1
  else
    echo "wine-list: $name: same listing ($(wc -l < "$scratch/$name.host") lines, status $host_status)"
  fi
done
# The comparison means something only if the listings show members.
grep -q '表/ソフト.txt' "$scratch/sample.lzh.host" || { echo "wine-list: sample.lzh lists no Japanese name"; status=1; }
exit $status

#!/usr/bin/env bash
# The product under 32-bit Wine with a package past 4 GiB: two stored members
# of 2.2 GB between two small ones, the package a sparse file. Every member
# must be extracted whole (the archive's positions need 64 bits), and the
# progress bar, read every few milliseconds, must move from the start to the
# end without ever going back (its byte counts pass 4 GiB).
# The extracted files take 4.4 GB of real disk space: without that much free
# (and a margin) the test says so and is skipped.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
win32=${VEMO_WIN32_BUILD:-$root/build/win32}
stub=$win32/vemosfx.exe
for f in "$stub" "$win32/driver.exe"; do
  [ -f "$f" ] || { echo "wine-large: $f is not built"; exit 77; }
done
source tests/lib/wine.sh
why=$(wine_missing)
[ -z "$why" ] || { echo "wine-large: skipped: $why"; exit 77; }

big=2200000000
need=$((2 * big + 1024 * 1024 * 1024))
# Free space where the prefix will be (wine_up makes it under /tmp).
avail=$(df --output=avail -B1 /tmp | tail -n 1 | tr -d ' ')
if [ "$avail" -lt "$need" ]; then
  echo "wine-large: cannot run: $((avail >> 20)) MiB free in /tmp, $((need >> 20)) MiB needed for the extracted files"
  exit 77
fi

wine_test_begin wine-large vemolarge
mkdir -p "$c/out"
cp "$win32/driver.exe" "$c/"
printf 'first member\r\n' > "$c/a.txt"
printf 'last member, past 4 GiB\r\n' > "$c/z.txt"
python3 tests/wine/driver-pkg.py "$c/large.exe" "$stub" --member a.txt "$c/a.txt" 1500000000 \
  --zeros big1.bin $big 1500000000 --zeros "大きい/big2.bin" $big 1500000000 \
  --member z.txt "$c/z.txt" 1400000000 || exit 1
allocated=$(( $(stat -c '%b * %B' "$c/large.exe") ))
if [ $((avail - allocated)) -lt "$need" ]; then
  echo "wine-large: cannot run: /tmp keeps no holes in files, and $((avail >> 20)) MiB do not hold the package and its files"
  exit 77
fi
echo "wine-large: package of $(stat -c %s "$c/large.exe") bytes ($((allocated >> 10)) KiB on disk)"

failures=0
t0=$SECONDS
wine_run 900 "$c/driver.exe" watch 'C:\vemolarge\large.exe' 'C:\vemolarge\out' >"$c/driver.out" 2>&1 </dev/null
rc=$?
tr -d '\r' <"$c/driver.out" | sed 's/^/   /'
echo "wine-large: the run took $((SECONDS - t0)) s"
[ $rc -eq 0 ] || failures=$((failures + 1))
for f in a.txt z.txt; do
  cmp -s "$c/$f" "$c/out/$f" || { echo "FAIL: $f is not extracted whole"; failures=$((failures + 1)); }
done
for f in big1.bin 大きい/big2.bin; do
  size=$(stat -c %s "$c/out/$f" 2>/dev/null || echo missing)
  [ "$size" = $big ] || { echo "FAIL: $f has $size bytes, not $big"; failures=$((failures + 1)); }
done
[ $failures -eq 0 ]

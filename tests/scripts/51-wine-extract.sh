#!/usr/bin/env bash
# The extraction run of the Windows build under 32-bit Wine against the host
# build's: the same fixtures extracted by build/win32/extracttwin.exe (the
# core's ExtractionWorker on a _beginthread thread, outcome by window
# message) and by build/host/vemosfx extract must give the same files, with
# the same contents and modification times. mixed.lzh has a folder whose
# Shift_JIS name has 0x5C as a second byte, a Japanese file name, methods
# -lh0-, -lh5-, -lh6-, -lh7- and header levels 0, 1 and 2. Also: a read-only
# file where a member goes makes the run fail and stays as it was.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
host=${VEMO_HOST_BUILD:-$root/build/host}
win32=${VEMO_WIN32_BUILD:-$root/build/win32}
twin=$win32/extracttwin.exe
[ -x "$host/vemosfx" ] || { echo "wine-extract: $host/vemosfx is not built"; exit 77; }
[ -f "$twin" ] || { echo "wine-extract: $twin is not built"; exit 77; }

source tests/lib/wine.sh
wine_test_begin wine-extract extracttest
cp "$twin" "$c/twin.exe"

# Relative path, size and modification time (whole seconds) of every file;
# directories by name.
listing() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf 'dir  %P\n' \) -o \( -type f -printf 'file %P %s %TY-%Tm-%Td %TH:%TM:%.2TS\n' \) | LC_ALL=C sort)
}

status=0
# The crafted archives: an OS-9 level-2 header, Amiga folders, a Unix link
# (skipped on both sides) and Unix times.
for path in run/mixed run/three run/level0 run/sizes run/nested run/dir \
    crafted/os9-level2 crafted/amiga-dirs crafted/unix-links; do
  fixture=${path#*/}
  cp "tests/fixtures/$path.lzh" "$c/$fixture.lzh"
  # Levels 0 and 1 store local time: both sides read it in the same zone.
  out=$(TZ=JST-9 wine_run 60 "$c/twin.exe" extract "C:\\extracttest\\$fixture.lzh" "C:\\extracttest\\$fixture" 2>&1 | tr -d '\r')
  rc=$?
  # The stub makes no links; the host tool would make a plain archive's.
  TZ=JST-9 "$host/vemosfx" extract --no-links -C "$scratch/$fixture" "tests/fixtures/$path.lzh" 2>/dev/null
  host_rc=$?
  if [ $rc -ne 0 ] || [ $host_rc -ne 0 ]; then
    echo "wine-extract: $fixture: twin exit $rc ($out), host exit $host_rc"
    status=1
    continue
  fi
  if ! diff -r "$scratch/$fixture" "$c/$fixture" >/dev/null; then
    echo "wine-extract: $fixture: the contents differ"
    diff -r "$scratch/$fixture" "$c/$fixture" | head -n 5
    status=1
  elif ! diff <(listing "$scratch/$fixture") <(listing "$c/$fixture"); then
    echo "wine-extract: $fixture: names, sizes or times differ (host <, Wine >)"
    status=1
  else
    echo "wine-extract: $fixture: $(listing "$c/$fixture" | wc -l) entries alike; $out"
  fi
done

# The Japanese names must be real names on disk, not escapes.
for name in "mixed/ソフト/表.txt" "mixed/日本語.txt"; do
  [ -f "$c/$name" ] || { echo "wine-extract: $name is missing"; status=1; }
done

# Device names and ":" are refused under Windows before anything is opened:
# nothing happens to the device or to another file's stream.
for name in COM1 nul.txt 'a:b'; do
  python3 - "$c/device.lzh" "$name" <<'PY'
import sys
name = sys.argv[2].encode()
body = b"-lh0-" + bytes(12) + bytes([0x20, 0, len(name)]) + name + bytes(2)
open(sys.argv[1], "wb").write(bytes([len(body), sum(body) & 0xFF]) + body + b"\0")
PY
  out=$(wine_run 60 "$c/twin.exe" extract "C:\\extracttest\\device.lzh" "C:\\extracttest\\device" 2>&1 | tr -d '\r')
  case $out in
    "outcome failed, kind 3, "*) echo "wine-extract: $name refused" ;;
    *) echo "wine-extract: $name: $out"; status=1 ;;
  esac
done

# Members whose compressed bytes run out (36 bytes declaring 4 GiB): the
# compact decoder fails them as damaged (kind 1) and leaves no file.
for archive in tests/fixtures/damage/*.lzh; do
  name=$(basename "$archive" .lzh)
  cp "$archive" "$c/damage-$name.lzh"
  out=$(wine_run 60 "$c/twin.exe" extract "C:\\extracttest\\damage-$name.lzh" "C:\\extracttest\\damage-$name" 2>&1 | tr -d '\r')
  if [[ $out != *"kind 1,"* ]] || [ -n "$(ls -A "$c/damage-$name")" ]; then
    echo "wine-extract: damage-$name: $out"
    status=1
  fi
done

out=$(wine_run 60 "$c/twin.exe" readonly "C:\\extracttest\\nested.lzh" "C:\\extracttest\\ro" 2>&1 | tr -d '\r')
rc=$?
echo "wine-extract: $out"
[ $rc -eq 0 ] || status=1
exit $status

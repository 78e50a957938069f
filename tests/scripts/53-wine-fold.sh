#!/usr/bin/env bash
# The host's fold of names (FoldNameLikeWindows: what pack, add, delete,
# list, test and the run compare names by) against Windows itself: for every
# code page 932 code, build/win32/foldtwin.exe asks the system what it takes
# a one-character name for (MultiByteToWideChar, CharUpperBuffW,
# WideCharToMultiByte), and the unit test WindowsFold compares ours with
# every line. Under 32-bit Wine; where this kernel cannot run 32-bit
# programs, the same program built for x86_64 under 64-bit Wine, whose
# code page and case tables are the same files.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
win32=${VEMO_WIN32_BUILD:-$root/build/win32}
tests=${VEMO_HOST_BUILD:-$root/build/host}/unit_tests
[ -x "$tests" ] || { echo "wine-fold: $tests is not built"; exit 77; }
source tests/lib/wine.sh

if wine_installed; then
  [ -f "$win32/foldtwin.exe" ] || { echo "wine-fold: $win32/foldtwin.exe is not built"; exit 77; }
  wine_test_begin wine-fold vemofold
  wine_run 120 "$win32/foldtwin.exe" 'C:\vemofold\fold.txt' || { echo "wine-fold: foldtwin.exe failed"; exit 1; }
  table=$c/fold.txt
  echo "wine-fold: the table from foldtwin.exe under 32-bit Wine"
else
  wine64=/usr/lib/wine/wine64
  command -v x86_64-w64-mingw32-g++ >/dev/null && [ -x "$wine64" ] ||
    { echo "wine-fold: 32-bit Wine cannot run here, and 64-bit Wine or x86_64 mingw-w64 is missing"; exit 77; }
  scratch=$(mktemp -d /tmp/vemo-wine-fold.XXXXXX)
  trap 'WINEPREFIX=$scratch/pfx /usr/lib/wine/wineserver -k >/dev/null 2>&1; rm -rf "$scratch"' EXIT
  x86_64-w64-mingw32-g++ -O1 -static tests/wine/foldtwin.cpp -o "$scratch/foldtwin.exe" ||
    { echo "wine-fold: foldtwin.cpp does not build for x86_64"; exit 1; }
  mkdir -p "$scratch/home"
  export HOME=$scratch/home WINEPREFIX=$scratch/pfx WINEARCH=win64 WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  timeout 120 "$wine64" wineboot -i >/dev/null 2>&1
  table=$scratch/fold.txt
  (cd "$scratch" && timeout 120 "$wine64" foldtwin.exe fold.txt) || { echo "wine-fold: foldtwin.exe failed"; exit 1; }
  echo "wine-fold: 32-bit Wine cannot run here; the table from foldtwin.exe built for x86_64, under 64-bit Wine"
fi
VEMO_WINDOWS_FOLD=$table "$tests" --gtest_filter='WindowsFold.*' --gtest_brief=1 || exit 1
echo "wine-fold: $(wc -l <"$table") codes fold as Windows folds them"

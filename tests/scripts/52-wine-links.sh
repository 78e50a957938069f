#!/usr/bin/env bash
# The product (build/win32/vemosfx.exe) under 32-bit Wine, driven by
# build/win32/driver.exe, against a destination that someone else has
# prepared: a link standing at a member's name or on its path (Unix links
# to folders, which Wine shows to the program as reparse points), and
# members whose names Windows takes for one file (letter case, trailing dots
# and spaces, full-width letters). Each run must stop with "不正なパスです: NAME"
# and leave what lies outside the destination, and the file written first,
# as they were.
set -uo pipefail
started=$SECONDS
cd "$(dirname "$0")/../.."
root=$PWD
win32=${VEMO_WIN32_BUILD:-$root/build/win32}
stub=$win32/vemosfx.exe
for f in "$stub" "$win32/driver.exe"; do
  [ -f "$f" ] || { echo "wine-links: $f is not built"; exit 77; }
done
source tests/lib/wine.sh
wine_test_begin wine-links vemolinks
cp "$win32/driver.exe" "$c/"

status=0
fail() { echo "wine-links: FAIL: $*"; status=1; }
win() { echo "C:\\vemolinks\\$1" | tr / '\\'; }
# Runs the package NAME.exe in the folder NAME (made beforehand) and wants
# the failure message TEXT.
refused() {  # name text
  wine_run 60 "$c/driver.exe" failure "$(win "$1.exe")" "$(win "$1")" "Vemo SFX" "$2" >"$scratch/driver.out" 2>&1 </dev/null
  local rc=$?
  if [ $rc -ne 0 ]; then
    fail "$1: $(tr -d '\r' <"$scratch/driver.out" | grep -v '^ok:' | head -n 3)"
  else
    echo "wine-links: $1: refused"
  fi
}
pkg() { python3 tests/wine/driver-pkg.py "$c/$1.exe" "$stub" "${@:2}"; }
printf one >"$scratch/one"
printf two >"$scratch/two"
python3 tests/lib/lzh.py "$scratch/own.lzh" 'd/=' 'd/y.txt=one'
mkdir -p "$c/outside"

# Wine shows a Unix link to a folder as a reparse point (attributes 0x410),
# as Windows shows a symbolic link or junction; a link to a file it shows as
# the file itself (0x20), so that case cannot be made here.
# A folder link on the member's path: nothing is made behind it.
printf outside >"$c/outside/secret"
mkdir -p "$c/onpath"
ln -s ../outside "$c/onpath/d"
pkg onpath --member d/x.txt "$scratch/one" 1500000000
refused onpath "不正なパスです: d/x.txt"
# A folder link at a directory member's own name, and a file in it.
mkdir -p "$c/own"
ln -s ../outside "$c/own/d"
pkg own --lzh "$scratch/own.lzh"
refused own "不正なパスです: d/"
[ "$(ls "$c/outside")" = secret ] || fail "links: the folder outside now holds $(ls "$c/outside" | paste -sd' ')"

# Names Windows takes for one file: the second is refused, the first keeps
# its bytes ("ａ" and "Ａ" are full-width letters).
n=0
for pair in "readme.txt|README.TXT" "setup.bat|setup.bat." "run.cmd|run.cmd " "ａ.txt|Ａ.TXT" "Docs/a.txt|DOCS/A.txt"; do
  first=${pair%%|*} second=${pair#*|}
  n=$((n + 1))
  mkdir -p "$c/fold$n"
  pkg "fold$n" --member "$first" "$scratch/one" 1500000000 --member "$second" "$scratch/two" 1500000000
  refused "fold$n" "不正なパスです: $second"
  [ "$(cat "$c/fold$n/$first" 2>&1)" = one ] || fail "fold$n: '$first' holds '$(cat "$c/fold$n/$first" 2>&1)'"
done
# Folders may repeat in another case, and different names stay apart.
mkdir -p "$c/apart"
pkg apart --member a.txt "$scratch/one" 1500000000 --member a.txt.bak "$scratch/two" 1500000000 \
  --member "ｂ.txt" "$scratch/one" 1500000000 --member "Ｃ.txt" "$scratch/two" 1500000000
# Without a configuration block the package extracts into its current
# folder and ends; a failure would wait on its message box.
(cd "$c/apart" && wine_run 30 ../apart.exe >/dev/null 2>&1 </dev/null)
[ "$(cat "$c/apart/a.txt.bak" 2>&1)" = two ] && [ "$(cat "$c/apart/Ｃ.txt" 2>&1)" = two ] ||
  fail "apart: $(ls "$c/apart")"

echo "wine-links: $((SECONDS - started)) s"
exit $status

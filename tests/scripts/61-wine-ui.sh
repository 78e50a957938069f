#!/usr/bin/env bash
# The product as a whole under 32-bit Wine: build/win32/vemosfx.exe with
# payloads appended, driven by build/win32/driver.exe in a win32 prefix. Without a
# configuration block: popup at the cursor, label, files and times. With
# one: the destination dialog (texts, checkboxes, OK into existing, new and
# impossible folders, Cancel, a 300-character folder, the folder browser),
# shortcuts read back, the file opened afterwards (marker.exe stands in for
# the program of its file type), the abort button, closing the popup during
# the run, and the failure messages of a damaged package and a CRC mismatch.
#
# The output of a Wine program goes to a file, never to a pipe: programs
# that Wine starts on the side (explorer.exe /desktop, rpcss.exe) inherit its
# standard handles, and the wineserver keeps the write end of a pipe open
# for as long as they live, so that a reader of the pipe waits for them too.
set -uo pipefail
started=$SECONDS
cd "$(dirname "$0")/../.."
root=$PWD
win32=${VEMO_WIN32_BUILD:-$root/build/win32}
stub=$win32/vemosfx.exe
for f in "$stub" "$win32/driver.exe" "$win32/marker.exe"; do
  [ -f "$f" ] || { echo "wine-ui: $f is not built"; exit 77; }
done
command -v xdotool >/dev/null || { echo "wine-ui: xdotool is not installed"; exit 77; }

source tests/lib/wine.sh
wine_test_begin wine-ui vemotest
user=${USER:-$(id -un)}
user_dir=$WINEPREFIX/drive_c/users/$user
programs="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
send_to="$user_dir/AppData/Roaming/Microsoft/Windows/SendTo"
desktop=$HOME
cp "$win32/driver.exe" "$win32/marker.exe" "$c/"
driver="$c/driver.exe"
# Files of type .vemotest open with marker.exe.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\.vemotest]\r\n@="vemotestfile"\r\n\r\n[HKEY_CLASSES_ROOT\\vemotestfile\\shell\\open\\command]\r\n@="\\"C:\\\\vemotest\\\\marker.exe\\" \\"%%1\\""\r\n' \
  | iconv -f UTF-8 -t UTF-16 > "$scratch/assoc.reg"
wine_run 60 regedit /S 'Z:'"$(echo "$scratch/assoc.reg" | tr / '\\')" >/dev/null 2>&1 </dev/null

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); checks=$((checks + 1)); }
pass() { checks=$((checks + 1)); }
expect() {  # description, command...
  local what=$1; shift
  if "$@"; then pass; else fail "$what"; fi
}
# Runs the driver; its own checks count as well.
# The exit status the package must end with: 0 done, 1 failed, 2 cancelled
# or aborted (VEMO_EXPECT_EXIT for one call).
drive() {
  local out rc t0=$SECONDS
  wine_run 60 "$driver" "$@" >"$scratch/driver.out" 2>&1 </dev/null
  rc=$?
  out=$(tr -d '\r' <"$scratch/driver.out")
  echo "   driver $1: exit $rc, $((SECONDS - t0)) s$(sed -n 's/^note: first window after \(.*\)/, first window after \1/p' <<<"$out")"
  sed -n '/^note: first window/d; s/^note: /      /p' <<<"$out"
  local ok bad
  ok=$(grep -c '^ok:' <<<"$out")
  bad=$(grep -c '^FAIL:' <<<"$out")
  checks=$((checks + ok + bad))
  failures=$((failures + bad))
  grep '^FAIL:' <<<"$out"
  if [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ]; then fail "driver $1 exited with $rc: $(tail -n 3 <<<"$out")"; fi
}
win() { echo "C:\\vemotest\\$1" | tr / '\\'; }
mtime() { stat -c %Y "$1"; }
links_absent() {  # name
  [ ! -e "$programs/$1.lnk" ] && [ ! -e "$desktop/$1.lnk" ] && [ ! -e "$send_to/$1.lnk" ]
}
settle() { wine_run 60 "$driver" settle marker.exe >/dev/null 2>&1 </dev/null; }
nothing_opened() { settle; [ ! -e "$c/opened.txt" ]; }
reset_outputs() { rm -f "$c/opened.txt" "$programs"/*.lnk "$desktop"/*.lnk "$send_to"/*.lnk; }

# Members: a small one before and after a large one, Japanese names included.
printf 'first member\r\n' > "$scratch/a.txt"
printf 'last member\r\n' > "$scratch/z.txt"
printf 'read me\r\n' > "$scratch/readme.vemotest"
head -c 48000000 /dev/zero | tr '\0' 'v' > "$scratch/big.bin"
big_name="データ/大きい.bin"
members=(--member a.txt "$scratch/a.txt" 1500000000
         --member "$big_name" "$scratch/big.bin" 1600000000
         --member "表/z.txt" "$scratch/z.txt" 1400000000
         --member readme.vemotest "$scratch/readme.vemotest" 1300000000)
pkg() { python3 tests/wine/driver-pkg.py "$c/$1" "$stub" "${@:2}"; }
extracted_all() {  # folder
  cmp -s "$scratch/a.txt" "$1/a.txt" && cmp -s "$scratch/big.bin" "$1/データ/大きい.bin" &&
    cmp -s "$scratch/z.txt" "$1/表/z.txt" && [ "$(mtime "$1/a.txt")" = 1500000000 ] &&
    [ "$(mtime "$1/データ/大きい.bin")" = 1600000000 ] && [ "$(mtime "$1/表/z.txt")" = 1400000000 ]
}

echo "== no configuration block"
pkg plain.exe "${members[@]}"
mkdir -p "$c/plain"
timeout 10 xdotool mousemove 300 200
drive plain "$(win plain.exe)" "$(win plain)" 300 200 "$big_name"
expect "plain: every member extracted into the current directory with its time" extracted_all "$c/plain"
expect "plain: nothing opened, no shortcut" nothing_opened
# Near the screen's left and bottom edges the popup stays inside the work area.
pkg tiny.exe --member a.txt "$scratch/a.txt" 1500000000 --member "$big_name" "$scratch/big.bin" 1600000000
mkdir -p "$c/edge"
timeout 10 xdotool mousemove 20 700
drive plain "$(win tiny.exe)" "$(win edge)" 20 700 "$big_name"
expect "edge: extracted" cmp -s "$scratch/a.txt" "$c/edge/a.txt"
timeout 10 xdotool mousemove 300 200

echo "== destination dialog"
title="テスト展開"
mkdir -p "$c/run"
# Options: Start menu wanted and changeable, desktop wanted but fixed,
# SendTo changeable and not wanted.
pkg dialog.exe --config "$title" 0 "展開先" a.txt 3 2 1 readme.vemotest "${members[@]}"
reset_outputs
drive dialog "$(win dialog.exe)" "$(win run)" "$title" "$(win run/展開先)" 3,2,1 ok
expect "dialog ok: a new folder one level deep is made and filled" extracted_all "$c/run/展開先"
drive link "$(win "../users/$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/a.lnk")" \
  "$(win run/展開先/a.txt)" "$(win run/展開先)"
drive link "$(echo "Z:$desktop/a.lnk" | tr / '\\')" "$(win run/展開先/a.txt)" "$(win run/展開先)"
expect "dialog ok: no SendTo shortcut (not ticked)" test ! -e "$send_to/a.lnk"
settle
expect "dialog ok: the file opened afterwards" grep -qx 'C:\\vemotest\\run\\展開先\\\\\?readme.vemotest' \
  <(iconv -f CP932 -t UTF-8 "$c/opened.txt" 2>/dev/null | tr -d '\r')

# An existing folder typed with a final "\"; the changeable boxes flipped:
# Start menu off, SendTo on, desktop stays on. Target in a sub-folder.
mkdir -p "$c/exist"
pkg flip.exe --config "$title" 0 "展開先" '表\z.txt' 3 2 1 "" "${members[@]}"
reset_outputs
drive dialog "$(win flip.exe)" "$(win run)" "$title" "$(win run/展開先)" 3,2,1 toggle 'C:\vemotest\exist\'
expect "dialog toggle: extracted into the existing folder" extracted_all "$c/exist"
expect "dialog toggle: no Start menu shortcut (unticked)" test ! -e "$programs/z.lnk"
for lnk in "Z:$desktop/z.lnk" "Z:$send_to/z.lnk"; do
  drive link "$(echo "$lnk" | tr / '\\')" 'C:\vemotest\exist\表\z.txt' 'C:\vemotest\exist'
done
expect "dialog toggle: nothing opened (none configured)" nothing_opened

# A relative folder text becomes the full path for the shortcuts.
pkg rel.exe --config "$title" 0 "" a.txt 0 3 0 "" "${members[@]}"
reset_outputs
drive dialog "$(win rel.exe)" "$(win run)" "$title" "$(win run)" 0,3,0 ok rel
expect "dialog relative: extracted under the current directory" extracted_all "$c/run/rel"
drive link "$(echo "Z:$desktop/a.lnk" | tr / '\\')" "$(win run/rel/a.txt)" "$(win run/rel)"

# Two levels of which neither exists: both made. A folder under a file
# cannot be: the message, nothing extracted.
reset_outputs
drive dialog "$(win dialog.exe)" "$(win run)" "$title" "$(win run/展開先)" 3,2,1 ok 'C:\vemotest\no\such'
expect "dialog two levels: made and filled" extracted_all "$c/no/such"
printf x > "$c/file"
reset_outputs
VEMO_EXPECT_EXIT=1 drive dialog "$(win dialog.exe)" "$(win run)" "$title" "$(win run/展開先)" 3,2,1 ok-fail 'C:\vemotest\file\sub'
expect "dialog under a file: no shortcut" links_absent a
expect "dialog under a file: nothing opened" nothing_opened

# Cancel, also after a cancelled folder browser.
for action in cancel browse; do
  rm -rf "$c/run/展開先"
  reset_outputs
  VEMO_EXPECT_EXIT=2 drive dialog "$(win dialog.exe)" "$(win run)" "$title" "$(win run/展開先)" 3,2,1 $action
  expect "dialog $action: nothing extracted" test ! -e "$c/run/展開先"
  expect "dialog $action: no shortcut" links_absent a
  expect "dialog $action: nothing opened" nothing_opened
done

# 300 characters typed: the first 259 name a folder whose parent exists; the
# rest would need two more levels.
mkdir -p "$c/L"
first=$(printf 'C:\\vemotest\\L\\%0245d' 0 | tr 0 a)
long="$first\\b\\$(printf '%038d' 0 | tr 0 c)"
[ ${#first} -eq 259 ] && [ ${#long} -eq 300 ] || fail "long text lengths ${#first} ${#long}"
pkg long.exe --config "$title" 0 "" "" 0 0 0 "" --member a.txt "$scratch/a.txt" 1500000000
drive dialog "$(win long.exe)" "$(win run)" "$title" "$(win run)" 0,0,0 ok "$long"
expect "dialog 300 characters: 259 taken" cmp -s "$scratch/a.txt" "$c/L/$(printf '%0245d' 0 | tr 0 a)/a.txt"

echo "== abort and close"
mkdir -p "$c/ab"
pkg abort.exe --config "$title" 0 "" a.txt 3 3 3 readme.vemotest "${members[@]}"
reset_outputs
# The abort button: clicked in the middle of the large member.
VEMO_EXPECT_EXIT=2 drive abort "$(win abort.exe)" "$(win ab)" "$big_name"
expect "abort: the earlier member stays" cmp -s "$scratch/a.txt" "$c/ab/a.txt"
expect "abort: the interrupted member is removed" test ! -e "$c/ab/データ/大きい.bin"
expect "abort: later members are not made" test ! -e "$c/ab/表/z.txt"
expect "abort: no shortcut" links_absent a
expect "abort: nothing opened" nothing_opened
mkdir -p "$c/cl"
reset_outputs
# Closing the popup is an abort: the member's file goes too.
VEMO_EXPECT_EXIT=2 drive close "$(win abort.exe)" "$(win cl)" "$big_name"
expect "close: the earlier member stays" cmp -s "$scratch/a.txt" "$c/cl/a.txt"
expect "close: the interrupted member's file goes" test -z "$(ls "$c/cl/データ" 2>/dev/null)"
expect "close: no shortcut" links_absent a
expect "close: nothing opened" nothing_opened

echo "== failures"
mkdir -p "$c/crc" "$c/dmg"
pkg crc.exe --config "$title" 0 "" a.txt 3 3 3 readme.vemotest --bad-crc 1 \
  --member a.txt "$scratch/a.txt" 1500000000 --member "表/z.txt" "$scratch/z.txt" 1400000000 \
  --member readme.vemotest "$scratch/readme.vemotest" 1300000000
reset_outputs
VEMO_EXPECT_EXIT=1 drive failure "$(win crc.exe)" "$(win crc)" "$title" "ファイルが壊れています: 表/z.txt"
expect "crc: the member before stays" cmp -s "$scratch/a.txt" "$c/crc/a.txt"
expect "crc: the damaged member is removed" test ! -e "$c/crc/表/z.txt"
expect "crc: no shortcut" links_absent a
expect "crc: nothing opened" nothing_opened
pkg dmg.exe --truncate 1000 "${members[@]}"
VEMO_EXPECT_EXIT=1 drive failure "$(win dmg.exe)" "$(win dmg)" "Vemo SFX" "書庫が壊れています"
expect "damaged: nothing opened" nothing_opened

echo "wine-ui: $checks checks, $failures failed, $((SECONDS - started)) s"
[ $failures -eq 0 ]

#!/usr/bin/env bash
# The Windows front end for real where 32-bit programs cannot run: the
# stub's x86_64 twin (build/win64/vemosfx_twin.exe: the same front end and
# core, its payload at 65536) under 64-bit Wine, driven by the x86_64 build
# of the driver. Under four system code pages, each in its own win64 prefix
# (Japanese 932, US English 1252, Simplified Chinese 936, Korean 949; only
# the Japanese prefix has the dialog font): the dialog's and popup's texts
# read back through the UTF-16 calls and off the screen (drawn with their
# glyphs, not as missing-character boxes), the extracted names, a shortcut's name
# and paths, the exit status, and a screenshot of the dialog and the popup
# (build/screens-twin/). In the Japanese prefix also: closing the popup and
# Escape during a long member (an abort: the member's file goes), Cancel, a
# damaged member over an existing file (kept), a folder two levels deep
# (made), a folder that cannot be made, the popup near the screen's corner
# (kept inside the work area), the keyboard focus, and the popup at 144 and
# 192 DPI (the abort button and the label inside it).
set -uo pipefail
started=$SECONDS
cd "$(dirname "$0")/../.."
root=$PWD
win64=${VEMO_WIN64_BUILD:-$root/build/win64}
# VEMO_TWIN: another twin to run the same checks on (one built from older
# sources, to see them fail).
twin=${VEMO_TWIN:-$win64/vemosfx_twin.exe}
for f in "$twin" "$win64/driver.exe"; do
  [ -f "$f" ] || { echo "wine-twin: skipped: $f is not built"; exit 77; }
done
command -v xdotool >/dev/null || { echo "wine-twin: skipped: xdotool is not installed"; exit 77; }
source tests/lib/wine.sh
why=$(wine64_missing)
[ -z "$why" ] || { echo "wine-twin: skipped: $why"; exit 77; }
shots=${VEMO_TWIN_SHOTS:-$root/build/screens-twin}
mkdir -p "$shots"
scratch=$(mktemp -d /tmp/vemo-wine-twin.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

printf 'first member\r\n' > "$scratch/a.txt"
printf 'read me\r\n' > "$scratch/readme.txt"
printf 'last member\r\n' > "$scratch/z.txt"
head -c 48000000 /dev/zero | tr '\0' 'v' > "$scratch/big.bin"
big_name="データ/大きい.bin"
members=(--member a.txt "$scratch/a.txt" 1500000000
         --member "$big_name" "$scratch/big.bin" 1600000000
         --member "表/読んで.txt" "$scratch/readme.txt" 1400000000
         --member "表/z.txt" "$scratch/z.txt" 1300000000)
title="テスト展開"

# One locale's checks, in a subshell with its own prefix; the number of
# failed checks is its exit status.
run_locale() {  # locale
  local locale=$1 failures=0 checks=0
  wine64_up "$locale" || { echo "wine-twin: $locale: Wine did not start"; return 1; }
  trap 'wine64_down' EXIT
  local c=$WINEPREFIX/drive_c/vemotest desktop=$HOME
  mkdir -p "$c"
  cp "$win64/driver.exe" "$c/"
  fail() { echo "FAIL: $locale: $*"; failures=$((failures + 1)); checks=$((checks + 1)); }
  expect() { local what=$1; shift; if "$@"; then checks=$((checks + 1)); else fail "$what"; fi; }
  drive() {  # expected exit status, driver arguments...
    local want=$1 out rc; shift
    VEMO_EXPECT_EXIT=$want timeout 120 "$WINE" "$c/driver.exe" "$@" >"$scratch/$locale.out" 2>&1 </dev/null
    rc=$?
    out=$(tr -d '\r' <"$scratch/$locale.out")
    local ok bad
    ok=$(grep -c '^ok:' <<<"$out"); bad=$(grep -c '^FAIL:' <<<"$out")
    checks=$((checks + ok + bad)); failures=$((failures + bad))
    grep '^FAIL:' <<<"$out" | sed "s/^/   $locale: /"
    if [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ]; then fail "driver $1 exited with $rc: $(tail -n 3 <<<"$out")"; fi
  }
  pkg() { python3 tests/wine/driver-pkg.py "$c/$1" "$twin" --offset 65536 "${@:2}"; }
  win() { echo "C:\\vemotest\\$1" | tr / '\\'; }
  extracted() {  # folder
    cmp -s "$scratch/a.txt" "$1/a.txt" && cmp -s "$scratch/big.bin" "$1/データ/大きい.bin" &&
      cmp -s "$scratch/readme.txt" "$1/表/読んで.txt" && cmp -s "$scratch/z.txt" "$1/表/z.txt" &&
      [ "$(stat -c %Y "$1/表/読んで.txt")" = 1400000000 ]
  }
  # A window of the package by its title, shot alone: the dialog as it
  # comes up, the popup while the driver holds the run at the large member.
  shoot() {  # package, title, picture name, hold (popup)
    local id="" i=0 pid
    rm -f "$c/shot.done"
    if [ -n "${4:-}" ]; then
      rm -rf "$c/hold"; mkdir -p "$c/hold"
      timeout 120 "$WINE" "$c/driver.exe" hold "$(win "$1")" "$(win hold)" "$big_name" "$(win shot.done)" \
        >/dev/null 2>&1 </dev/null &
    else
      (cd "$c" && timeout 60 "$WINE" "$c/$1" >/dev/null 2>&1 </dev/null) &
    fi
    pid=$!
    while [ $i -lt 300 ] && [ -z "$id" ]; do
      id=$(xdotool search --onlyvisible --name "^$2\$" 2>/dev/null | tail -n 1)
      sleep 0.1; i=$((i + 1))
    done
    sleep 1
    if [ -z "$id" ] || ! timeout 20 import -window "$id" "$shots/$3.png"; then fail "no window \"$2\" to shoot"; fi
    touch "$c/shot.done"
    if [ -n "${4:-}" ]; then
      wait "$pid" 2>/dev/null
    else
      "$WINESERVER" -k >/dev/null 2>&1; wait "$pid" 2>/dev/null
      "$WINESERVER" -p >/dev/null 2>&1
    fi
  }

  echo "== $locale"
  timeout 10 xdotool mousemove 300 200
  # The dialog: its texts, then OK into a new folder; a desktop shortcut to
  # a file with a Japanese name.
  pkg dialog.exe --config "$title" 0 "展開先" "表/読んで.txt" 1 3 0 "" "${members[@]}"
  mkdir -p "$c/run"
  drive 0 dialog "$(win dialog.exe)" "$(win run)" "$title" "$(win run/展開先)" 1,3,0 ok
  expect "names as the package has them" extracted "$c/run/展開先"
  expect "a shortcut named after its target" test -f "$desktop/読んで.lnk"
  drive 0 link "$(echo "Z:$desktop/読んで.lnk" | tr / '\\')" "$(win run/展開先/表/読んで.txt)" "$(win run/展開先)"
  # The popup: title and the label with a Japanese name.
  pkg plain.exe "${members[@]}"
  mkdir -p "$c/plain"
  drive 0 plain "$(win plain.exe)" "$(win plain)" 300 200 "$big_name"
  expect "plain: every member in the current directory" extracted "$c/plain"
  # What the user sees.
  rm -rf "$c/展開先"
  shoot dialog.exe "$title" "$locale-destination-dialog"
  shoot plain.exe "Vemo SFX" "$locale-popup-during-run" hold

  if [ "$locale" = ja_JP ]; then
    pkg long.exe --config "$title" 0 "" "" 0 0 0 "" "${members[@]}"
    # Closing the popup and Escape during the large member: an abort.
    for how in close escape; do
      mkdir -p "$c/$how"
      drive 2 "$how" "$(win long.exe)" "$(win $how)" "$big_name"
      expect "$how: the earlier member stays" cmp -s "$scratch/a.txt" "$c/$how/a.txt"
      expect "$how: the interrupted member's file goes" test ! -e "$c/$how/データ/大きい.bin"
      expect "$how: no file of its own is left" test -z "$(ls "$c/$how/データ" 2>/dev/null)"
      expect "$how: later members are not made" test ! -e "$c/$how/表"
    done
    drive 2 dialog "$(win long.exe)" "$(win run)" "$title" "$(win run)" 0,0,0 cancel
    # A damaged member over an existing file: the old file stays.
    mkdir -p "$c/crc/表"
    printf 'older\r\n' > "$c/crc/表/z.txt"
    pkg crc.exe --bad-crc 3 "${members[@]}"
    drive 1 failure "$(win crc.exe)" "$(win crc)" "Vemo SFX" "ファイルが壊れています: 表/z.txt"
    expect "crc: the existing file stays as it was" grep -q older "$c/crc/表/z.txt"
    expect "crc: nothing else is left beside it" test "$(ls "$c/crc/表")" = "$(printf '%s\n' z.txt 読んで.txt)"
    # Every missing level of the chosen folder is made; a folder under a
    # file cannot be.
    drive 0 dialog "$(win long.exe)" "$(win run)" "$title" "$(win run)" 0,0,0 ok 'C:\vemotest\no\such'
    expect "two levels: made and filled" extracted "$c/no/such"
    printf 'x' > "$c/file"
    drive 1 dialog "$(win long.exe)" "$(win run)" "$title" "$(win run)" 0,0,0 ok-fail 'C:\vemotest\file\sub'
    # Near the bottom-right corner the popup stays on the screen.
    mkdir -p "$c/corner"
    timeout 10 xdotool mousemove 1010 760
    drive 0 plain "$(win plain.exe)" "$(win corner)" 1010 760 "$big_name"
    timeout 10 xdotool mousemove 300 200
    # High DPI: the popup grows with its font.
    for dpi in 120 144 192; do
      wine_set_dpi "$dpi"
      rm -rf "$c/dpi"; mkdir -p "$c/dpi"
      echo "   $dpi DPI"
      drive 0 plain "$(win plain.exe)" "$(win dpi)" 300 200 "$big_name"
      [ "$dpi" = 144 ] && shoot plain.exe "Vemo SFX" "$locale-popup-144dpi" hold
    done
    wine_set_dpi 96
  fi
  echo "   $locale: $checks checks, $failures failed"
  return $((failures > 99 ? 99 : failures))
}

total=0
for locale in ${VEMO_TWIN_LOCALES:-ja_JP en_US zh_CN ko_KR}; do
  (run_locale "$locale")
  total=$((total + $?))
done
echo "wine-twin: $total failed, $((SECONDS - started)) s; screenshots in $shots"
[ $total -eq 0 ]

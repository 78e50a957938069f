#!/usr/bin/env bash
# Archives written by vemosfx pack, for every method, extracted by the
# independent archivers (lhasa, unar, 7z, bsdtar, jlha) and by vemosfx itself, and
# compared byte for byte with the folder they were made from. The folder has
# the awkward cases: empty and one-byte files, the dictionary sizes exactly,
# runs, random bytes, deep and empty folders, Japanese names.
set -uo pipefail
cd "$(dirname "$0")/../.."
tool=${VEMO_TOOL:-build/host/vemosfx}
export LC_ALL=C.UTF-8

if [ ! -x "$tool" ]; then echo "40-pack-peers: $tool is not built"; exit 1; fi
for peer in lhasa unar; do
  if ! command -v $peer >/dev/null; then
    echo "40-pack-peers: skipped: $peer is missing (scripts/setup installs it)"
    exit 77
  fi
done
optional=()
for peer in 7z bsdtar jlha; do
  if command -v $peer >/dev/null; then optional+=($peer); else echo "   $peer is missing: not compared"; fi
done

work=$(mktemp -d /tmp/vemopeers.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "   FAIL: $*"; failures=$((failures + 1)); }

# Bytes from a fixed seed, so that a failure can be repeated.
bytes() {  # count seed
  awk -v n="$1" -v s="$2" 'BEGIN { srand(s); for (i = 0; i < n; i++) printf "%c", int(rand() * 256) }'
}
# Text of exactly count bytes, from the repository's own sources.
text() {  # count
  local t; t=$(mktemp "$work/text.XXXXXX")
  while [ "$(stat -c %s "$t")" -lt "$1" ]; do cat pack/*.cpp extract/*.h >>"$t"; done
  head -c "$1" "$t"; rm -f "$t"
}

src=$work/src/tree
mkdir -p "$src/empty-folder" "$src/a/b/c/d/e/f/g/h/i/j" "$src/日本語フォルダ/空" "$src/mixed"
: >"$src/empty.txt"
printf 'Z' >"$src/one.bin"
text 8192 >"$src/exact-8192.txt"
text 65536 >"$src/exact-65536.txt"
text 65537 >"$src/over-65536.txt"
text 300000 >"$src/large.txt"
# Longer than a segment (1 MiB), twice over: the segments' bits are joined
# at offsets that are not whole bytes.
{ text 1500000; bytes 300000 9; text 900000; } >"$src/segments.bin"
# A last segment of a single byte, and of zeros only: codes that take no
# bits end the data.
{ text 1048576; printf 'q'; } >"$src/segment-and-one.txt"
head -c 1048600 /dev/zero >"$src/segment-of-zeros.bin"
# Random blocks repeated at exactly each window size: copies from the full
# dictionary size back.
for period in 8192 32768 65536; do
  bytes $period $period >"$work/block"; cat "$work/block" "$work/block" "$work/block" >"$src/period-$period.bin"
done
head -c 1000000 /dev/zero >"$src/zeros.bin"
yes abcabcabd | head -c 200000 >"$src/run.txt"
bytes 40000 7 >"$src/random.bin"
{ bytes 70000 8; text 70000; bytes 3000 8; } >"$src/mixed/text-and-random.bin"
text 5000 >"$src/a/b/c/d/e/f/g/h/i/j/deep.txt"
text 3000 >"$src/日本語フォルダ/表示テスト.txt"
cp "$src/one.bin" "$src/日本語フォルダ/ｶﾀｶﾅ.bin"

# Shift_JIS names, as lhasa and 7z write them, back to UTF-8.
# Byte-wise (C locale): in UTF-8 the shell would take a Shift_JIS lead byte
# and the newline after it as one character.
to_utf8() {  # folder
  (
    export LC_ALL=C
    find "$1" -depth -mindepth 1 | while IFS= read -r p; do
      base=${p##*/}
      new=$(printf '%s' "$base" | iconv -f CP932 -t UTF-8 2>/dev/null) || continue
      [ "$new" = "$base" ] || mv "$p" "${p%/*}/$new"
    done
  )
}

same() {  # who folder [diff options]
  if diff -r "${@:3}" "$src" "$2/tree" >"$work/diff" 2>&1; then
    echo "   $1: identical"
  else
    fail "$1 differs:"; head -20 "$work/diff"
  fi
}

# Every peer extracts ARC into OUT/PEER and is compared with the input;
# WHAT names the archive in messages.
peers_extract() {  # arc out what
  local arc=$1 out=$2 what=$3
  mkdir -p "$out/lhasa" "$out/unar" "$out/7z" "$out/bsdtar" "$out/jlha"
  if (cd "$out/lhasa" && lhasa xq "$arc") && lhasa tq "$arc"; then to_utf8 "$out/lhasa"; same lhasa "$out/lhasa"
  else fail "lhasa could not extract the $what archive"; fi
  if unar -q -e shift_jis -o "$out/unar" "$arc" >/dev/null; then same unar "$out/unar"
  else fail "unar could not extract the $what archive"; fi
  for peer in "${optional[@]}"; do
    case $peer in
      # 7z reads names byte-wise, so the second byte 0x5C of 表 splits the
      # name; that one file is left out of its comparison.
      7z) if 7z x -y -o"$out/7z" "$arc" >/dev/null; then to_utf8 "$out/7z"
            same 7z "$out/7z" -x "$(printf '\x95')" -x '表示テスト.txt'
          else fail "7z could not extract the $what archive"; fi ;;
      bsdtar) if bsdtar -xf "$arc" -C "$out/bsdtar" --options hdrcharset=CP932 2>"$work/bsdtar.err"; then
                same bsdtar "$out/bsdtar"
              else fail "bsdtar could not extract the $what archive"; head -5 "$work/bsdtar.err"; fi ;;
      # jlha exits 0 also when it cuts a member short: the comparison
      # tells. It writes names as its locale wants them.
      jlha) if (cd "$out/jlha" && LC_ALL=ja_JP.UTF-8 jlha xq "$arc" >/dev/null 2>&1); then same jlha "$out/jlha"
            else fail "jlha could not extract the $what archive"; fi ;;
    esac
  done
}

for m in lh0 lh5 lh6 lh7; do
  echo "-- method $m"
  arc=$work/t-$m.lzh
  if ! "$tool" pack -o "$arc" --method $m -C "$work/src" tree; then fail "pack --method $m"; continue; fi

  out=$work/x-$m
  mkdir -p "$out/vemosfx"
  peers_extract "$arc" "$out" "$m"
  if "$tool" test "$arc" >/dev/null && "$tool" extract -C "$out/vemosfx" "$arc" >/dev/null; then
    same vemosfx "$out/vemosfx"
  else
    fail "vemosfx could not test or extract the $m archive"
  fi
done

# Every level, each with one of the methods; -j 1 and -j 4 must give the
# same bytes, and every peer must read them back.
for level in 1 2 3 4 5 6 7 8 9; do
  m=lh$((5 + level % 3))
  echo "-- level $level, method $m"
  arc=$work/l$level.lzh
  if ! "$tool" pack -o "$arc" --method $m --level $level -j 1 -C "$work/src" tree ||
     ! "$tool" pack -o "$work/l$level-j4.lzh" --method $m --level $level -j 4 -C "$work/src" tree; then
    fail "pack --level $level"; continue
  fi
  cmp -s "$arc" "$work/l$level-j4.lzh" || fail "level $level: -j 1 and -j 4 wrote different bytes"
  out=$work/xl-$level
  peers_extract "$arc" "$out" "level $level"
  rm -rf "$out" "$work/l$level-j4.lzh"
done

# A real folder of hundreds of files: the first 400 files below
# /usr/share/doc (links followed, each under 200 KB), read back by every peer.
doc=$work/doc/tree
mkdir -p "$doc"
(cd /usr/share/doc && find . -type f -size -200k | LC_ALL=C sort | head -400) >"$work/doc.list"
tar -C /usr/share/doc -chf - -T "$work/doc.list" 2>/dev/null | tar -xf - -C "$doc"
files=$(find "$doc" -type f | wc -l)
if [ "$files" -lt 300 ]; then
  echo "   /usr/share/doc holds only $files files: the real folder is not compared"
else
  for m in lh0 lh5 lh6 lh7; do
    echo "-- /usr/share/doc, $files files, method $m"
    arc=$work/doc-$m.lzh
    if ! "$tool" pack -o "$arc" --method $m -C "$work/doc" tree; then fail "pack of the doc folder, $m"; continue; fi
    out=$work/xd-$m
    mkdir -p "$out/lhasa" "$out/unar" "$out/7z" "$out/bsdtar" "$out/jlha"
    (cd "$out/lhasa" && lhasa xq "$arc") || fail "lhasa could not extract the doc $m archive"
    unar -q -o "$out/unar" "$arc" >/dev/null || fail "unar could not extract the doc $m archive"
    for peer in "${optional[@]}"; do
      case $peer in
        7z) 7z x -y -o"$out/7z" "$arc" >/dev/null || fail "7z could not extract the doc $m archive" ;;
        bsdtar) bsdtar -xf "$arc" -C "$out/bsdtar" 2>"$work/bsdtar.err" ||
                  { fail "bsdtar could not extract the doc $m archive"; grep -c 'Bad' "$work/bsdtar.err"; } ;;
        jlha) (cd "$out/jlha" && LC_ALL=ja_JP.UTF-8 jlha xq "$arc" >/dev/null 2>&1) ||
                fail "jlha could not extract the doc $m archive" ;;
      esac
    done
    for peer in lhasa unar "${optional[@]}"; do
      if diff -r "$doc" "$out/$peer/tree" >"$work/diff" 2>&1; then echo "   $peer: identical"
      else fail "$peer differs on the doc $m archive:"; head -5 "$work/diff"; fi
    done
  done
fi

# A package's payload is the archive behind the stub and the one-byte block
# of --no-dialog: the peers read it as it is.
echo "-- package payload"
stub=$work/stub.exe
{ printf 'MZ'; head -c 23038 /dev/zero; } >"$stub"
if "$tool" pack -o "$work/p.exe" --stub "$stub" --no-dialog -C "$work/src" tree; then
  tail -c +23042 "$work/p.exe" >"$work/payload.lzh"
  mkdir -p "$work/xp/lhasa" "$work/xp/vemosfx"
  if (cd "$work/xp/lhasa" && lhasa xq "$work/payload.lzh"); then to_utf8 "$work/xp/lhasa"; same lhasa "$work/xp/lhasa"
  else fail "lhasa could not extract the package's archive"; fi
  if "$tool" extract -C "$work/xp/vemosfx" "$work/p.exe" >/dev/null; then same vemosfx "$work/xp/vemosfx"
  else fail "vemosfx could not extract the package"; fi
else
  fail "pack of a package"
fi

[ $failures -eq 0 ] || { echo "40-pack-peers: $failures failures"; exit 1; }
echo "40-pack-peers: every archive read back identically"

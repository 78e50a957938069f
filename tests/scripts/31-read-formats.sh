#!/usr/bin/env bash
# What other systems write, and what vemosfx writes for them, beside the
# independent archivers (black boxes):
# 1. One verdict: list, test and extract agree on every crafted archive
#    (tests/fixtures/crafted, refused/ included, and a stored member whose
#    data hides a second header), from the file and from standard input.
# 2. The readers of each feature agree with ours: level 3 and long level-2
#    headers (lhasa, bsdtar, unar, 7z), one of 512 bytes whose first byte is
#    0 (lhasa, 7z), 64-bit sizes (bsdtar), the level-0 Unix area (lhasa,
#    bsdtar: modes), MS-DOS times in a zone with daylight saving time
#    (lhasa, bsdtar), -lhx- with matches across its whole dictionary (lhasa:
#    the same bytes).
# 3. jlha's own long headers (a 240-byte name under 45 folders, a 250-byte
#    name); vemosfx's long paths read by all five peers, its UTF-8 names by
#    the four that take them (jlha reads Shift_JIS only).
# 4. Members past 4 GiB: a crafted sparse one read; one packed compressed
#    and read back (when /tmp has the room), and a package refusing it.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=${VEMO_HOST_BUILD:-$root/build/host}
[ -x "$build/vemosfx" ] || { echo "formats: $build/vemosfx is not built"; exit 77; }
for peer in lhasa bsdtar; do
  command -v $peer >/dev/null || { echo "formats: $peer is not installed"; exit 77; }
done
scratch=$(mktemp -d /tmp/vemoformats.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export TZ=UTC LC_ALL=C.UTF-8
v=$build/vemosfx
status=0
fail() { echo "formats: $*"; status=1; }
have() { command -v "$1" >/dev/null; }
C=tests/fixtures/crafted

# ---- 1. one verdict ----------------------------------------------------------
# A stored member of packed size 0 and unpacked size 600000 whose data holds
# another member's header: a copy of its unpacked size would read that.
python3 - "$scratch/hidden.lzh" <<'EOF'
import struct, sys
sys.path.insert(0, "tests/lib")
from lzh import crc16
def member(name, data, packed):
    body = b"-lh0-" + struct.pack("<III", packed, len(data), 1589718896) + bytes([0x20, 2])
    body += struct.pack("<H", crc16(data)) + b"U" + struct.pack("<H", 3 + len(name)) + b"\x01" + name + b"\0\0"
    return struct.pack("<H", 2 + len(body)) + body
inner = member(b"hidden.txt", b"hidden\n", 7) + b"hidden\n" + b"\0"
data = inner + bytes(600000 - len(inner))
open(sys.argv[1], "wb").write(member(b"cover.bin", data, 0) + data)
EOF
# Each command's status and messages, with the input's name made "-".
verdict() {  # command input [stdin]
  local out
  if [ $# -eq 3 ]; then out=$("$v" $1 - <"$2" 2>&1); else out=$("$v" $1 "$2" 2>&1); fi
  echo "$? ${out//$2/-}"
}
for archive in $C/*.lzh $C/refused/*.lzh "$scratch/hidden.lzh"; do
  name=${archive#$C/}
  statuses=""
  for cmd in list test; do
    from_file=$(verdict $cmd "$archive")
    from_stdin=$(verdict $cmd "$archive" -)
    [ "$from_file" = "$from_stdin" ] || fail "$name: $cmd says from the file and from standard input:"$'\n'"$from_file"$'\n'"$from_stdin"
    statuses="$statuses ${from_file%% *}"
  done
  rm -rf "$scratch/x" "$scratch/y"
  "$v" extract -q -C "$scratch/x" "$archive" 2>"$scratch/x.err"; extracted=$?
  "$v" extract -q -C "$scratch/y" - <"$archive" 2>"$scratch/y.err"; piped=$?
  [ $extracted = $piped ] && diff -r "$scratch/x" "$scratch/y" >/dev/null ||
    fail "$name: extract from the file ($extracted) and from standard input ($piped) differ"
  statuses="$statuses $extracted"
  case $name in
    refused/*|*/hidden.lzh) [ "$statuses" = " 1 1 1" ] || fail "$name: list, test, extract exit with$statuses, not 1 1 1" ;;
    *) [ "$statuses" = " 0 0 0" ] || fail "$name: list, test, extract exit with$statuses, not 0 0 0" ;;
  esac
done
grep -q 'does not match its checksum or CRC' <(verdict test $C/refused/bad-crc.lzh) || fail "bad-crc: $(verdict test $C/refused/bad-crc.lzh)"
grep -q 'cover.bin: the header is damaged: a stored member cannot hold more than its data' \
  <(verdict test "$scratch/hidden.lzh") || fail "hidden: $(verdict test "$scratch/hidden.lzh")"

# ---- 2. the peers that read each feature -------------------------------------
# Extracts ARCHIVE with PEER into DIR; false when the peer fails.
peer_extract() {  # peer archive dir
  rm -rf "$3" && mkdir -p "$3" && (cd "$3" && case $1 in
    lhasa) lhasa xq "$2" ;;
    bsdtar) bsdtar -xf "$2" ;;
    unar) unar -q -f -D "$2" ;;
    jlha) LC_ALL=ja_JP.UTF-8 jlha x "$2" ;;
    7z) 7z x -y "$2" ;;
  esac) >/dev/null 2>&1
}
# Files with sizes and times, and with "modes" their modes, one a line.
tree() {  # dir [modes]
  (cd "$1" && find . -type f -printf "%p %s %T@${2:+ %m}\n" | sed 's/\.[0-9]*\( [0-7]*\)\{0,1\}$/\1/' | LC_ALL=C sort)
}
agree() {  # archive [modes] peer...: our extraction and each peer's have the same files
  local archive=$1 modes=; shift
  [ "$1" = modes ] && { modes=1; shift; }
  "$v" extract -q -C "$scratch/ours" "$root/$archive" || { fail "$archive: vemosfx extract failed"; return; }
  for peer in "$@"; do
    have $peer || continue
    if ! peer_extract $peer "$root/$archive" "$scratch/$peer"; then
      fail "$archive: $peer fails"
    elif [ "$(tree "$scratch/ours" $modes)" != "$(tree "$scratch/$peer" $modes)" ]; then
      fail "$archive: differs from $peer (ours <, $peer >):"$'\n'"$(diff <(tree "$scratch/ours" $modes) <(tree "$scratch/$peer" $modes) | head -n 6)"
    fi
  done
  rm -rf "$scratch/ours"
}
# A level-2 header of exactly 512 bytes, its first byte 0, between two
# others: lhasa and 7z read all three (bsdtar, unar and jlha stop at it).
python3 - "$scratch/h512.lzh" <<'EOF'
import struct, sys
sys.path.insert(0, "tests/lib")
from lzh import crc16
def member(name, data, folders=b""):
    exts = struct.pack("<H", 3 + len(name)) + b"\x01" + name
    if folders:
        exts += struct.pack("<H", 3 + len(folders)) + b"\x02" + folders
    body = b"-lh0-" + struct.pack("<III", len(data), len(data), 1589718896) + bytes([0x20, 2])
    body += struct.pack("<H", crc16(data)) + b"U" + exts + b"\0\0"
    return struct.pack("<H", 2 + len(body)) + body + data
middle = member(b"m" * 8, b"middle\n", (b"d" * 235 + b"\xff") * 2)
assert middle[0] == 0 and middle[1] == 2
open(sys.argv[1], "wb").write(member(b"first.txt", b"first\n") + middle + member(b"last.txt", b"last\n") + b"\0")
EOF
for peer in lhasa 7z; do
  have $peer || continue
  "$v" extract -q -C "$scratch/h512/ours" "$scratch/h512.lzh" && peer_extract $peer "$scratch/h512.lzh" "$scratch/h512/$peer" &&
    diff -r "$scratch/h512/ours" "$scratch/h512/$peer" >/dev/null || fail "a 512-byte header: $peer reads otherwise"
  [ "$(find "$scratch/h512/ours" -type f | wc -l)" = 3 ] || fail "a 512-byte header: $(ls -R "$scratch/h512/ours")"
done
# (jlha takes other times from these level-2 headers, so it is not asked.)
agree $C/level3.lzh lhasa bsdtar
agree $C/long-headers.lzh lhasa bsdtar unar 7z
agree $C/unix-level0.lzh modes lhasa bsdtar
TZ=America/New_York agree $C/local-times.lzh lhasa bsdtar
"$v" extract -q -C "$scratch/lhx" $C/lhx.lzh && peer_extract lhasa "$root/$C/lhx.lzh" "$scratch/lhx-lhasa" &&
  cmp -s "$scratch/lhx/far.bin" "$scratch/lhx-lhasa/far.bin" || fail "lhx: vemosfx and lhasa extract different bytes"
[ "$("$v" list -q $C/sizes64.lzh | awk '{print $2, $3, $NF}' | tr '\n' ' ')" = "12 10 sizes.txt 5 5 next.txt " ] ||
  fail "sizes64: $("$v" list -q $C/sizes64.lzh)"
[ "$(bsdtar -tvf $C/sizes64.lzh | awk '{print $5, $NF}' | tr '\n' ' ')" = "10 sizes.txt 5 next.txt " ] ||
  fail "sizes64: bsdtar lists $(bsdtar -tvf $C/sizes64.lzh)"

# ---- 3. long headers and names, from jlha and for the Unix peers --------------
deep=$scratch/deep/src
d=$deep
for i in $(seq 45); do d=$d/d; done
mkdir -p "$d" && echo deep >"$d/$(printf 'n%.0s' $(seq 240))" && echo long >"$deep/$(printf 'm%.0s' $(seq 250))"
if have jlha; then
  (cd "$deep" && LC_ALL=ja_JP.UTF-8 jlha c2 "$scratch/deep/jlha.lzh" . >/dev/null 2>&1) || fail "jlha cannot pack the long names"
  summary=$("$v" test "$scratch/deep/jlha.lzh" 2>&1)
  n=$(cd "$deep" && find . | wc -l)  # "." is a member too
  [ "$summary" = "$n members, $n intact, 0 failed" ] || fail "jlha's long headers: $summary"
  "$v" extract -q -C "$scratch/deep/ours" "$scratch/deep/jlha.lzh" && diff -r "$deep" "$scratch/deep/ours" >/dev/null ||
    fail "jlha's long headers: extracted differently"
fi
"$v" pack -q -o "$scratch/deep/ours.lzh" -C "$deep" . || fail "pack of the long names failed"
for peer in lhasa bsdtar unar jlha 7z; do
  have $peer || continue
  peer_extract $peer "$scratch/deep/ours.lzh" "$scratch/deep/$peer" && diff -r "$deep" "$scratch/deep/$peer" >/dev/null ||
    fail "the long names vemosfx packs: $peer reads them differently"
done
"$v" pack -q -o "$scratch/deep/p.exe" -C "$deep" . 2>"$scratch/deep/err" && fail "a package took a 240-byte name"
grep -q "'m*': the name is 250 bytes in Shift_JIS, folders included; a package holds names of at most 221 bytes" "$scratch/deep/err" ||
  fail "the package's message: $(head -n 2 "$scratch/deep/err")"

names=$scratch/names/src
mkdir -p "$names/dír" && echo x >"$names/café😀.txt" && echo y >"$names/dír/ñ.txt"
"$v" pack -q -o "$scratch/names/n.lzh" -C "$names" . 2>/dev/null && fail "Shift_JIS took café😀.txt"
"$v" pack -q --names=utf-8 -o "$scratch/names/n.lzh" -C "$names" . || fail "pack --names=utf-8 failed"
for peer in lhasa bsdtar unar 7z; do
  have $peer || continue
  peer_extract $peer "$scratch/names/n.lzh" "$scratch/names/$peer" && diff -r "$names" "$scratch/names/$peer" >/dev/null ||
    fail "UTF-8 names: $peer reads them differently"
done

# ---- 4. members past 4 GiB ------------------------------------------------------
# A crafted stored member of 4 GiB + 4 KiB of zeros (sparse, CRC 0) and one
# behind it: the sizes from the 64-bit header, the next member found.
python3 - "$scratch/big.lzh" <<'EOF'
import struct, sys
sys.path.insert(0, "tests/lib")
from lzh import crc16
def header(name, size, crc):
    exts = b"\x05\x00\x00\x00\x00" + struct.pack("<H", 3 + len(name)) + b"\x01" + name
    if size >> 32:
        exts += struct.pack("<H", 19) + b"\x42" + struct.pack("<QQ", size, size)
    body = b"-lh0-" + struct.pack("<III", size & 0xFFFFFFFF, size & 0xFFFFFFFF, 1589718896) + bytes([0x20, 2])
    body += struct.pack("<H", crc) + b"U" + exts + b"\0\0"
    h = bytearray(struct.pack("<H", 2 + len(body)) + body)
    struct.pack_into("<H", h, 27, crc16(bytes(h)))
    return bytes(h)
size = (1 << 32) + 4096
with open(sys.argv[1], "wb") as f:
    f.write(header(b"zeros.bin", size, 0))
    f.seek(size, 1)
    f.write(header(b"next.txt", 5, crc16(b"next\n")) + b"next\n\0")
EOF
listing=$("$v" list -q "$scratch/big.lzh" 2>&1)
[ "$(echo "$listing" | awk '{print $3, $NF}' | tr '\n' ' ')" = "4294971392 zeros.bin 5 next.txt " ] || fail "big: $listing"
[ "$(bsdtar -tvf "$scratch/big.lzh" | awk '{print $5}' | tr '\n' ' ')" = "4294971392 5 " ] || fail "big: bsdtar lists otherwise"
summary=$("$v" test "$scratch/big.lzh" 2>&1)
[ "$summary" = "2 members, 2 intact, 0 failed" ] || fail "big: $summary"
rm -f "$scratch/big.lzh"

truncate -s $(( (1 << 32) + 1 )) "$scratch/huge.bin"
"$v" pack -q -o "$scratch/huge.exe" -C "$scratch" huge.bin 2>"$scratch/err" && fail "a package took a member of 4 GiB"
grep -q "a package holds members of at most 4294967295 bytes (4 GiB - 1), what its stub reads" "$scratch/err" ||
  fail "the package's message: $(cat "$scratch/err")"
# Compressed (level 1: the fastest) into a few KiB, and read back whole.
"$v" pack -q --level 1 -o "$scratch/huge.lzh" -C "$scratch" huge.bin || fail "pack of a member of 4 GiB + 1 failed"
listing=$("$v" list -q "$scratch/huge.lzh")
[ "$(echo "$listing" | awk '{print $1, $3}')" = "-lh5- 4294967297" ] || fail "huge: $listing"
[ "$(bsdtar -tvf "$scratch/huge.lzh" | awk '{print $5}')" = 4294967297 ] || fail "huge: bsdtar lists otherwise"
summary=$("$v" test "$scratch/huge.lzh" 2>&1)
[ "$summary" = "1 member, 1 intact, 0 failed" ] || fail "huge: $summary"
exit $status

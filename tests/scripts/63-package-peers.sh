#!/usr/bin/env bash
# A package opens in the archivers people already have: bsdtar, lhasa and 7z
# list and extract a package made on the product stub exactly as they do the
# plain archive of the same files. Such archivers find the archive inside a
# program by scanning for the first "-lh?-" header; a method name in the
# stub's bytes would stop them there (bsdtar: "Invalid LHa header", lhasa:
# no files).
set -uo pipefail
cd "$(dirname "$0")/../.."
stub=build/win32/vemosfx.exe
host=build/host/vemosfx
for f in "$stub" "$host"; do
  [ -f "$f" ] || { echo "package-peers: $f is not built"; exit 77; }
done
for tool in bsdtar lhasa 7z; do
  command -v $tool >/dev/null || { echo "package-peers: $tool is not installed (scripts/setup installs it)"; exit 77; }
done
work=$(mktemp -d /tmp/vemopeers.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/sub" "$work/src/日本語"
printf 'hello\r\n' > "$work/src/a.txt"
head -c 100000 /dev/urandom > "$work/src/sub/b.bin"
seq 1 20000 > "$work/src/日本語/c.txt"
"$host" pack -o "$work/p.exe" --stub "$stub" --no-dialog -C "$work/src" . || exit 1
"$host" pack -o "$work/p.lzh" -C "$work/src" . || exit 1

failures=0
# The stub itself carries no method name.
if LC_ALL=C grep -qaE -- '-l[hz][0-9a-z]-' "$stub"; then
  echo "FAIL: the stub's bytes hold a method name"; failures=$((failures + 1))
fi
list() {  # tool archive
  case $1 in
    bsdtar) bsdtar --options hdrcharset=CP932 -tf "$2" ;;
    # The names only: a plain archive carries Unix owners, which lhasa shows
    # in place of the packed size and ratio columns.
    lhasa) lhasa l "$2" | awk 'NR > 2 && !/^----/ && !/ Total / {print $NF}' ;;
    7z) 7z l -ba "$2" | awk '{print $NF}' ;;
  esac
}
extract() {  # tool archive folder
  mkdir -p "$3"
  case $1 in
    bsdtar) bsdtar --options hdrcharset=CP932 -xf "$2" -C "$3" ;;
    lhasa) (cd "$3" && lhasa xq "$2") ;;
    7z) 7z x -y -o"$3" "$2" >/dev/null ;;
  esac
}
for tool in bsdtar lhasa 7z; do
  list $tool "$work/p.lzh" > "$work/$tool.lzh.list" 2>&1
  list $tool "$work/p.exe" > "$work/$tool.exe.list" 2>&1
  extract $tool "$work/p.lzh" "$work/$tool-lzh" >/dev/null 2>&1
  extract $tool "$work/p.exe" "$work/$tool-exe" >"$work/$tool.err" 2>&1
  files=$(find "$work/$tool-exe" -type f | wc -l)
  if ! cmp -s "$work/$tool.lzh.list" "$work/$tool.exe.list"; then
    echo "FAIL: $tool lists the package differently from the archive:"
    diff "$work/$tool.lzh.list" "$work/$tool.exe.list" | head -n 8
    failures=$((failures + 1))
  elif [ "$files" -ne 3 ] || ! diff -r "$work/$tool-lzh" "$work/$tool-exe" >/dev/null; then
    echo "FAIL: $tool extracts $files files from the package, not the archive's three:"
    head -n 5 "$work/$tool.err"
    failures=$((failures + 1))
  else
    echo "   ok: $tool lists ($(wc -l < "$work/$tool.exe.list") lines) and extracts the package as the archive"
  fi
done
# The plain archive's files are ours, byte for byte (bsdtar converts the names).
diff -r "$work/src" "$work/bsdtar-exe" >/dev/null || { echo "FAIL: bsdtar's files differ from the packed ones"; failures=$((failures + 1)); }
[ $failures -eq 0 ]

#!/usr/bin/env bash
# The product under 32-bit Wine as a package downloaded from the web meets it. First
# with stand-ins planted beside it for every library that is not a known DLL
# of the system and may be loaded after the entry point (by the stub, the
# common controls, themes, the folder browser or shell links), and Wine told
# to prefer such native copies, as Windows would: none may be loaded, and
# the package still extracts through its dialog, the folder browser opened
# once. Left out: what Wine loads before any code of the program runs
# (version.dll, ucrtbase.dll, win32u.dll) and imm32.dll (a known DLL on
# Windows, loaded by Wine's user32); no program can defend those. Then signed with a
# throw-away certificate: `vemosfx test` and the stub extract it exactly like
# the unsigned package.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
win32=${VEMO_WIN32_BUILD:-$root/build/win32}
stub=$win32/vemosfx.exe
host=$root/build/host/vemosfx
for f in "$stub" "$win32/driver.exe" "$host"; do
  [ -f "$f" ] || { echo "wine-download: $f is not built"; exit 77; }
done
for tool in i686-w64-mingw32-gcc osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "wine-download: $tool is not installed"; exit 77; }
done

source tests/lib/wine.sh
wine_test_begin wine-download vemodl
mkdir -p "$c/downloads/out" "$c/signed" "$c/unsigned" "$scratch/src/sub"
cp "$win32/driver.exe" "$c/"
failures=0
expect() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "   ok: $what"; else echo "   FAIL: $what"; failures=$((failures + 1)); fi
}
win() { echo "C:\\vemodl\\$1" | tr / '\\'; }
printf 'first member\r\n' > "$scratch/src/a.txt"
head -c 300000 /dev/urandom > "$scratch/src/sub/b.bin"
same_files() { cmp -s "$scratch/src/a.txt" "$1/a.txt" && cmp -s "$scratch/src/sub/b.bin" "$1/sub/b.bin"; }

echo "== planted DLLs"
i686-w64-mingw32-gcc -shared -Os -s -o "$c/downloads/comctl32.dll" tests/wine/planted.c
planted=(comctl32 msimg32 uxtheme dwmapi propsys cryptbase userenv apphelp oleacc clbcatq)
for dll in "${planted[@]:1}"; do cp "$c/downloads/comctl32.dll" "$c/downloads/$dll.dll"; done
python3 tests/wine/driver-pkg.py "$c/downloads/setup.exe" "$stub" --config planted 0 "" a.txt 0 2 0 "" \
  --member a.txt "$scratch/src/a.txt" 1500000000 --member sub/b.bin "$scratch/src/sub/b.bin" 1500000000
overrides="$WINEDLLOVERRIDES;$(IFS=,; echo "${planted[*]}")=n,b"
for action in browse ok; do
  WINEDLLOVERRIDES=$overrides wine_run 60 "$c/driver.exe" dialog \
    "$(win downloads/setup.exe)" "$(win downloads/out)" planted "$(win downloads/out)" 0,2,0 $action \
    >"$scratch/driver.out" 2>&1 </dev/null
  rc=$?
  grep '^FAIL' "$scratch/driver.out"
  expect "the dialog ($action) ran and the package ended (driver exit $rc)" test $rc -eq 0
done
# The marker takes the name the DLL was loaded under, in any case.
for dll in "${planted[@]}"; do
  expect "the planted $dll.dll is not loaded" test -z "$(ls "$c/downloads" | grep -ix "$dll.dll.loaded")"
done
expect "the package extracts beside planted DLLs" same_files "$c/downloads/out"

echo "== signed package"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" \
  -days 2 -subj '/CN=Vemo SFX test' >/dev/null 2>&1
"$host" pack -o "$c/unsigned.exe" --stub "$stub" --no-dialog -C "$scratch/src" a.txt sub
osslsigncode sign -certs "$scratch/cert.pem" -key "$scratch/key.pem" -n "Vemo SFX test" \
  -in "$c/unsigned.exe" -out "$c/signed.exe" >/dev/null
expect "the signature verifies" bash -c "osslsigncode verify -CAfile '$scratch/cert.pem' '$c/signed.exe' >/dev/null 2>&1"
expect "the signed package's checksum matches it" grep -qx 'checksum good' \
  <(python3 tests/lib/pe_resources.py "$c/signed.exe" 2>/dev/null)
"$host" test "$c/unsigned.exe" >"$scratch/unsigned.test" 2>&1
"$host" test "$c/signed.exe" >"$scratch/signed.test" 2>&1
expect "vemosfx test passes the signed package" test $? -eq 0
expect "vemosfx test reports the same for both" cmp -s "$scratch/unsigned.test" "$scratch/signed.test"
for kind in unsigned signed; do
  (cd "$c/$kind" && wine_run 60 "$c/$kind.exe" >"$scratch/$kind.out" 2>&1 </dev/null)
  expect "the stub extracts the $kind package" same_files "$c/$kind"
done
expect "both give the same tree" diff -r "$c/unsigned" "$c/signed"

[ $failures -eq 0 ] || { echo "wine-download: $failures failures"; exit 1; }

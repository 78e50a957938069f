#!/usr/bin/env bash
# Static checks of the product stub build/win32/vemosfx.exe (the Wine tests
# run it): PE32 for i386, GUI subsystem, exactly 23040 bytes, known system DLLs
# and msvcrt.dll only, the resources in Japanese, the manifest, no section
# both writable and executable, NX and terminal-server-aware, correct header
# checksums of the stub and of a package, no static constructors, and a
# rebuild from the same sources gives the same bytes.
set -uo pipefail
cd "$(dirname "$0")/../.."
stub=build/win32/vemosfx.exe
fails=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "   ok: $what"; else echo "   FAIL: $what"; fails=$((fails + 1)); fi
}
[ -f "$stub" ] || { echo "no $stub: build it first"; exit 1; }

check "stub is exactly 23040 bytes" test "$(stat -c %s "$stub")" -eq 23040

info=$(python3 tests/lib/pe_resources.py "$stub") || { echo "   FAIL: not a readable PE file"; exit 1; }
echo "$info" | sed 's/^/      /'
check "i386 PE32" grep -q '^machine 014c magic 010b' <<<"$info"
check "GUI subsystem" grep -q 'subsystem 2$' <<<"$info"
check "icon group 102 in Japanese" grep -q '^res 14 102 1041 ' <<<"$info"
check "one 32x32 16-colour icon image" test "$(grep -c '^res 3 .* 32x32 4bpp' <<<"$info")" -eq 1
check "no other icon image" test "$(grep -c '^res 3 ' <<<"$info")" -eq 1
check "abort box dialog 101 in Japanese with its font" grep -q '^res 5 101 1041 .* font' <<<"$info"
check "destination dialog 103 in Japanese with its font" grep -q '^res 5 103 1041 .* font' <<<"$info"
check "no other resource in another language" test -z "$(grep '^res ' <<<"$info" | awk '$2 != 24 && $4 != 1041')"

# The manifest: no elevation prompt for a program named "setup", the Windows
# versions it was made for, DPI awareness, version 6 of the common controls.
manifest=$(grep '^res 24 1 0 ' <<<"$info")
check "manifest 1, language-neutral" test -n "$manifest"
check "manifest runs as the invoker" grep -q ' level=asInvoker uiAccess=false' <<<"$manifest"
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  check "manifest supports Windows {$os}" grep -q " os={$os}" <<<"$manifest"
done
check "manifest asks for common controls 6" grep -q ' needs=Microsoft.Windows.Common-Controls/6.0.0.0' <<<"$manifest"
# The popup and the dialogs are laid out in dialog units of their font, so
# the program draws itself at the system's DPI instead of being scaled.
check "manifest declares DPI awareness" grep -q ' dpiAware=true' <<<"$manifest"

# Section rights and loader flags: the abort flag and every other variable
# written at run time must live outside the code.
for exe in "$stub"; do
  rights=$(python3 tests/lib/pe_resources.py "$exe")
  check "$exe: code read and execute" grep -qx 'section .text r-x' <<<"$rights"
  check "$exe: no section writable and executable" test -z "$(grep '^section .* .wx$' <<<"$rights")"
  flags=$(awk '/^dllcharacteristics/ {print $2}' <<<"$rights")
  check "$exe: NX compatible" test $((0x$flags & 0x100)) -ne 0
  check "$exe: terminal-server aware" test $((0x$flags & 0x8000)) -ne 0
  check "$exe: header checksum matches the file" grep -qx 'checksum good' <<<"$rights"
done

# A package carries the checksum of the whole file in its stub part; the
# stub it came from keeps its own.
host=build/host/vemosfx
if [ -x "$host" ]; then
  pkgdir=$(mktemp -d /tmp/vemopkg.XXXXXX)
  printf 'payload\n' > "$pkgdir/a.txt"
  if "$host" pack -o "$pkgdir/p.exe" --stub "$stub" -C "$pkgdir" a.txt; then
    check "package header checksum matches the package" grep -qx 'checksum good' \
      <(python3 tests/lib/pe_resources.py "$pkgdir/p.exe")
    check "package keeps the stub's other bytes" python3 -c '
import struct, sys
a = bytearray(open(sys.argv[1], "rb").read(23040)); b = bytearray(open(sys.argv[2], "rb").read())
at = struct.unpack_from("<I", b, 0x3C)[0] + 88
a[at:at + 4] = b[at:at + 4] = bytes(4)
sys.exit(a != b)' "$pkgdir/p.exe" "$stub"
  else
    echo "   FAIL: vemosfx pack failed"; fails=$((fails + 1))
  fi
  rm -rf "$pkgdir"
else
  echo "   skip: no $host for the package checksum"
fi

# Only the system's known DLLs (and msvcrt.dll) in the static imports: any
# other is looked for in the package's own folder first, where a hostile
# download can plant one. The common controls are loaded from the system
# directory at run time instead.
dlls=$(i686-w64-mingw32-objdump -p "$stub" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
echo "      imports: $(echo $dlls)"
allowed="kernel32.dll user32.dll gdi32.dll shell32.dll ole32.dll advapi32.dll msvcrt.dll"
bad=""
for d in $dlls; do [[ " $allowed " == *" $d "* ]] || bad="$bad $d"; done
check "imports only system DLLs and msvcrt.dll (not:$bad)" test -z "$bad"
check "imports msvcrt.dll" grep -qx msvcrt.dll <<<"$dlls"

# Static constructors would never run without the C runtime's start-up code.
symbols=$(find build/win32/ui build/win32/CMakeFiles/vemocore.dir -name '*.obj' | xargs -r i686-w64-mingw32-gcc-nm 2>/dev/null)
check "the stub's objects have symbols to look at" grep -q 'WinMain' <<<"$symbols"
check "no static constructors in the stub's objects" test "$(grep -c '_GLOBAL__sub_I_' <<<"$symbols")" -eq 0

# Reproducible: a fresh build of the same sources gives the same bytes.
again=$(mktemp -d /tmp/vemostub.XXXXXX)
if cmake -S . -B "$again" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null &&
   cmake --build "$again" --target vemosfx -j "$(nproc)" >"$again/log" 2>&1; then
  check "a second build is byte-identical" cmp -s "$stub" "$again/vemosfx.exe"
else
  echo "   FAIL: the second build failed"; tail -20 "$again/log"; fails=$((fails + 1))
fi
rm -rf "$again"

[ $fails -eq 0 ] || { echo "60-stub-static: $fails failures"; exit 1; }

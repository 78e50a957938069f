#!/usr/bin/env bash
# Static checks of the product stub build/win32/vemosfx.exe, which cannot run
# here: PE32 for i386, GUI subsystem, exactly 23040 bytes, system DLLs and
# msvcrt.dll only, the resources in Japanese, no static constructors, and a
# rebuild from the same sources gives the same bytes.
set -uo pipefail
cd "$(dirname "$0")/../.."
stub=build/win32/vemosfx.exe
twin=build/win64/vemosfx.exe
fails=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "   ok: $what"; else echo "   FAIL: $what"; fails=$((fails + 1)); fi
}
[ -f "$stub" ] || { echo "no $stub: build it first"; exit 1; }

check "stub is exactly 23040 bytes" test "$(stat -c %s "$stub")" -eq 23040
check "twin is exactly 23040 bytes" test "$(stat -c %s "$twin")" -eq 23040

info=$(python3 tests/lib/pe_resources.py "$stub") || { echo "   FAIL: not a readable PE file"; exit 1; }
echo "$info" | sed 's/^/      /'
check "i386 PE32" grep -q '^machine 014c magic 010b' <<<"$info"
check "GUI subsystem" grep -q 'subsystem 2$' <<<"$info"
check "icon group 102 in Japanese" grep -q '^res 14 102 1041 ' <<<"$info"
check "one 32x32 16-colour icon image" test "$(grep -c '^res 3 .* 32x32 4bpp' <<<"$info")" -eq 1
check "no other icon image" test "$(grep -c '^res 3 ' <<<"$info")" -eq 1
check "abort box dialog 101 in Japanese with its font" grep -q '^res 5 101 1041 .* font' <<<"$info"
check "destination dialog 103 in Japanese with its font" grep -q '^res 5 103 1041 .* font' <<<"$info"
check "no resource in another language" test -z "$(grep '^res ' <<<"$info" | awk '$4 != 1041')"

# The abort flag and the other initialised globals share the first section
# with the code; a read-only section would fault at the first write.
check "initialised data is writable" bash -c "i686-w64-mingw32-objdump -h '$stub' | grep -A1 ' .text ' | tail -1 | grep -qv READONLY"
check "twin's initialised data is writable" bash -c "x86_64-w64-mingw32-objdump -h '$twin' | grep -A1 ' .text ' | tail -1 | grep -qv READONLY"

dlls=$(i686-w64-mingw32-objdump -p "$stub" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
echo "      imports: $(echo $dlls)"
allowed="kernel32.dll user32.dll gdi32.dll shell32.dll ole32.dll comctl32.dll msvcrt.dll"
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

#!/usr/bin/env bash
# vemosfx pack on the command line: what it refuses, what it warns about,
# and what it writes, on real files in a scratch folder. Each case is one
# line of a table: expected exit status, a text expected on stderr (or "-"),
# and the command.
set -uo pipefail
cd "$(dirname "$0")/../.."
tool=$PWD/${VEMO_TOOL:-build/host/vemosfx}
[ -x "$tool" ] || { echo "41-pack-checks: $tool is not built"; exit 1; }
export LC_ALL=C.UTF-8
work=$(mktemp -d /tmp/vemopackchk.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "   FAIL: $*"; failures=$((failures + 1)); }
stub=$work/stub.exe
{ printf 'MZ'; head -c 23038 /dev/zero; } >"$stub"

# expect STATUS TEXT COMMAND...: runs the command in $work and checks its
# exit status and that stderr holds TEXT ("-": anything).
expect() {
  local want=$1 text=$2; shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" != "$want" ]; then fail "$* exited $got, not $want: $(head -3 "$work/err")"
  elif [ "$text" != - ] && ! grep -qF -- "$text" "$work/err"; then fail "$*: no '$text' in: $(head -3 "$work/err")"
  fi
}

# Memory does not grow with the file: 128 MiB under a 100 MB address space.
truncate -s 128M big.bin
(ulimit -v 100000; "$tool" pack -o big.lzh big.bin) 2>"$work/err" || fail "128 MiB under ulimit -v 100000: $(head -2 "$work/err")"
"$tool" test big.lzh >/dev/null 2>&1 || fail "the 128 MiB archive does not test clean"
rm -f big.bin big.lzh

[ $failures -eq 0 ] || { echo "41-pack-checks: $failures failures"; exit 1; }
echo "41-pack-checks: every case as expected"

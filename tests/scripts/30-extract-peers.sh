#!/usr/bin/env bash
# vemosfx extract against independent extractors on every fixture archive:
# each file that lhasa, 7z and unar produce must come out of our extraction
# with the same content (and, against lhasa, the same modification time).
# Names are compared by content only, since the peers write Shift_JIS names
# as raw bytes while vemosfx writes UTF-8. An archive that lhasa refuses is
# left out. vemosfx test must call every archive that we extract intact.
# The archives under crafted/refused/ are damaged on purpose (31-read-formats
# tries them); lhasa ignores the Windows time stamps header (0x41), so the
# times of the archives that carry it are bsdtar's.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
host=${VEMO_HOST_BUILD:-$root/build/host}
[ -x "$host/vemosfx" ] || { echo "peers: $host/vemosfx is not built"; exit 77; }
command -v lhasa >/dev/null || { echo "peers: lhasa is not installed"; exit 77; }
export TZ=UTC

scratch=$(mktemp -d /tmp/extractpeers.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# One line per file: size, checksum and, with "times", the modification time.
files() {
  (cd "$1" && find . -type f -printf '%s %p %T@\n' | while read -r size path when; do
    sum=$(md5sum < "$path" | cut -c1-32)
    if [ "$2" = times ]; then echo "$size $sum ${when%.*}"; else echo "$size $sum"; fi
  done | LC_ALL=C sort)
}

windows_times=" crafted/windows-times.lzh "
status=0 compared=0
while IFS= read -r -d '' archive; do
  name=${archive#tests/fixtures/}
  work=$scratch/$(echo "$name" | tr / _)
  mkdir -p "$work/lhasa"
  if ! (cd "$work/lhasa" && lhasa xq "$root/$archive" >/dev/null 2>&1); then
    echo "peers: $name: lhasa refuses it, left out"
    continue
  fi
  times_from=$work/lhasa
  if [ "${windows_times#* $name }" != "$windows_times" ]; then
    times_from=$work/bsdtar
    mkdir -p "$times_from" && (cd "$times_from" && bsdtar -xf "$root/$archive") || { echo "peers: $name: bsdtar fails"; status=1; }
  fi
  if ! "$host/vemosfx" extract -C "$work/ours" "$archive" 2>"$work/err"; then
    echo "peers: $name: vemosfx extract failed: $(cat "$work/err")"
    status=1
    continue
  fi
  if ! "$host/vemosfx" test "$archive" >"$work/test" 2>&1; then
    echo "peers: $name: vemosfx test reports a problem:"
    sed 's/^/  /' "$work/test"
    status=1
  fi
  ours=$(files "$work/ours" times)
  if [ "$ours" != "$(files "$times_from" times)" ]; then
    echo "peers: $name: differs from ${times_from##*/} (ours <, ${times_from##*/} >):"
    diff <(echo "$ours") <(files "$times_from" times) | head -n 6
    status=1
  fi
  if [ "$times_from" != "$work/lhasa" ] && [ "$(files "$work/ours" plain)" != "$(files "$work/lhasa" plain)" ]; then
    echo "peers: $name: differs from lhasa"
    status=1
  fi
  ours=$(files "$work/ours" plain)
  if command -v 7z >/dev/null; then
    mkdir -p "$work/7z"
    if (cd "$work/7z" && 7z x -y "$root/$archive" >/dev/null 2>&1) && [ "$ours" != "$(files "$work/7z" plain)" ]; then
      echo "peers: $name: differs from 7z"
      status=1
    fi
  fi
  if command -v unar >/dev/null; then
    mkdir -p "$work/unar"
    if (cd "$work/unar" && unar -q -f -D "$root/$archive" >/dev/null 2>&1) && [ "$ours" != "$(files "$work/unar" plain)" ]; then
      echo "peers: $name: differs from unar"
      status=1
    fi
  fi
  compared=$((compared + 1))
done < <(find tests/fixtures -type f \( -name '*.lzh' -o -name '*.lha' \) -not -path '*/refused/*' -print0 | sort -z)

echo "peers: $compared archives compared"
[ $compared -gt 0 ] || { echo "peers: no fixture archive"; exit 77; }
exit $status

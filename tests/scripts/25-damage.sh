#!/usr/bin/env bash
# Members whose compressed bytes run out long before their declared size
# (tests/fixtures/damage: 36 bytes declaring 4 GiB, one per method): extract
# and test must fail them as damaged and leave nothing on disk. Files are
# capped at 64 MiB, so a decoder that runs on is stopped by the limit.
set -uo pipefail
cd "$(dirname "$0")/../.."
tool=${VEMO_HOST_BUILD:-$PWD/build/host}/vemosfx
[ -x "$tool" ] || { echo "damage: $tool is not built"; exit 77; }
scratch=$(mktemp -d /tmp/vemodamage.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
ulimit -f 65536
status=0
for archive in tests/fixtures/damage/*.lzh; do
  name=$(basename "$archive" .lzh)
  mkdir "$scratch/$name"
  err=$("$tool" extract -C "$scratch/$name" "$archive" 2>&1 >/dev/null)
  rc=$?
  left=$(ls -A "$scratch/$name")
  # Damaged, not a CRC failure.
  if [ $rc -ne 1 ] || [[ $err != *damaged* ]] || [[ $err == *CRC* ]] || [ -n "$left" ]; then
    echo "damage: $name: extract exit $rc, left [$left]: $err"
    status=1
  fi
  "$tool" test "$archive" >/dev/null 2>&1
  rc=$?
  [ $rc -eq 1 ] || { echo "damage: $name: test exit $rc"; status=1; }
done
[ $status -eq 0 ] && echo "damage: $(ls tests/fixtures/damage/*.lzh | wc -l) archives fail as damaged"
exit $status

#!/bin/sh
# Pads the linked stub with zero bytes to exactly the payload offset, or
# fails (and removes the stub, so that the next build links it again) when it
# is larger.
set -eu
stub=$1 limit=$2
size=$(stat -c %s "$stub")
if [ "$size" -gt "$limit" ]; then
  echo "fit-stub: $stub is $size bytes, more than $limit" >&2
  rm -f "$stub"
  exit 1
fi
truncate -s "$limit" "$stub"
echo "fit-stub: $stub linked at $size bytes, padded to $limit"

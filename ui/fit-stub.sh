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
# Code, constants and initialised data share the first section (one section
# less to align); the abort flag and other initialised globals live there and
# are written at run time, so that section must be writable.
python3 - "$stub" <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
count = struct.unpack_from('<H', data, pe + 6)[0]
table = pe + 24 + struct.unpack_from('<H', data, pe + 20)[0]
for i in range(count):
    header = table + 40 * i
    if data[header:header + 8].rstrip(b'\0') == b'.text':
        flags = struct.unpack_from('<I', data, header + 36)[0]
        struct.pack_into('<I', data, header + 36, flags | 0x80000000)
open(path, 'wb').write(data)
PY
truncate -s "$limit" "$stub"
echo "fit-stub: $stub linked at $size bytes, padded to $limit"

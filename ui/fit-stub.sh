#!/bin/sh
# Pads the linked stub with zero bytes to exactly the payload offset, or
# fails (and removes the stub, so that the next build links it again) when it
# is larger. The resources become read-only (the linker makes them writable)
# and the header checksum is computed over the padded file.
set -eu
stub=$1 limit=$2
size=$(stat -c %s "$stub")
if [ "$size" -gt "$limit" ]; then
  echo "fit-stub: $stub is $size bytes, more than $limit" >&2
  rm -f "$stub"
  exit 1
fi
truncate -s "$limit" "$stub"
python3 - "$stub" <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
count = struct.unpack_from('<H', data, pe + 6)[0]
table = pe + 24 + struct.unpack_from('<H', data, pe + 20)[0]
for i in range(count):
    header = table + 40 * i
    if data[header:header + 8].rstrip(b'\0') == b'.rsrc':
        flags = struct.unpack_from('<I', data, header + 36)[0]
        struct.pack_into('<I', data, header + 36, flags & ~0x80000000)
# The image checksum: 16-bit words summed with end-around carry, the
# checksum field itself counting as zero, plus the file's length.
at = pe + 88
struct.pack_into('<I', data, at, 0)
words = struct.unpack('<%dH' % (len(data) // 2), data[:len(data) // 2 * 2])
total = sum(words) + (data[-1] if len(data) % 2 else 0)
while total > 0xFFFF:
    total = (total & 0xFFFF) + (total >> 16)
struct.pack_into('<I', data, at, total + len(data))
open(path, 'wb').write(data)
PY
echo "fit-stub: $stub linked at $size bytes, padded to $limit"

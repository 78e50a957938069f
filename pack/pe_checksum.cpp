#include "pack/pe_checksum.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "extract/payload.h"

namespace {

const off_t PE_OFFSET_AT = 0x3C;     // where the DOS header keeps the PE header's offset
const uint32_t CHECKSUM_AT = 88;     // the checksum, from the "PE" signature
const size_t CHUNK = 1 << 16;        // even, so words never straddle two reads

bool Fail(const char* what, std::string* error) {
  *error = std::string("cannot ") + what + " the output for its checksum: " + strerror(errno);
  return false;
}

}  // namespace

bool WritePeChecksum(int fd, std::string* error) {
  uint8_t at[4];
  if (pread(fd, at, 4, PE_OFFSET_AT) != 4) return Fail("read", error);
  const uint32_t header = at[0] | at[1] << 8 | at[2] << 16 | (uint32_t)at[3] << 24;
  // A stub without a PE header inside it has no checksum to keep.
  uint8_t signature[4];
  if (header > PAYLOAD_OFFSET - CHECKSUM_AT - 4 || pread(fd, signature, 4, header) != 4 ||
      memcmp(signature, "PE\0\0", 4) != 0) {
    return true;
  }
  const off_t field = (off_t)header + CHECKSUM_AT;

  // 16-bit little-endian words summed with end-around carry, the field
  // itself counting as zero, an odd last byte as a word of its own; then
  // the file's length is added.
  std::vector<uint8_t> buffer(CHUNK);
  uint64_t sum = 0;
  off_t offset = 0;
  for (;;) {
    ssize_t n = 0;
    while ((size_t)n < CHUNK) {
      ssize_t got = pread(fd, buffer.data() + n, CHUNK - (size_t)n, offset + n);
      if (got < 0) return Fail("read", error);
      if (got == 0) break;
      n += got;
    }
    if (n == 0) break;
    for (off_t i = field; i < field + 4; ++i) {
      if (i >= offset && i < offset + n) buffer[(size_t)(i - offset)] = 0;
    }
    for (ssize_t i = 0; i < n; i += 2) {
      sum += buffer[(size_t)i] | (i + 1 < n ? buffer[(size_t)i + 1] << 8 : 0);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    offset += n;
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  const uint32_t checksum = (uint32_t)sum + (uint32_t)offset;
  const uint8_t bytes[4] = {(uint8_t)checksum, (uint8_t)(checksum >> 8), (uint8_t)(checksum >> 16),
                            (uint8_t)(checksum >> 24)};
  if (pwrite(fd, bytes, 4, field) != 4) return Fail("write", error);
  return true;
}

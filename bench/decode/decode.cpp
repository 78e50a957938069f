// The member decoder alone over an archive's members, for bench/instructions:
// built once over the host's core (the fast variant, vemosfx's) and once over
// the core as the stub builds it (the compact variant), so that both
// instantiations that ship are counted on the same archives. Each member is
// decoded to /dev/null and its CRC checked; the exit status is 1 when one
// fails.
// Usage: bench-decode[-compact] ARCHIVE
#include <stdio.h>
#include <string.h>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/payload.h"
#include "extract/walk.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 2;
  }
  static SfxState state;
  state.archive = fopen(argv[1], "rb");
  FILE* sink = fopen("/dev/null", "wb");
  if (!state.archive || !sink) {
    perror(argv[1]);
    return 2;
  }
  BuildCrcTable();
  MemberWalk walk;
  WalkBegin(&walk, &state, StreamEnd(state.archive));
  MemberHeader header;
  int failed = 0;
  while (memset(&header, 0, sizeof header), WalkNext(&walk, &header) == WALK_MEMBER) {
    const int32_t method = FindMethod(header.method);
    if (method < 0 || method == METHOD_LHD) continue;
    DecodeStatus status = DECODE_DONE;
    const uint16_t crc = DecodeMember(state.archive, sink, header.unpacked_size, header.packed_size, method, &status);
    if (status != DECODE_DONE || (header.has_crc && crc != header.crc)) {
      fprintf(stderr, "%s: a member failed (status %d)\n", argv[1], (int)status);
      failed = 1;
    }
  }
  return failed;
}

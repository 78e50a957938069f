// The member walk and the one place that positions the archive stream.
#include "extract/walk.h"

#include "decode/member.h"
#include "platform/platform.h"

// In 64 bits through the platform layer: packages and members past 2 and
// 4 GiB.
int64_t StreamPosition(FILE* stream) { return PlatTell(stream); }

bool SeekStream(FILE* stream, int64_t position) { return PlatSeek(stream, position); }

int64_t StreamEnd(FILE* stream) { return PlatStreamSize(stream); }

void WalkBegin(MemberWalk* walk, SfxState* state, int64_t end) {
  walk->state = state;
  walk->end = end;
  walk->next = -1;
  walk->members = 0;
}

int32_t WalkNext(MemberWalk* walk, MemberHeader* header) {
  FILE* in = walk->state->archive;
  // The next header lies behind the member's data, however far a reader of
  // the data has gone.
  if (walk->next >= 0 && !SeekStream(in, walk->next)) return WALK_CUT_SHORT;
  int32_t read = ReadMemberHeader(walk->state, header);
  if (read != HEADER_READ) return read;
  ++walk->members;
  int64_t data = StreamPosition(in);
  if (data < 0) return WALK_DAMAGED;
  walk->next = data + header->packed_size;
  // A stored copy reads the unpacked size, whatever the packed size says.
  uint32_t span = header->packed_size;
  int32_t method = FindMethod(header->method);
  if (method >= 0 && MethodTable[method].stored && header->unpacked_size > span) span = header->unpacked_size;
  if (walk->end >= 0 && data + span > walk->end) return WALK_CUT_SHORT;
  return WALK_MEMBER;
}

uint32_t WalkFailure(int32_t result) {
  return result == WALK_UNKNOWN ? FAILURE_UNKNOWN_HEADER : FAILURE_DAMAGED;
}

uint64_t SumUnpackedSizes(SfxState* state, int64_t end, uint32_t* failure) {
  uint64_t sum = 0;
  int32_t read = WALK_DAMAGED;
  int64_t start = StreamPosition(state->archive);
  if (start >= 0 && end >= 0) {
    // The same walk as the run's, so the scan and the run always agree on
    // where each member lies.
    MemberWalk walk;
    WalkBegin(&walk, state, end);
    MemberHeader header;
    while ((read = WalkNext(&walk, &header)) == WALK_MEMBER) sum += header.unpacked_size;
    if (!SeekStream(state->archive, start)) read = WALK_DAMAGED;
  }
  *failure = read == WALK_END ? FAILURE_NONE : WalkFailure(read);
  return sum;
}

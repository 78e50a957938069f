// The member walk and the one place that positions the archive stream.
#include "extract/walk.h"

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

WalkResult WalkNext(MemberWalk* walk, MemberHeader* header) {
  FILE* in = walk->state->archive;
  // The next header lies behind the member's data, however far a reader of
  // the data has gone.
  if (walk->next >= 0 && !SeekStream(in, walk->next)) return WALK_CUT_SHORT;
  HeaderResult read = ReadMemberHeader(walk->state, header);
  if (read != HEADER_READ) return (WalkResult)read;
  ++walk->members;
  int64_t data = StreamPosition(in);
  if (data < 0) return WALK_DAMAGED;
  walk->next = data + (int64_t)header->packed_size;
  // A stored member's data is its packed size. One that says it holds more
  // is damaged: a copy of its unpacked size would read what lies behind its
  // data (the next header, or bytes that another header hides inside it).
  int32_t method = FindMemberMethod(header->method);
  if (method >= 0 && MethodTable[method].stored && header->unpacked_size > header->packed_size) return WALK_STORED_SIZE;
  if (walk->end >= 0 && walk->next > walk->end) return WALK_CUT_SHORT;
  return WALK_MEMBER;
}

FailureKind WalkFailure(WalkResult result) {
  return result == WALK_UNKNOWN ? FAILURE_UNKNOWN_HEADER : FAILURE_DAMAGED;
}

uint64_t SumUnpackedSizes(SfxState* state, int64_t end, FailureKind* failure) {
  uint64_t sum = 0;
  WalkResult read = WALK_DAMAGED;
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

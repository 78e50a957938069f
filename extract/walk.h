// The one walk over an archive's members, shared by the stub's pre-scan and
// run and by the host tool's list, test and extract: each step reads a
// header, works out where the member's data lies and where the next header
// starts, and checks the data against the end of the stream. All positioning
// of the archive stream goes through StreamPosition, SeekStream and
// StreamEnd, here.
//
// The walk only ever moves forward, except when it steps back from what a
// reader of the member's data has read ahead to where the next header starts.
// A stream that can only be read forward (a pipe) therefore works when its
// FILE answers ftell with the bytes taken, serves a forward seek by reading,
// and keeps the bytes read ahead of the last position it was sought to (at
// most the decoder's input buffer), so that the step back is served from
// them; its end is not known (end < 0). Then no member is checked against the
// end beforehand: a member whose data is cut short shows when the seek past
// it fails (WALK_CUT_SHORT before the next header), and there is no pre-scan
// for a progress total: a run then counts each member's size into the total
// as its header is read (a total of 0 shows nothing).
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "extract/header.h"

// Results of WalkNext; the first four are those of ReadMemberHeader.
enum WalkResult : int32_t {
  WALK_MEMBER = HEADER_READ,        // a member: the stream stands on its data
  WALK_END = HEADER_END,            // the archive ended normally
  WALK_DAMAGED = HEADER_DAMAGED,    // a header cut short or malformed
  WALK_UNKNOWN = HEADER_UNKNOWN,    // "Unknown header" was shown to the user
  WALK_CUT_SHORT = -3,              // a member's data runs past the end
  WALK_CHECKSUM = HEADER_CHECKSUM,  // host: a header fails its own checksum or CRC
  WALK_STORED_SIZE = -5,            // a stored member says it holds more than its data
};

struct MemberWalk {
  SfxState* state;
  int64_t end;       // size of the stream; below 0 when it is not known
  int64_t next;      // where the next header starts; below 0 before the first
  uint32_t members;  // headers read so far
};

// The position of the stream, or -1.
int64_t StreamPosition(FILE* stream);
// Moves the stream to position; false when it is negative or the seek fails.
bool SeekStream(FILE* stream, int64_t position);
// Size of the stream in bytes, or -1; the position is left unchanged.
int64_t StreamEnd(FILE* stream);

// Starts a walk at the stream's position; end as in MemberWalk.
void WalkBegin(MemberWalk* walk, SfxState* state, int64_t end);
// Moves past the last member's data and reads the next header into *header.
// WALK_STORED_SIZE: the header was read and counted. WALK_CUT_SHORT: when a
// header was read (walk->members counts it) the member's data runs past the
// end; else the
// seek past the previous member's data failed and *header still holds that
// member.
WalkResult WalkNext(MemberWalk* walk, MemberHeader* header);
// The kind of failure (FailureKind) a walk result other than WALK_MEMBER and
// WALK_END means.
FailureKind WalkFailure(WalkResult result);

// Sum of the unpacked sizes from the stream's position to the archive's end
// (end as in MemberWalk); the stream is left where it was. *failure is
// FAILURE_NONE when the walk reached a proper end, else WalkFailure's kind;
// FAILURE_DAMAGED when the end is not known (below 0): the scan needs a
// stream it can return on.
uint64_t SumUnpackedSizes(SfxState* state, int64_t end, FailureKind* failure);

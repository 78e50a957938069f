// The extraction run: the body of the worker thread.
#pragma once
#include <stdint.h>
#include "extract/header.h"
#include "extract/payload.h"

// Results of ExtractMember.
enum MemberResult : int32_t {
  MEMBER_NEXT = 0,     // go on with the next member
  MEMBER_ABORTED = 1,  // g_continue was cleared during this member
  MEMBER_FAILED = 2,   // the run ends as failed; state->failure says why
};

// Thread body; the argument is the SfxState. Reports exactly one outcome
// through the platform layer as its last act.
void ExtractionWorker(void* state);
// Sum of the unpacked sizes from the stream's position to the archive's end;
// the stream is left where it was. *failure is FAILURE_NONE when the scan
// reached a proper end, else FAILURE_DAMAGED or FAILURE_UNKNOWN_HEADER.
uint32_t SumUnpackedSizes(SfxState* state, uint32_t* failure);
int32_t ExtractMember(SfxState* state, MemberHeader* header);
bool MakeParentDirs(const char* path);
// True when a member path (one leading "/" already dropped) stays inside the
// current directory: not empty, no drive prefix, no leading separator, no
// ".." component; "\" counts as a separator unless it ends a double-byte
// character.
bool IsConfinedPath(const char* path);
void NotifyShellCreated(SfxState* state, const char* name);

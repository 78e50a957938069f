// The progress line of extract and test on a terminal: the percentage of
// the archive's unpacked bytes done (the core's counters, which the
// decoders advance), a bar and the member's name, redrawn in place on
// stderr. Every other line on stderr or stdout is written after ClearLine.
#pragma once
#include <stdint.h>

#include "extract/header.h"
#include "extract/payload.h"
#include "platform/host_hooks.h"

// Shows the line from now on when show is set and stderr is a terminal
// (never into a pipe or a log); installs the progress receiver in
// *callbacks.
void StartProgress(HostCallbacks* callbacks, bool show);
// The core's counters set for a walk of the opened archive from its first
// member: the total is the sum of the unpacked sizes where the file's end
// (end) is known, else it grows as MemberSeen meets the headers.
void StartCount(SfxState* state, int64_t end);
void MemberSeen(const MemberHeader* header, int64_t end);
// A member passed, decoded or not: its bytes count as done.
void MemberPassed(const MemberHeader* header);
// The member being decoded, a stored name.
void ShowMember(const char* name);
// Wipes the line, so that a message takes its place.
void ClearLine();

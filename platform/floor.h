// The floor every layer stands on (platform <- decode <- extract <- ui, host,
// pack): the few definitions that the platform layer and the decoders share
// with the extraction core, so that no lower layer includes a higher one.
#pragma once
#include <stdint.h>

#include <type_traits>

// Every path buffer: 259 bytes plus the terminator.
const uint32_t PATH_BUFFER_SIZE = 260;
const uint32_t PATH_MAX_BYTES = PATH_BUFFER_SIZE - 1;

// The host tool reads more than the stub does: archives made on Unix and
// other systems (header level 3, long level-2 headers, 64-bit sizes, long
// paths, their time stamps and owners). Its extras sit behind this constant,
// so that the stub's code stays what it is.
#if defined(_WIN32)
constexpr bool kHostTool = false;
#else
constexpr bool kHostTool = true;
#endif

// Member paths: the stub holds what Windows' paths hold; the host tool what
// Linux's do (PATH_MAX), which is what Unix archivers read and write.
const uint32_t NAME_BUFFER_SIZE = kHostTool ? 4096 : PATH_BUFFER_SIZE;
const uint32_t NAME_MAX_BYTES = NAME_BUFFER_SIZE - 1;

// A member's sizes: 32 bits in the stub, which reads the 32-bit header
// fields only; 64 bits in the host tool, which also reads the 64-bit size
// extended header.
typedef std::conditional<kHostTool, uint64_t, uint32_t>::type MemberSize;

// Opaque handles of the operating system (window, instance). The core never
// looks inside them; the Win32 side of platform/ casts them back.
typedef void* PlatHandle;

// The state record of a run (extract/payload.h); below extract/ it is only
// passed on, never looked into.
struct SfxState;

// The final outcome of a run, as reported to the user interface.
enum RunOutcome : uint32_t {
  OUTCOME_DONE = 0,
  OUTCOME_ABORTED = 1,
  OUTCOME_FAILED = 2,
};

// How a run ended, when it ended as failed. The front end turns the kind into
// its message; failure_name names the member concerned.
enum FailureKind : uint32_t {
  FAILURE_NONE = 0,
  FAILURE_DAMAGED = 1,         // the archive is damaged or cut short
  FAILURE_CRC = 2,             // a member's data does not match its CRC
  FAILURE_BAD_NAME = 3,        // a member name leaves the destination
  FAILURE_METHOD = 4,          // a member's method is not known
  FAILURE_CREATE = 5,          // the output file cannot be created (or the path is too long)
  FAILURE_UNKNOWN_HEADER = 6,  // the reader has already shown "Unknown header"
  FAILURE_MEMORY = 7,          // no memory for the member's dictionary
  FAILURE_WRITE = 8,           // the output file could not be written completely
  FAILURE_LINK = 9,            // a link (reparse point) on the member's path
  FAILURE_SAME_FILE = 10,      // the name folds onto an earlier file member's (Windows)
  // Not failures: the two other answers of the member judges (CheckMember,
  // DecodeChecked in extract/run.h). Never stored in SfxState::failure.
  CHECK_LINK = 0xFE,     // a Unix symbolic link member, for which nothing is made
  CHECK_ABORTED = 0xFF,  // the run was aborted while the member was decoded
};

// The progress and abort hook of the decoders, kept by extract/progress.cpp.
// Nonzero: go on. The user interface clears it to stop the run; every poll
// reads it afresh from memory.
extern volatile int32_t g_continue;
// n: bytes of the current member produced so far.
void UpdateProgress(uint32_t n);
// UpdateProgress(n), returning the first count above n at which the position
// can change: for every count from n up to it UpdateProgress sends nothing,
// so a loop whose count only grows may skip those calls.
uint32_t UpdateProgressQuiet(uint32_t n);

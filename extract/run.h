// The extraction run: the body of the worker thread.
#pragma once
#include <stdint.h>
#include "extract/header.h"
#include "extract/payload.h"
#include "extract/walk.h"

// Results of ExtractMember.
enum MemberResult : int32_t {
  MEMBER_NEXT = 0,     // go on with the next member
  MEMBER_ABORTED = 1,  // g_continue was cleared during this member
  MEMBER_FAILED = 2,   // the run ends as failed; state->failure says why
};

// Thread body; the argument is the SfxState. Reports exactly one outcome
// through the platform layer as its last act.
void ExtractionWorker(void* state);
MemberResult ExtractMember(SfxState* state, MemberHeader* header);

// The one judge of a member, shared by the run and the host tool's test and
// -O. CheckMember looks at what the header says before anything is written:
// FAILURE_NONE or the kind (a name leaving the destination, an unknown
// method), or CHECK_LINK for a Unix symbolic link, for which
// nothing is made; *method receives the method's index (that of "-lhd-" for
// an empty member named like a directory). path is the member's path as
// OutputPath gives it.
FailureKind CheckMember(const MemberHeader* header, const char* path, int32_t* method);
// Decodes the member's data from the stream's position into out, closes out
// and judges the result: FAILURE_NONE when the bytes are intact, else the
// kind, or CHECK_ABORTED when the run was aborted meanwhile.
FailureKind DecodeChecked(SfxState* state, const MemberHeader* header, int32_t method, FILE* out);
bool MakeParentDirs(const char* path);
// True when a member path (one leading "/" already dropped) stays inside the
// current directory and names an ordinary file there: not empty, no leading
// separator, no ".." component, no ":" (a drive prefix or an NTFS stream) and
// no component that Windows maps to a device (CON, NUL, COM1, "aux.txt"...);
// "\" counts as a separator unless it ends a double-byte character. *bar,
// when given, is set when a real "|" was passed on the way.
bool IsConfinedPath(const char* path, bool* bar = nullptr);
// True when the path component [p, end) is a name that Windows maps to a
// device in any folder (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$),
// with any extension, trailing spaces or letter case.
bool IsDeviceComponent(const uint8_t* p, const uint8_t* end);
// Archives made for Unix may hold ":" and device-like names: the host tool
// can let them through (the stub never does).
#if defined(_WIN32)
const uint8_t g_allow_unix_names = 0;
#else
extern uint8_t g_allow_unix_names;
#endif
// The host tool can keep what a damaged member (a wrong CRC, data that ends
// too soon) decoded, in the member's place, as other archivers do; the
// member still fails. The stub replaces a file only with intact data.
#if defined(_WIN32)
const uint8_t g_keep_damaged = 0;
#else
extern uint8_t g_keep_damaged;
#endif
// Whether a member that failed so keeps what it decoded in its place.
inline bool KeepsDamaged(FailureKind failure) {
  return g_keep_damaged && (failure == FAILURE_CRC || failure == FAILURE_DAMAGED);
}
// The target of a Unix symbolic link, stored as a "-lhd-" member named
// "link|target": the text behind the first real "|" (not the second byte of
// a double-byte character), or null when the name holds none.
const char* LinkTarget(const char* name);
// A member path ("/" separators) as Windows compares names, into out
// (PATH_BUFFER_SIZE bytes): letters in one case (the stub: PlatUpperCase;
// the host: every name Windows takes for one in one spelling,
// FoldNameLikeWindows), each component without its trailing dots and
// spaces, empty and "." components dropped. Two files whose folded paths are equal are one file on Windows:
// the run (ExtractionWorker) fails the later one with FAILURE_SAME_FILE.
// Returns the length of the folded path.
size_t FoldPath(const char* path, char* out);

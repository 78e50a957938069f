// Host-only settings of the POSIX platform layer, made by the host tool.
#pragma once
#include <stdint.h>
#include "platform/floor.h"

// The file the host tool works on stands in for "the program's own path".
void HostSetOwnPath(const char* path);
// Receivers of what the worker reports; any may be null.
struct HostCallbacks {
  void (*label)(const char* name);          // member about to be extracted
  void (*progress)(uint32_t position);      // new percentage
  void (*outcome)(SfxState* state, RunOutcome outcome);
  void (*error)(const char* text, const char* caption);
  void (*skipped_link)(const char* name);  // a symbolic link member, "link|target"
};
void HostSetCallbacks(const HostCallbacks* callbacks);
// Converts a Shift_JIS byte string to UTF-8 into out (capacity bytes, always
// terminated). Bytes that do not convert are copied as "\xNN" when escape is
// true, else unchanged. Returns false when out was too small.
bool HostSjisToUtf8(const char* sjis, char* out, uint32_t capacity, bool escape);
// Converts UTF-8 to Shift_JIS (code page 932); false when a character has no
// Shift_JIS form or out is too small.
bool HostUtf8ToSjis(const char* utf8, char* out, uint32_t capacity);
// True when text is valid UTF-8 (shortest forms, no surrogates).
bool HostIsUtf8(const char* text);
// How names are read: as Shift_JIS (code page 932), as UTF-8, or (auto) as
// UTF-8 only when a name is valid UTF-8 with at least one multi-byte
// character and is not plausible Shift_JIS, else as Shift_JIS; or as EUC-JP
// or Latin-1 (Amiga archives). Applies to paths on disk and to
// HostSjisToUtf8.
enum HostNames : int32_t {
  HOST_NAMES_AUTO = 0,
  HOST_NAMES_CP932 = 1,
  HOST_NAMES_UTF8 = 2,
  HOST_NAMES_EUCJP = 3,
  HOST_NAMES_LATIN1 = 4,
};
void HostSetNames(HostNames names);
// Sets the permission bits of a core path (no set-user-ID, set-group-ID or
// sticky bit, and none that the umask clears); false when that fails.
bool HostSetMode(const char* path, uint32_t mode);
// Gives the entry at a core path (a link itself, not what it points to; no
// link on the way) the owner uid and group gid, either (uint32_t)-1 to
// leave it; false when that fails.
bool HostSetOwner(const char* path, uint32_t uid, uint32_t gid);

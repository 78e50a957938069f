// The extraction run: the worker thread's body. It sums the members' sizes
// for the progress bar, then turns each member into a file or a directory
// under the current directory (the destination), and reports one outcome.
//
// A run ends in one of three ways: done (every member extracted intact),
// aborted (the user cleared g_continue) or failed (a member could not be
// produced intact, or the archive is damaged). Only a done run lets the front
// end make shortcuts and open a file, so every failure ends the run.
#include "extract/run.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/progress.h"
#include "platform/platform.h"
#include "platform/sjis.h"

#if !defined(_WIN32)
uint8_t g_allow_unix_names = 0;
uint8_t g_keep_damaged = 0;
#endif

namespace {

bool IsSeparator(uint8_t c) { return c == '/' || c == '\\'; }

// A component made only of dots and spaces with at least two dots: "..", and
// the forms that Windows trims to it ("...", ".. ").
bool IsParentComponent(const uint8_t* start, const uint8_t* end) {
  uint32_t dots = 0;
  for (const uint8_t* p = start; p < end; ++p) {
    if (*p == '.')
      ++dots;
    else if (*p != ' ')
      return false;
  }
  return dots >= 2;
}

// Makes the directory dir (a path with "/" separators, changed only
// temporarily) and any missing parents. Each level is tried directly first;
// only when that fails are the levels above it made, then it is tried again.
bool MakeDirectoryChain(char* dir) {
  size_t length = strlen(dir);
  while (length > 1 && dir[length - 1] == '/') dir[--length] = 0;
  PathKind kind = PlatPathKind(dir);
  if (kind != PATH_MISSING) return kind == PATH_DIRECTORY;
  if (PlatMakeDirectory(dir)) return true;
  char* slash = strrchr(dir, '/');
  if (!slash || slash == dir) return false;
  *slash = 0;
  bool parent_made = MakeDirectoryChain(dir);
  *slash = '/';
  return parent_made && PlatMakeDirectory(dir);
}

// Length of text, but at most limit (also where no terminator comes).
size_t BoundedLength(const char* text, size_t limit) {
  size_t length = 0;
  while (length < limit && text[length]) ++length;
  return length;
}

// Copies at most NAME_MAX_BYTES bytes of text into a NAME_BUFFER_SIZE buffer.
void CopyPath(char* to, const char* text) {
  size_t length = BoundedLength(text, NAME_MAX_BYTES);
  memcpy(to, text, length);
  to[length] = 0;
}

void SetFailure(SfxState* state, FailureKind kind, const char* name) {
  state->failure = kind;
  memset(state->failure_name, 0, sizeof state->failure_name);
  if (name) CopyPath(state->failure_name, name);
}

MemberResult Fail(SfxState* state, const MemberHeader* header, FailureKind kind) {
  SetFailure(state, kind, header->name);
  return MEMBER_FAILED;
}

// Removes the member's unfinished file and forgets it.
void DiscardOutput(SfxState* state, const char* path) {
  PlatRemoveFile(path);
  state->output_path[0] = 0;
}

// A "-lhd-" member: the directory itself and any missing parents.
MemberResult ExtractDirectory(SfxState* state, MemberHeader* header, const char* path) {
  char dir[NAME_BUFFER_SIZE];
  strcpy(dir, path);
  if (dir[0] && !MakeDirectoryChain(dir)) return Fail(state, header, FAILURE_CREATE);
  return g_continue ? MEMBER_NEXT : MEMBER_ABORTED;
}

// The member's path without one leading "/", as it is opened relative to the
// current directory; false when the name does not fit.
bool OutputPath(const MemberHeader* header, char* path) {
  const char* name = header->name;
  size_t length = BoundedLength(name, NAME_BUFFER_SIZE);
  if (length == NAME_BUFFER_SIZE) return false;
  if (name[0] == '/') {
    ++name;
    --length;
  }
  memcpy(path, name, length + 1);
  return true;
}

// The folded paths of the file members of the run so far, each in its own
// allocation, in a table of slots found by a hash of the path (open
// addressing, at most half full): one look-up per file member, however many
// came before it. Only ExtractionWorker keeps them (active): the host tool's
// extraction writes to Unix, which tells the names apart.
struct FileNames {
  char** slots;   // null, or a folded path
  uint32_t size;  // slots: 0, or a power of two
  uint32_t count;
#if !defined(_WIN32)
  bool active;
#endif
};
FileNames g_files;
#if defined(_WIN32)
// On Windows every extraction is the run's, and there is one run per
// process: the table starts empty.
const bool FILES_ACTIVE = true;
const bool ONE_RUN = true;
#else
#define FILES_ACTIVE g_files.active
const bool ONE_RUN = false;
#endif

// FNV-1a over the bytes of text.
uint32_t HashPath(const char* text) {
  uint32_t hash = 2166136261u;
  while (*text) hash = (hash ^ (uint8_t)*text++) * 16777619u;
  return hash;
}

// The slot that holds text, or the empty one where it belongs.
char** FindSlot(const FileNames* files, const char* text) {
  for (uint32_t i = HashPath(text);; ++i) {
    char** slot = &files->slots[i & (files->size - 1)];
    if (!*slot || strcmp(*slot, text) == 0) return slot;
  }
}

// Doubles the table (64 slots to begin with) and moves every path into it.
bool GrowFiles(FileNames* files) {
  char** old = files->slots;
  uint32_t old_size = files->size;
  uint32_t size = old_size ? old_size * 2 : 64;
  char** slots = static_cast<char**>(calloc(size, sizeof(char*)));
  if (!slots) return false;
  files->slots = slots;
  files->size = size;
  for (uint32_t i = 0; i < old_size; ++i)
    if (old[i]) *FindSlot(files, old[i]) = old[i];
  free(old);
  return true;
}

void ForgetFiles(FileNames* files) {
  for (uint32_t i = 0; i < files->size; ++i) free(files->slots[i]);
  free(files->slots);
  files->slots = nullptr;
  files->size = files->count = 0;
}

// A file member whose name Windows takes for an earlier one's would replace
// that file, so that it holds other bytes than the listing shows under
// either name: FAILURE_SAME_FILE. Else the member's folded path is recorded
// (FAILURE_MEMORY when it cannot be).
FailureKind RecordFile(FileNames* files, const char* path) {
  char folded[NAME_BUFFER_SIZE];
  size_t n = FoldPath(path, folded) + 1;
  if (files->count * 2 >= files->size && !GrowFiles(files)) return FAILURE_MEMORY;
  char** slot = FindSlot(files, folded);
  if (*slot) return FAILURE_SAME_FILE;
  char* copy = static_cast<char*>(malloc(n));
  if (!copy) return FAILURE_MEMORY;
  memcpy(copy, folded, n);
  *slot = copy;
  ++files->count;
  return FAILURE_NONE;
}

// Numbers the temporary files of a process.
uint32_t g_temporary_number;

// A new file for a member's data until it is complete and intact: in the
// folder of path, named "~vemoNNNN.tmp" (NNNN a number in four letters "a"
// to "p", the first such name not taken), its path into temp. Null when the name does
// not fit or the file cannot be made (its folder may be missing).
FILE* CreateTemporary(const char* path, char* temp) {
  strcpy(temp, path);
  char* slash = strrchr(temp, '/');
  char* name = slash ? slash + 1 : temp;
  if ((size_t)(name - temp) + 13 > NAME_MAX_BYTES) return nullptr;
  for (uint32_t tries = 0; tries < 256; ++tries) {
    uint32_t number = g_temporary_number++;
    memcpy(name, "~vemo", 5);
    for (uint32_t i = 0; i < 4; ++i) name[8 - i] = (char)('a' + ((number >> (4 * i)) & 15));
    memcpy(name + 9, ".tmp", 5);
    // Null now means that the folder is missing or closed.
    if (PlatPathKind(temp) == PATH_MISSING) return PlatCreateFile(temp);
  }
  return nullptr;
}

}  // namespace

// Names that Windows maps to devices in any folder, as keys of 8 bytes: a
// component's part before its first dot, at most 8 bytes, each ANDed with
// 0xDF. That makes letters upper case, spaces zero (so trailing spaces end
// the key), "$" 0x04 and "1" to "9" 0x11 to 0x19; a last digit is then
// made 0x11, so "com7.txt" gives the key of "COM1".
const char DEVICE_KEYS[][8] = {"CON", "PRN", "AUX", "NUL", "COM\x11", "LPT\x11", "CONIN\x04", "CONOUT\x04"};

bool IsDeviceComponent(const uint8_t* p, const uint8_t* end) {
  char key[9] = {};
  for (uint32_t n = 0; p < end && *p != '.' && n < 8; ++n) key[n] = (char)(*p++ & 0xDF);
  if (key[3] > 0x11 && key[3] <= 0x19 && key[4] == 0) key[3] = 0x11;
  for (const char* d : DEVICE_KEYS)
    if (memcmp(key, d, 8) == 0) return true;
  return false;
}

bool IsConfinedPath(const char* path, bool* bar) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(path);
  if (p[0] == 0 || IsSeparator(p[0])) return false;
  const uint8_t* component = p;
  while (true) {
    if (*p == 0 || IsSeparator(*p)) {
      if (IsParentComponent(component, p) ||
          (!g_allow_unix_names && IsDeviceComponent(component, p)))
        return false;
      if (*p == 0) return true;
      component = ++p;
    } else if (*p == '|' && bar) {
      *bar = true;
      ++p;
    } else if (*p == ':' && !g_allow_unix_names) {
      // A drive prefix, or on NTFS a stream of another file.
      return false;
    } else {
      p += SjisCharLength(p);
    }
  }
}

const char* LinkTarget(const char* name) {
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(name); *p; p += SjisCharLength(p))
    if (*p == '|') return reinterpret_cast<const char*>(p + 1);
  return nullptr;
}

bool MakeParentDirs(const char* path) {
  char dir[NAME_BUFFER_SIZE];
  size_t length = BoundedLength(path, NAME_BUFFER_SIZE);
  if (length == NAME_BUFFER_SIZE) return false;
  memcpy(dir, path, length + 1);
  char* slash = strrchr(dir, '/');
  if (!slash || slash == dir) return false;
  *slash = 0;
  return MakeDirectoryChain(dir);
}

size_t FoldPath(const char* path, char* out) {
#if !defined(_WIN32)
  // As Windows does: the whole name read as characters first (a lead byte
  // takes even a "/" or a dot after it), then its parts.
  char whole[PATH_BUFFER_SIZE];
  whole[FoldNameLikeWindows(path, (uint32_t)strlen(path), whole, PATH_MAX_BYTES)] = 0;
  path = whole;
#endif
  char* o = out;
  char* start = o;  // where the current component starts
  for (;;) {
    char c = *path++;
    // The reader has made every separator "/"; no second byte of a
    // character is a "/", a dot or a space.
    if (c == 0 || c == '/') {
      while (o != start && (o[-1] == '.' || o[-1] == ' ')) --o;
      if (c == 0) break;
      if (o != start) *o++ = '/';
      start = o;
    } else {
      *o++ = c;
    }
  }
  *o = 0;
#if defined(_WIN32)
  PlatUpperCase(out, (uint32_t)(o - out));
#endif
  return (size_t)(o - out);
}

FailureKind CheckMember(const MemberHeader* header, const char* path, int32_t* method) {
  int32_t index = FindMemberMethod(header->method);
  // An empty member whose name ends in "/" is a directory, whatever its
  // method (some archivers store empty folders as such -lh0- members).
  size_t length = strlen(path);
  if (header->unpacked_size == 0 && length != 0 && path[length - 1] == '/') index = METHOD_LHD;
  *method = index;
  bool directory = index == METHOD_LHD;
  bool bar = false;
  bool confined = IsConfinedPath(path, &bar);
  // A Unix symbolic link, "link|target" (LinkTarget): nothing is made for
  // it. A name refused before its "|" is reached stays refused.
  if (directory && bar) return CHECK_LINK;
  // A directory member may be named "/" (the destination itself); a file
  // needs a name of its own.
  if (!(directory && path[0] == 0) && !confined) return FAILURE_BAD_NAME;
  // Every row is stored, the directory or one with routines (the method
  // table's test holds it to that), so any known method can be decoded.
  if (index < 0) return FAILURE_METHOD;
  return FAILURE_NONE;
}

FailureKind DecodeChecked(SfxState* state, const MemberHeader* header, int32_t method, FILE* out) {
  DecodeStatus status = DECODE_DONE;
  const uint16_t crc = DecodeMember(state->archive, out, header->unpacked_size, header->packed_size, method, &status);
  // A decoder that runs past the declared size has read damaged data.
  int64_t written = PlatTell(out);
  bool oversized = written >= 0 && (uint64_t)written != (uint64_t)header->unpacked_size &&
                   status == DECODE_DONE;
  bool write_failed = ferror(out) != 0;
  if (fclose(out) != 0) write_failed = true;
  if (!g_continue || status == DECODE_ABORTED) return CHECK_ABORTED;
  if (status == DECODE_NO_MEMORY) return FAILURE_MEMORY;
  if (status == DECODE_DAMAGED) return FAILURE_DAMAGED;
  if (write_failed) return FAILURE_WRITE;
  if (oversized || (header->has_crc && crc != header->crc)) return FAILURE_CRC;
  return FAILURE_NONE;
}

MemberResult ExtractMember(SfxState* state, MemberHeader* header) {
  // A failure of this member must not make the front end remove the file of
  // the member before it.
  state->output_path[0] = 0;
  char path[NAME_BUFFER_SIZE];
  if (!OutputPath(header, path)) return Fail(state, header, FAILURE_CREATE);
  int32_t method;
  FailureKind failure = CheckMember(header, path, &method);
  if (failure == CHECK_LINK) {
    PlatSkippedLink(path);
    return MEMBER_NEXT;
  }
  if (failure != FAILURE_NONE) return Fail(state, header, failure);
  // Nothing is written through a link that already sits on the path.
  if (PlatLinkOnPath(path)) return Fail(state, header, FAILURE_LINK);
  if (method == METHOD_LHD) return ExtractDirectory(state, header, path);
  if (FILES_ACTIVE) {
    failure = RecordFile(&g_files, path);
    if (failure != FAILURE_NONE) return Fail(state, header, failure);
  }

  // The member is written to a file of its own beside its place, which
  // replaces an existing file of its name only once it is complete and
  // intact: damage, a full disk or an abort leave the old file as it was.
  char temp[NAME_BUFFER_SIZE];
  FILE* out = CreateTemporary(path, temp);
  if (!out) {
    MakeParentDirs(path);
    out = CreateTemporary(path, temp);
    if (!out) return Fail(state, header, FAILURE_CREATE);
  }
  // An abort removes it, here or in the front end.
  CopyPath(state->output_path, temp);
  failure = DecodeChecked(state, header, method, out);
  const bool keep = KeepsDamaged(failure);
  if (failure == FAILURE_NONE || keep) {
    PlatSetFileTime(temp, header->mtime);
    if (!PlatReplaceFile(temp, path)) failure = FAILURE_CREATE;
  }
  if (failure != FAILURE_NONE) {
    // Kept: the member fails as damaged, its file in place.
    if (keep && failure != FAILURE_CREATE) {
      state->output_path[0] = 0;
      return Fail(state, header, failure);
    }
    DiscardOutput(state, temp);
    return failure == CHECK_ABORTED ? MEMBER_ABORTED : Fail(state, header, failure);
  }
  // Complete: an abort from now on leaves it.
  state->output_path[0] = 0;
  return MEMBER_NEXT;
}

void ExtractionWorker(void* arg) {
  SfxState* state = static_cast<SfxState*>(arg);
  BuildCrcTable();
  g_done_bytes = 0;
  g_last_percent = 0;
  // A damaged or unknown header anywhere, or member data cut short, fails
  // the run before anything is written; the reader has shown "Unknown
  // header" once, here. The scan fails when the end cannot be found.
  int64_t end = StreamEnd(state->archive);
  FailureKind failure;
  g_total_bytes = SumUnpackedSizes(state, end, &failure);
  SetFailure(state, failure, nullptr);

  MemberWalk walk;
  WalkBegin(&walk, state, end);
  MemberHeader header;
  if (!ONE_RUN) ForgetFiles(&g_files);
#if !defined(_WIN32)
  g_files.active = true;
#endif
  while (failure == FAILURE_NONE) {
    WalkResult read = WalkNext(&walk, &header);
    if (read == WALK_END) break;
    if (read != WALK_MEMBER) {
      failure = WalkFailure(read);
      SetFailure(state, failure, nullptr);
      break;
    }
    PlatSetLabel(state->main_window, header.name);
    MemberResult result = ExtractMember(state, &header);
    if (result == MEMBER_ABORTED) break;
    if (result == MEMBER_FAILED) {
      failure = state->failure;
      break;
    }
    PlatNotifyCreated(header.name[0] == '/' ? header.name + 1 : header.name);
    g_done_bytes += header.unpacked_size;
  }

#if !defined(_WIN32)
  g_files.active = false;
#endif
  RunOutcome outcome = !g_continue ? OUTCOME_ABORTED : failure != FAILURE_NONE ? OUTCOME_FAILED : OUTCOME_DONE;
  if (outcome != OUTCOME_FAILED) SetFailure(state, FAILURE_NONE, nullptr);
  PlatReportOutcome(state, state->main_window, outcome, state->failure);
}

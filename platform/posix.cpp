// The platform layer for the host build (Linux). Core paths are Shift_JIS
// byte strings; they are converted to UTF-8 before they reach the file system.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "platform/host_hooks.h"
#include "platform/platform.h"
#include "platform/sjis.h"

namespace {

char own_path[PATH_BUFFER_SIZE];
HostCallbacks callbacks;
int32_t names_mode = HOST_NAMES_AUTO;

// Walks a UTF-8 string: false at the first byte that is not part of a valid
// shortest-form sequence (no surrogates); *multi tells whether a multi-byte
// character was seen.
bool WalkUtf8(const uint8_t* p, bool* multi) {
  *multi = false;
  while (*p) {
    uint8_t b = *p;
    uint32_t follow = b < 0x80 ? 0 : b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : 4;
    if (follow == 4) return false;
    if ((b == 0xE0 && p[1] < 0xA0) || (b == 0xED && p[1] >= 0xA0) || (b == 0xF0 && p[1] < 0x90) ||
        (b == 0xF4 && p[1] >= 0x90))
      return false;
    for (uint32_t i = 1; i <= follow; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    *multi = *multi || follow > 0;
    p += 1 + follow;
  }
  return true;
}

// Shift_JIS that a person would have written: every byte pair a real
// double-byte character and no half-width katakana, which UTF-8's
// continuation bytes turn into when UTF-8 is read as Shift_JIS.
bool IsPlausibleSjis(const uint8_t* p) {
  while (*p) {
    uint8_t b = *p;
    if (b < 0x80) {
      ++p;
    } else if (SjisCharLength(p) == 2) {
      p += 2;
    } else {
      return false;
    }
  }
  return true;
}

bool ReadAsUtf8(const char* name) {
  if (names_mode == HOST_NAMES_UTF8) return true;
  if (names_mode != HOST_NAMES_AUTO) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(name);
  bool multi;
  return WalkUtf8(p, &multi) && multi && !IsPlausibleSjis(p);
}

// Copies text unchanged into out; false when it does not fit.
bool CopyRaw(const char* text, char* out, uint32_t capacity) {
  size_t n = strlen(text);
  if (capacity == 0 || n >= capacity) {
    if (capacity) out[0] = 0;
    return false;
  }
  memcpy(out, text, n + 1);
  return true;
}

// Converts between encodings with iconv. Input bytes that do not convert are
// handed to on_bad, which writes their replacement. Returns false when out is
// too small or a byte was refused (on_bad returned false).
bool Convert(const char* from, const char* to, const char* in, char* out, uint32_t capacity,
             bool (*on_bad)(uint8_t byte, char** dst, size_t* room)) {
  if (capacity == 0) return false;
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) return false;
  char* src = const_cast<char*>(in);
  size_t left = strlen(in);
  char* dst = out;
  size_t room = capacity - 1;
  bool ok = true;
  while (left > 0) {
    if (iconv(cd, &src, &left, &dst, &room) != (size_t)-1) break;
    if (errno == E2BIG) {
      ok = false;
      break;
    }
    // EILSEQ or EINVAL: one byte that does not convert.
    if (!on_bad((uint8_t)*src, &dst, &room)) {
      ok = false;
      break;
    }
    ++src;
    --left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  *dst = 0;
  return ok;
}

bool KeepRaw(uint8_t byte, char** dst, size_t* room) {
  if (*room < 1) return false;
  *(*dst)++ = (char)byte;
  --*room;
  return true;
}

bool Escape(uint8_t byte, char** dst, size_t* room) {
  if (*room < 4) return false;
  static const char hex[] = "0123456789abcdef";
  char* d = *dst;
  d[0] = '\\';
  d[1] = 'x';
  d[2] = hex[byte >> 4];
  d[3] = hex[byte & 15];
  *dst += 4;
  *room -= 4;
  return true;
}

bool Refuse(uint8_t, char**, size_t*) { return false; }

// The encoding names are read in when they are not read as UTF-8 (iconv's
// names): Shift_JIS unless --names said EUC-JP or Latin-1.
const char* NameEncoding() {
  return names_mode == HOST_NAMES_EUCJP ? "EUC-JP" : names_mode == HOST_NAMES_LATIN1 ? "ISO-8859-1" : "CP932";
}

// Local (UTF-8) form of a core path: Shift_JIS (or what --names says)
// converted, bytes that do not convert kept as they are. A "\" is left alone
// (the header reader has already made each separator "/"; a "\" left is the
// second byte of a character).
bool LocalPath(const char* path, char* out, uint32_t capacity) {
  if (ReadAsUtf8(path)) return CopyRaw(path, out, capacity);
  if (!Convert(NameEncoding(), "UTF-8", path, out, capacity, KeepRaw)) return false;
  return true;
}

const uint32_t LOCAL_PATH_SIZE = 4 * NAME_BUFFER_SIZE;

struct ThreadStart {
  void (*body)(void*);
  void* arg;
};

void* ThreadMain(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  free(p);
  start.body(start.arg);
  return nullptr;
}

}  // namespace

void HostSetOwnPath(const char* path) {
  strncpy(own_path, path, PATH_MAX_BYTES);
  own_path[PATH_MAX_BYTES] = 0;
}

void HostSetCallbacks(const HostCallbacks* c) {
  if (c)
    callbacks = *c;
  else
    memset(&callbacks, 0, sizeof callbacks);
}

void HostSetNames(int32_t names) { names_mode = names; }

bool HostSjisToUtf8(const char* sjis, char* out, uint32_t capacity, bool escape) {
  if (ReadAsUtf8(sjis)) return CopyRaw(sjis, out, capacity);
  return Convert(NameEncoding(), "UTF-8", sjis, out, capacity, escape ? Escape : KeepRaw);
}

bool HostIsUtf8(const char* text) {
  bool multi;
  return WalkUtf8(reinterpret_cast<const uint8_t*>(text), &multi);
}

bool HostUtf8ToSjis(const char* utf8, char* out, uint32_t capacity) {
  return Convert("UTF-8", "CP932", utf8, out, capacity, Refuse);
}

bool PlatGetOwnPath(char* buffer) {
  memcpy(buffer, own_path, PATH_BUFFER_SIZE);
  return buffer[0] != 0;
}

bool PlatGetCurrentDir(char* buffer) {
  char local[LOCAL_PATH_SIZE];
  if (!getcwd(local, sizeof local)) {
    buffer[0] = 0;
    return false;
  }
  // The core's texts are Shift_JIS; a folder name that has no Shift_JIS form
  // is passed on as its raw bytes.
  if (HostUtf8ToSjis(local, buffer, PATH_BUFFER_SIZE)) return true;
  if (strlen(local) > PATH_MAX_BYTES) {
    buffer[0] = 0;
    return false;
  }
  memcpy(buffer, local, strlen(local) + 1);
  return true;
}

bool PlatGetWindowsDrive(char* buffer) {
  memcpy(buffer, "C:", 3);
  return true;
}

int32_t PlatTimezoneOffset() {
  tzset();
  return (int32_t)timezone;
}

int64_t PlatTell(FILE* stream) { return (int64_t)ftello(stream); }

bool PlatSeek(FILE* stream, int64_t position) {
  return position >= 0 && fseeko(stream, (off_t)position, SEEK_SET) == 0;
}

// Through the stream (not the file's status), so that a stream that cannot
// seek gives -1.
int64_t PlatStreamSize(FILE* stream) {
  off_t here = ftello(stream);
  if (here < 0 || fseeko(stream, 0, SEEK_END) != 0) return -1;
  off_t end = ftello(stream);
  if (fseeko(stream, here, SEEK_SET) != 0) return -1;
  return (int64_t)end;
}

FILE* PlatOpenFile(const char* path, const char* mode) {
  char local[LOCAL_PATH_SIZE];
  if (!LocalPath(path, local, sizeof local)) return nullptr;
  if (strcmp(mode, "wb") != 0) return fopen(local, mode);
  // A link put in place of the removed file is not followed.
  int fd = open(local, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}

void PlatRemoveFile(const char* path) {
  char local[LOCAL_PATH_SIZE];
  if (LocalPath(path, local, sizeof local)) unlink(local);
}

int32_t PlatPathKind(const char* path) {
  char local[LOCAL_PATH_SIZE];
  struct stat info;
  if (!LocalPath(path, local, sizeof local) || stat(local, &info) != 0) return PATH_MISSING;
  return S_ISDIR(info.st_mode) ? PATH_DIRECTORY : PATH_FILE;
}

bool PlatLinkOnPath(const char* path) {
  char local[LOCAL_PATH_SIZE];
  if (!LocalPath(path, local, sizeof local)) return false;
  for (char* p = local + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = 0;
    struct stat info;
    bool link = lstat(local, &info) == 0 && S_ISLNK(info.st_mode);
    *p = '/';
    if (link) return true;
  }
  return false;
}

void PlatUpperCase(char* text, uint32_t length) {
  // The double-byte small letters and the distance down to their capitals.
  static const struct {
    uint16_t first;
    uint8_t count, down;
  } RANGES[] = {{0x8281, 26, 0x21}, {0x83BF, 24, 0x20}, {0x8470, 15, 0x30}, {0x8480, 18, 0x31}};
  uint8_t* p = reinterpret_cast<uint8_t*>(text);
  uint8_t* end = p + length;
  while (p < end) {
    uint32_t c = *p;
    if (SjisCharLength(p, (size_t)(end - p)) == 2) {
      c = c << 8 | p[1];
      for (const auto& r : RANGES)
        if (c - r.first < r.count) c -= r.down;
      p[0] = (uint8_t)(c >> 8);
      p[1] = (uint8_t)c;
      p += 2;
    } else {
      if (c >= 'a' && c <= 'z') *p = (uint8_t)(c - ('a' - 'A'));
      ++p;
    }
  }
}

void PlatSkippedLink(const char* name) {
  if (callbacks.skipped_link) callbacks.skipped_link(name);
}

bool PlatMakeDirectory(const char* path) {
  char local[LOCAL_PATH_SIZE];
  return LocalPath(path, local, sizeof local) && mkdir(local, 0777) == 0;
}

// Times and modes are set on the path itself, never through a link that
// stands there (a directory member whose name is a link to a folder
// elsewhere, or a file swapped for a link after it was written).
void PlatSetFileTime(const char* path, uint32_t unix_time) {
  char local[LOCAL_PATH_SIZE];
  if (!LocalPath(path, local, sizeof local)) return;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = (time_t)unix_time;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, local, times, AT_SYMLINK_NOFOLLOW);
}

bool HostSetMode(const char* path, uint32_t mode) {
  char local[LOCAL_PATH_SIZE];
  if (!LocalPath(path, local, sizeof local)) return false;
  mode_t mask = umask(0);
  umask(mask);
  // Refused (EOPNOTSUPP) on a link.
  return fchmodat(AT_FDCWD, local, (mode_t)(mode & 0777 & ~mask), AT_SYMLINK_NOFOLLOW) == 0;
}

void PlatNotifyCreated(const char*) {}

uint32_t PlatAvailableMemory() {
  long pages = sysconf(_SC_AVPHYS_PAGES);
  long size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  unsigned long long bytes = (unsigned long long)pages * (unsigned long long)size;
  return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)bytes;
}

void PlatSetLabel(PlatHandle, const char* name) {
  if (callbacks.label) callbacks.label(name);
}

void PlatSetProgress(PlatHandle, uint32_t position) {
  if (callbacks.progress) callbacks.progress(position);
}

void PlatReportOutcome(SfxState* state, PlatHandle, uint32_t outcome, uint32_t) {
  if (callbacks.outcome) callbacks.outcome(state, outcome);
}

void PlatShowError(PlatHandle, const char* text, const char* caption) {
  if (callbacks.error)
    callbacks.error(text, caption);
  else
    fprintf(stderr, "%s: %s\n", caption, text);
}

bool PlatStartThread(void (*body)(void*), void* arg) {
  ThreadStart* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
  if (!start) return false;
  start->body = body;
  start->arg = arg;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ThreadMain, start) != 0) {
    free(start);
    return false;
  }
  pthread_detach(thread);
  return true;
}

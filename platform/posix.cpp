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
HostNames names_mode = HOST_NAMES_AUTO;

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

void HostSetNames(HostNames names) { names_mode = names; }

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

FILE* PlatOpenOwnFile(char* path) {
  memcpy(path, own_path, PATH_BUFFER_SIZE);
  return path[0] ? PlatOpenFile(path, "rb") : nullptr;
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

FILE* PlatCreateFile(const char* path) {
  char local[LOCAL_PATH_SIZE];
  if (!LocalPath(path, local, sizeof local)) return nullptr;
  int fd = open(local, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    close(fd);
    return nullptr;
  }
  // An extracted member is written in window areas of 256 KiB: through a
  // stream buffer each became two writes and a copy of a page.
  setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

bool PlatReplaceFile(const char* from, const char* to) {
  char local_from[LOCAL_PATH_SIZE], local_to[LOCAL_PATH_SIZE];
  return LocalPath(from, local_from, sizeof local_from) && LocalPath(to, local_to, sizeof local_to) &&
         rename(local_from, local_to) == 0;
}

void PlatRemoveFile(const char* path) {
  char local[LOCAL_PATH_SIZE];
  if (LocalPath(path, local, sizeof local)) unlink(local);
}

PathKind PlatPathKind(const char* path) {
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

namespace {

// Code page 932 as Windows reads and compares file names. Double-byte codes
// are numbered in order, 188 to a lead byte (the 189 trail bytes
// 0x40-0xFC without 0x7F): rows that run on from one lead byte to the next
// are one range.
uint32_t CodeIndex(uint32_t code) {
  uint32_t lead = code >> 8, trail = code & 0xFF;
  return (lead <= 0x9F ? lead - 0x81 : lead - 0xE0 + 31) * 188 + trail - (trail < 0x7F ? 0x40 : 0x41);
}

uint32_t CodeAt(uint32_t index) {
  uint32_t lead = index / 188, trail = index % 188;
  return (lead < 31 ? lead + 0x81 : lead - 31 + 0xE0) << 8 | (trail < 0x3F ? trail + 0x40 : trail + 0x41);
}

// The double-byte codes that code page 932 maps to a character, first and
// last of each run. Every other code, and a lead byte with no second byte,
// becomes the default character U+30FB, whose own code is 0x8145.
const uint16_t DEFINED[][2] = {
    {0x8140, 0x81AC}, {0x81B8, 0x81BF}, {0x81C8, 0x81CE}, {0x81DA, 0x81E8}, {0x81F0, 0x81F7},
    {0x81FC, 0x81FC}, {0x824F, 0x8258}, {0x8260, 0x8279}, {0x8281, 0x829A}, {0x829F, 0x82F1},
    {0x8340, 0x8396}, {0x839F, 0x83B6}, {0x83BF, 0x83D6}, {0x8440, 0x8460}, {0x8470, 0x8491},
    {0x849F, 0x84BE}, {0x8740, 0x875D}, {0x875F, 0x8775}, {0x877E, 0x879C}, {0x889F, 0x9872},
    {0x989F, 0xEAA4}, {0xED40, 0xEEEC}, {0xEEEF, 0xEEFC}, {0xF040, 0xFC4B},
};
const uint32_t DEFAULT_CODE = 0x8145;

// Codes whose character Windows takes for another code's: a small letter
// for its capital (upper case as CharUpperBuffW makes it), or one character
// that code page 932 has twice or three times (the NEC row 13 symbols, the
// NEC-selected and the IBM extensions), for the code WideCharToMultiByte
// gives it. Runs of count codes from first, onto the run from to.
const struct {
  uint16_t first, count, to;
} SAME_AS[] = {
    {0x8281, 26, 0x8260},   // full-width a-z
    {0x83BF, 24, 0x839F},   // Greek alpha-omega
    {0x8470, 33, 0x8440},   // Cyrillic a-ya
    {0x8790, 1, 0x81E0},    // approximately equal
    {0x8791, 1, 0x81DF},    // identical to
    {0x8792, 1, 0x81E7},    // integral
    {0x8795, 1, 0x81E3},    // square root
    {0x8796, 1, 0x81DB},    // up tack
    {0x8797, 1, 0x81DA},    // angle
    {0x879A, 1, 0x81E6},    // because
    {0x879B, 1, 0x81BF},    // intersection
    {0x879C, 1, 0x81BE},    // union
    {0xED40, 360, 0xFA5C},  // the NEC-selected kanji, as the IBM ones
    {0xEEEF, 10, 0x8754},   // small Roman numerals i-x (NEC-selected)
    {0xEEF9, 1, 0x81CA},    // not sign
    {0xEEFA, 3, 0xFA55},    // broken bar, apostrophe, quotation mark
    {0xFA40, 10, 0x8754},   // small Roman numerals i-x (IBM)
    {0xFA4A, 10, 0x8754},   // Roman numerals I-X (IBM)
    {0xFA54, 1, 0x81CA},    // not sign
    {0xFA58, 1, 0x878A},    // parenthesized ideograph stock
    {0xFA59, 1, 0x8782},    // numero sign
    {0xFA5A, 1, 0x8784},    // telephone sign
    {0xFA5B, 1, 0x81E6},    // because
};

// The code Windows compares a double-byte code as.
uint32_t CompareCodeOf(uint32_t code) {
  if (!SjisTrail((uint8_t)code)) return DEFAULT_CODE;
  uint32_t index = CodeIndex(code);
  bool defined = false;
  for (const auto& d : DEFINED) defined = defined || (index >= CodeIndex(d[0]) && index <= CodeIndex(d[1]));
  if (!defined) return DEFAULT_CODE;
  for (const auto& s : SAME_AS)
    if (index - CodeIndex(s.first) < s.count) return CodeAt(CodeIndex(s.to) + index - CodeIndex(s.first));
  return code;
}

// CompareCodeOf for every code of the 60 lead bytes, worked out once, on the
// first name that holds a double-byte character: building it costs about 14
// million instructions, which an all-ASCII archive should not pay.
struct CompareTable {
  uint16_t code[60][256];
  CompareTable() {
    for (uint32_t lead = 0x81; lead <= 0xFC; ++lead) {
      if (!SjisLead((uint8_t)lead)) continue;
      for (uint32_t trail = 0; trail < 256; ++trail)
        code[lead <= 0x9F ? lead - 0x81 : lead - 0xE0 + 31][trail] = (uint16_t)CompareCodeOf(lead << 8 | trail);
    }
  }
};

const CompareTable& FoldTable() {
  static const CompareTable table;
  return table;
}

}  // namespace

uint32_t FoldNameLikeWindows(const char* name, uint32_t length, char* out, uint32_t capacity) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(name);
  const uint8_t* end = p + length;
  uint32_t n = 0;
  while (p < end) {
    uint32_t b = *p++;
    if (SjisLead((uint8_t)b)) {
      // A lead byte takes the byte after it, whatever it is.
      uint32_t code = p < end ? FoldTable().code[b <= 0x9F ? b - 0x81 : b - 0xE0 + 31][*p++] : DEFAULT_CODE;
      if (n < capacity) out[n++] = (char)(code >> 8);
      if (n < capacity) out[n++] = (char)code;
    } else if (n < capacity) {
      out[n++] = (char)(b >= 'a' && b <= 'z' ? b - ('a' - 'A') : b);
    }
  }
  return n;
}

void PlatSkippedLink(const char* name) {
  if (callbacks.skipped_link) callbacks.skipped_link(name);
}

bool PlatMakeDirectory(const char* path) {
  char local[LOCAL_PATH_SIZE];
  return LocalPath(path, local, sizeof local) && mkdir(local, 0777) == 0;
}

namespace {

// The folder that holds a local path, opened part by part without following
// a link (a folder swapped for a link after the check cannot lead
// elsewhere), and in *base the last part (trailing "/" dropped: "d/" names
// the entry d itself, even when it is a link). -1 when a part is missing or
// a link.
int OpenParent(char* local, const char** base) {
  size_t length = strlen(local);
  while (length > 1 && local[length - 1] == '/') local[--length] = 0;
  char* slash = strrchr(local, '/');
  if (!slash) {
    *base = local;
    return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  *base = slash + 1;
  *slash = 0;
  int fd = open(local[0] == 0 ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (char* part = local; fd >= 0 && part < slash;) {
    char* end = strchr(part, '/');
    if (!end) end = slash;
    *end = 0;
    if (*part) {
      int next = openat(fd, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      close(fd);
      fd = next;
    }
    if (end != slash) *end = '/';
    part = end + 1;
  }
  return fd;
}

}  // namespace

// Times, modes and owners are set on the entry the path names itself,
// through its folder's descriptor, never through a link that stands there
// or on the way (a directory member whose name is a link to a folder
// elsewhere, a file or folder swapped for a link after it was written).
void PlatSetFileTime(const char* path, uint32_t unix_time) {
  char local[LOCAL_PATH_SIZE];
  const char* base;
  if (!LocalPath(path, local, sizeof local)) return;
  int fd = OpenParent(local, &base);
  if (fd < 0) return;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = (time_t)unix_time;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(fd, base, times, AT_SYMLINK_NOFOLLOW);
  close(fd);
}

bool HostSetMode(const char* path, uint32_t mode) {
  char local[LOCAL_PATH_SIZE];
  const char* base;
  if (!LocalPath(path, local, sizeof local)) return false;
  int fd = OpenParent(local, &base);
  if (fd < 0) return false;
  mode_t mask = umask(0);
  umask(mask);
  // Refused (EOPNOTSUPP) on a link.
  bool ok = fchmodat(fd, base, (mode_t)(mode & 0777 & ~mask), AT_SYMLINK_NOFOLLOW) == 0;
  close(fd);
  return ok;
}

bool HostSetOwner(const char* path, uint32_t uid, uint32_t gid) {
  char local[LOCAL_PATH_SIZE];
  const char* base;
  if (!LocalPath(path, local, sizeof local)) return false;
  int fd = OpenParent(local, &base);
  if (fd < 0) return false;
  bool ok = fchownat(fd, base, (uid_t)uid, (gid_t)gid, AT_SYMLINK_NOFOLLOW) == 0;
  close(fd);
  return ok;
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

void PlatReportOutcome(SfxState* state, PlatHandle, RunOutcome outcome, FailureKind) {
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

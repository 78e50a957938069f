#include "host/input.h"

#include "extract/run.h"
#include "extract/walk.h"

#include <ctype.h>
#include <errno.h>
#include <fnmatch.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "decode/format.h"
#include "decode/member.h"
#include "extract/run.h"

const char NOT_AN_ARCHIVE[] = "not an LZH archive or package";

namespace {

// The archive at the stream's position is empty (a lone 0 byte, or nothing
// behind a configuration block) or starts with something shaped like a
// member header: "-" around the method, a level the reader knows and a
// size that its rule for that level accepts. The position is left
// unchanged.
bool LooksLikeArchive(FILE* file, bool plain) {
  int64_t here = StreamPosition(file);
  uint8_t head[HEADER_COMMON_SIZE];
  size_t got = fread(head, 1, sizeof head, file);
  bool at_end = got == 0 || (got == 1 && head[0] == 0);
  if (at_end && got == 1 && fgetc(file) != EOF) at_end = false;
  if (!SeekStream(file, here)) return false;
  if (at_end) return !(plain && got == 0);
  if (got != sizeof head) return false;
  // Levels 0 and 1 count their basic header in byte 0, which must reach
  // the level byte; level 2 holds a 16-bit size there (its low byte 0 only
  // in a size of 256 bytes or a multiple), level 3 its word size.
  const uint8_t level = head[HEADER_LEVEL_AT];
  const uint32_t size = head[HEADER_SIZE_AT] | head[HEADER_SIZE_AT + 1] << 8;
  if (head[HEADER_SIZE_AT] == 0 && !(level == 2 && head[HEADER_SIZE_AT + 1] != 0)) return false;
  bool sized = level < 2    ? head[HEADER_SIZE_AT] > HEADER_LEVEL_AT
               : level == 2 ? size >= LEVEL2_BASIC_SIZE
                            : level == LEVEL_HOST_MAX && size == LEVEL3_WORD_SIZE;
  const char* method = reinterpret_cast<const char*>(head + HEADER_METHOD_AT);
  return sized && method[0] == '-' && method[METHOD_NAME_SIZE - 1] == '-';
}

void QuietError(const char*, const char*) {}

// Standard input read forward only, as a FILE that the member walk can use:
// ftell answers with the bytes taken, a forward seek reads and drops what it
// passes, and the last KEEP bytes taken are kept so that a step back to
// where the next header starts (behind what a decoder read ahead, at most
// its input buffer and the stdio buffer) is served from them. Its end is not
// known: a seek from the end fails, and so does one past the last byte.
class ForwardStream {
 public:
  static const int64_t KEEP = 512 * 1024;

  explicit ForwardStream(int fd) : fd_(fd), kept_(KEEP) {}

  ssize_t Read(char* buf, size_t size) {
    size_t done = 0;
    while (done < size && position_ < taken_) buf[done++] = (char)kept_[position_++ % KEEP];
    if (done < size) {
      ssize_t n = Take(buf + done, size - done);
      if (n < 0) return done ? (ssize_t)done : -1;
      position_ += n;
      done += (size_t)n;
    }
    return (ssize_t)done;
  }

  int Seek(off64_t* offset, int whence) {
    int64_t target = whence == SEEK_SET ? *offset : whence == SEEK_CUR ? position_ + *offset : -1;
    if (target < 0 || target < taken_ - KEEP) {
      errno = ESPIPE;
      return -1;
    }
    char scratch[65536];
    while (taken_ < target) {
      size_t want = target - taken_ < (int64_t)sizeof scratch ? (size_t)(target - taken_) : sizeof scratch;
      ssize_t n = Take(scratch, want);
      if (n <= 0) {  // the stream ends before the target
        position_ = taken_;
        errno = EINVAL;
        return -1;
      }
    }
    position_ = target;
    *offset = target;
    return 0;
  }

 private:
  // Reads from the descriptor, keeping what it takes.
  ssize_t Take(char* buf, size_t size) {
    ssize_t n;
    do n = read(fd_, buf, size);
    while (n < 0 && errno == EINTR);
    for (ssize_t i = 0; i < n; ++i) kept_[(taken_ + i) % KEEP] = (uint8_t)buf[i];
    if (n > 0) taken_ += n;
    return n;
  }

  int fd_;
  int64_t position_ = 0, taken_ = 0;
  std::vector<uint8_t> kept_;
};

FILE* OpenForwardStream(int fd) {
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.read = [](void* c, char* buf, size_t size) { return static_cast<ForwardStream*>(c)->Read(buf, size); };
  io.seek = [](void* c, off64_t* offset, int whence) { return static_cast<ForwardStream*>(c)->Seek(offset, whence); };
  io.close = [](void* c) {
    delete static_cast<ForwardStream*>(c);
    return 0;
  };
  ForwardStream* stream = new ForwardStream(fd);
  FILE* file = fopencookie(stream, "rb", io);
  if (!file) delete stream;
  return file;
}

// Standard input as the archive: a plain archive, or a package whose stub
// is read past to the payload at its fixed offset.
std::string OpenStandardInput(SfxState* state, bool* plain) {
  if (isatty(STDIN_FILENO)) return "standard input is a terminal; give an archive or pipe one in";
  FILE* file = OpenForwardStream(STDIN_FILENO);
  if (!file) return strerror(errno);
  state->archive = file;
  char magic[2] = {0, 0};
  size_t got = fread(magic, 1, 2, file);
  if (ferror(file)) return strerror(errno);
  if (!SeekStream(file, 0)) return "cannot read standard input";
  *plain = !(got == 2 && !memcmp(magic, PACKAGE_MAGIC, 2));
  if (!*plain && (!SeekStream(file, PAYLOAD_OFFSET) || !ReadConfig(state))) return NOT_AN_ARCHIVE;
  if (!LooksLikeArchive(file, *plain)) return NOT_AN_ARCHIVE;
  return "";
}

}  // namespace

// A package is read through the core's own payload code (OpenPayload finds
// the file by the path HostSetOwnPath gives, as the stub finds itself), so
// the tool and the stub cannot disagree on where a payload starts. A plain
// archive is read from its first byte with no configuration block.
std::string OpenInput(const char* path, SfxState* state, bool* plain) {
  if (!strcmp(path, "-")) return OpenStandardInput(state, plain);
  FILE* file = fopen(path, "rb");
  if (!file) return strerror(errno);
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    fclose(file);
    return strerror(EISDIR);
  }
  char magic[2] = {0, 0};
  size_t got = fread(magic, 1, 2, file);
  if (ferror(file)) {
    int code = errno;
    fclose(file);
    return strerror(code);
  }
  if (!SeekStream(file, 0)) {
    fclose(file);
    return "cannot read the file";
  }
  *plain = !(got == 2 && !memcmp(magic, PACKAGE_MAGIC, 2));
  if (*plain) {
    state->archive = file;
  } else {
    fclose(file);
    // The core names files in Shift_JIS.
    char sjis[PATH_BUFFER_SIZE];
    if (!HostUtf8ToSjis(path, sjis, sizeof sjis)) return "the path has no Shift_JIS form or is too long";
    HostSetOwnPath(sjis);
    // A Windows program without a payload behind it.
    if (!OpenPayload(state)) return NOT_AN_ARCHIVE;
  }
  if (!LooksLikeArchive(state->archive, *plain)) return NOT_AN_ARCHIVE;
  return "";
}

void InstallQuietCallbacks(HostCallbacks* callbacks) {
  memset(callbacks, 0, sizeof *callbacks);
  callbacks->error = QuietError;
  HostSetCallbacks(callbacks);
}

// The file's size bounds every member's data (a member that claims more is
// cut short); standard input has none, and the walk then learns the end
// when the data stops.
bool OpenCommandInput(const char* path, CommandInput* input) {
  InstallQuietCallbacks(&input->callbacks);
  InitSfxState(&input->state, nullptr);
  input->plain = true;
  input->end = -1;
  std::string problem = OpenInput(path, &input->state, &input->plain);
  if (problem.empty() && input->plain && !UseDefaultConfig(&input->state))
    problem = "the current directory does not fit in a path";
  struct stat info;
  if (problem.empty() && strcmp(path, "-") != 0) {
    if (fstat(fileno(input->state.archive), &info) == 0)
      input->end = (int64_t)info.st_size;
    else
      problem = strerror(errno);
  }
  if (!problem.empty()) {
    CloseCommandInput(input);
    Fail(path, problem);
    return false;
  }
  return true;
}

void CloseCommandInput(CommandInput* input) {
  FreeSfxState(&input->state);
  HostSetCallbacks(nullptr);
}

int Fail(const std::string& what, const std::string& problem) {
  fflush(stdout);
  fprintf(stderr, "vemosfx: %s: %s\n", what.c_str(), problem.c_str());
  return EXIT_FAILED;
}

// stdout is buffered: a full disk or a closed pipe shows only at the
// flush, so every command that writes results ends here.
int FinishOutput(int status) {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return status;
  int code = errno ? errno : EIO;
  fprintf(stderr, "vemosfx: cannot write to standard output: %s\n", strerror(code));
  return EXIT_FAILED;
}

int UsageError(const char* command, const std::string& message) {
  if (!message.empty()) fprintf(stderr, "vemosfx %s: %s\n", command, message.c_str());
  fprintf(stderr, "Try 'vemosfx %s --help' for more information.\n", command);
  return EXIT_USAGE;
}

// getopt_long leaves the offending word at argv[optind - 1]: a long option
// is named as typed (without its "=value", which may be long or secret), a
// short one by the letter, since the word may be a cluster such as "-kx".
int BadOption(const char* command, int c, char** argv) {
  std::string given = argv[optind - 1];
  bool long_form = given.compare(0, 2, "--") == 0;
  if (long_form) given = given.substr(0, given.find('='));
  std::string option = Printable(long_form || optopt == 0 ? given : std::string("-") + (char)optopt);
  if (c == ':') return UsageError(command, "'" + option + "' needs a value");
  return UsageError(command, "unknown option '" + option + "'");
}

int CommonOption(const OptionParser& parser, const char* command, const char* usage, int c, char** argv) {
  if (c == OPTION_NAMES) {
    int status = SetNames(command, optarg);
    return status ? status : -1;
  }
  if (c != 'h') return BadOption(command, c, argv);
  fputs(usage, stdout);
  parser.PrintHelp(stdout);
  return EXIT_OK;
}

// The spellings iconv and the peers use are taken as well ("sjis",
// "shift_jis", "utf8", "eucjp", "iso-8859-1"), since users type those.
int SetNames(const char* command, const char* value) {
  if (!strcmp(value, "auto"))
    HostSetNames(HOST_NAMES_AUTO);
  else if (!strcmp(value, "cp932") || !strcmp(value, "sjis") || !strcmp(value, "shift_jis"))
    HostSetNames(HOST_NAMES_CP932);
  else if (!strcmp(value, "utf-8") || !strcmp(value, "utf8"))
    HostSetNames(HOST_NAMES_UTF8);
  else if (!strcmp(value, "euc-jp") || !strcmp(value, "eucjp"))
    HostSetNames(HOST_NAMES_EUCJP);
  else if (!strcmp(value, "latin1") || !strcmp(value, "iso-8859-1"))
    HostSetNames(HOST_NAMES_LATIN1);
  else
    return UsageError(command, std::string("--names takes cp932, utf-8, euc-jp, latin1 or auto, not '") + value + "'");
  return 0;
}

std::string Utf8Raw(const char* text) {
  char out[4 * NAME_BUFFER_SIZE + 1];
  HostSjisToUtf8(text, out, sizeof out, true);
  return out;
}

// Names come from archives made by anyone: printed raw, "\e]0;...\a" would
// retitle the terminal and "\e[2J" clear it, and a "\r" could hide the
// real name behind a harmless one. Only whole UTF-8 characters pass, so a
// lone byte cannot start a sequence either.
std::string Printable(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size();) {
    uint8_t b = (uint8_t)text[i];
    size_t n = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    bool whole = n > 0 && i + n <= text.size() && HostIsUtf8(text.substr(i, n).c_str());
    uint32_t c = !whole ? 0x80 : n == 2 ? (uint32_t)(b & 0x1F) << 6 | (text[i + 1] & 0x3F) : b;
    if (!whole) n = 1;
    // C0 and C1 controls and DEL move the cursor, retitle the terminal or
    // start escape sequences; bytes outside UTF-8 may do so on some.
    if (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)) {
      out.append(text, i, n);
    } else if (c == '\r' || c == '\n' || c == '\t') {
      out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
    } else {
      out += n == 2 ? "\\u00" : "\\x";
      out += hex[(n == 2 ? c : b) >> 4];
      out += hex[(n == 2 ? c : b) & 15];
    }
    i += n;
  }
  return out;
}

std::string Utf8(const char* text) { return Printable(Utf8Raw(text)); }

// The words say what the user can do: a damaged member cannot be helped,
// a refused name names the option that lets it through, a file that cannot
// be created gets the system's reason appended by the caller.
std::string MemberProblem(FailureKind failure, const MemberHeader* header) {
  if (failure == FAILURE_METHOD && header)
    return "unsupported compression method " + std::string(header->method, METHOD_NAME_SIZE);
  // Of one member: its compressed data ends before its bytes do.
  if (failure == FAILURE_DAMAGED && header) return "the data is damaged (it ends too soon)";
  switch (failure) {
    case FAILURE_DAMAGED: return "the archive is damaged or cut short";
    case FAILURE_CRC: return "the data does not match its CRC (damaged)";
    case FAILURE_BAD_NAME:
      return "refused: the name leads outside the destination folder, or holds \":\" or a device "
             "name (--allow-unix-names lets those two through)";
    case FAILURE_LINK: return "refused: a folder on its path is a symbolic link";
    case FAILURE_SAME_FILE: return "refused: Windows takes its name for an earlier member's";
    case FAILURE_METHOD: return "unsupported compression method";
    case FAILURE_CREATE: return "cannot create the file";
    case FAILURE_UNKNOWN_HEADER: return "unknown header";
    case FAILURE_MEMORY: return "not enough memory for the member's dictionary";
    case FAILURE_WRITE: return "cannot write the file";
    case FAILURE_NONE:
    case CHECK_LINK:
    case CHECK_ABORTED: break;
  }
  return "failed";
}

namespace {

// FNV-1a over the folded path, then mixed so that linear probing sees every
// bit; never 0, which marks a free slot.
uint64_t NameHash(const char* folded) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(folded); *p; ++p) h = (h ^ *p) * 0x100000001B3ull;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h ? h : 1;
}

// The slot of hash: where it is, or the free one where it would go.
uint32_t FindSlot(const WindowsNames* names, uint64_t hash) {
  uint32_t mask = (uint32_t)names->hashes.size() - 1;
  uint32_t i = (uint32_t)hash & mask;
  while (names->hashes[i] != 0 && names->hashes[i] != hash) i = (i + 1) & mask;
  return i;
}

// Doubles the table while it may grow; false when it is at its largest.
bool Grow(WindowsNames* names) {
  size_t slots = names->hashes.size();
  if (slots >= SAME_FILE_SLOTS) return false;
  WindowsNames grown;
  grown.hashes.assign(slots ? slots * 2 : 1024, 0);
  grown.names.assign(grown.hashes.size(), 0);
  for (size_t i = 0; i < slots; ++i) {
    if (names->hashes[i] == 0) continue;
    uint32_t to = FindSlot(&grown, names->hashes[i]);
    grown.hashes[to] = names->hashes[i];
    grown.names[to] = names->names[i];
  }
  names->hashes.swap(grown.hashes);
  names->names.swap(grown.names);
  return true;
}

}  // namespace

std::string WalkProblem(WalkResult result) {
  switch (result) {
    case WALK_UNKNOWN: return "unknown header";
    case WALK_CUT_SHORT: return "the archive is cut short";
    case WALK_CHECKSUM: return "a member header does not match its checksum or CRC (damaged)";
    case WALK_STORED_SIZE: return "the header is damaged: a stored member cannot hold more than its data";
    case WALK_DAMAGED:
    case WALK_MEMBER:
    case WALK_END: break;
  }
  return MemberProblem(FAILURE_DAMAGED);
}

// Only the hashes are needed to find a pair; the first names are kept (up
// to SAME_FILE_TEXT bytes) only to say which earlier member it is. A
// member whose name was not kept is called "an earlier member".
void WarnSameFile(WindowsNames* names, const MemberHeader* header) {
  // The files the run would write: no directory, link or refused name.
  const char* local = LocalName(header->name);
  int32_t method;
  if (names->stopped || CheckMember(header, local, &method) != FAILURE_NONE || method == METHOD_LHD) return;
  char folded[NAME_BUFFER_SIZE];
  FoldPath(local, folded);
  uint64_t hash = NameHash(folded);
  // Filled to three quarters while the table grows, to seven eighths at its
  // largest (longer probes, but only near the end).
  size_t slots = names->hashes.size();
  if (names->count + 1 > slots / 4 * 3 && !(slots >= SAME_FILE_SLOTS && names->count + 1 <= slots / 8 * 7) &&
      !Grow(names)) {
    names->stopped = true;
    fflush(stdout);
    fprintf(stderr,
            "vemosfx: note: more than %u files; later names are not checked for the same file on Windows\n",
            names->count);
    return;
  }
  uint32_t slot = FindSlot(names, hash);
  if (names->hashes[slot] == 0) {
    names->hashes[slot] = hash;
    size_t length = strlen(header->name);
    if (names->text.size() + length + 1 <= SAME_FILE_TEXT) {
      names->names[slot] = (uint32_t)names->text.size() + 1;
      names->text.append(header->name, length + 1);
    }
    ++names->count;
    return;
  }
  // Equal 64-bit hashes of different paths: about one chance in 2^64 per
  // pair of names.
  uint32_t earlier = names->names[slot];
  std::string other = earlier ? Utf8(names->text.c_str() + earlier - 1) : "an earlier member";
  fflush(stdout);
  fprintf(stderr,
          "vemosfx: warning: %s: the same file as %s on Windows, which ignores letter case and trailing "
          "dots and spaces and reads a character code page 932 has twice as one; a package stops there\n",
          Utf8(header->name).c_str(), other.c_str());
}

// fnmatch without FNM_PATHNAME: "*" crosses "/", as tar and bsdtar match
// member names ("*.txt" finds docs/a.txt). A pattern naming a folder also
// selects what lies below it, by trying each leading part of the path.
bool Matches(const std::string& pattern, const std::string& path) {
  if (fnmatch(pattern.c_str(), path.c_str(), 0) == 0) return true;
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (fnmatch(pattern.c_str(), path.substr(0, slash).c_str(), 0) == 0) return true;
  return false;
}

std::vector<Pattern> Patterns(int count, char** texts) {
  std::vector<Pattern> patterns;
  for (int i = 0; i < count; ++i) patterns.push_back({PatternPath(texts[i])});
  return patterns;
}

bool Select(std::vector<Pattern>* patterns, const std::string& path) {
  bool selected = patterns->empty();
  for (Pattern& pattern : *patterns)
    if (Matches(pattern.text, path)) selected = pattern.matched = true;
  return selected;
}

std::string HeaderSelectionPath(const MemberHeader* header) {
  int32_t method;
  return SelectionPath(header, CheckMember(header, LocalName(header->name), &method) == CHECK_LINK);
}

int ReportUnmatched(const std::vector<Pattern>& patterns) {
  int status = 0;
  for (const Pattern& pattern : patterns)
    if (!pattern.matched) status = Fail(Printable(pattern.text), "not found in the archive");
  return status;
}

std::string TrimSlashes(std::string path) {
  size_t start = path.find_first_not_of('/');
  if (start == std::string::npos) return "";
  return path.substr(start, path.find_last_not_of('/') + 1 - start);
}

bool EndsWithFolded(const std::string& text, const char* suffix) {
  size_t n = strlen(suffix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (tolower((unsigned char)text[text.size() - n + i]) != suffix[i]) return false;
  return true;
}

std::string MemberPath(const char* name) { return TrimSlashes(Utf8Raw(name)); }

// A pattern is compared with MemberPath's form: "./docs/" and "docs" name
// the same folder. A lone "/" stays, so that it matches nothing rather
// than everything.
std::string PatternPath(std::string pattern) {
  while (pattern.size() > 2 && pattern.compare(0, 2, "./") == 0) pattern.erase(0, 2);
  while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
  return pattern;
}

// A link member's stored name is "link|target"; users name it by the link.
std::string SelectionPath(const MemberHeader* header, bool link) {
  std::string name = header->name;
  if (link) name.resize(LinkTarget(header->name) - 1 - header->name);
  return MemberPath(name.c_str());
}

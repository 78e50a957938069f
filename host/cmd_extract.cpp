// vemosfx extract [-C DIR] [-kOv] FILE [MEMBER...]: extracts the members (all,
// or those matching the MEMBER patterns) into DIR with the core's member
// routine, with a progress line on a terminal. Unlike the stub, which has
// nobody to ask and stops at the first failure, the tool reports a failed
// member and goes on with the next; the exit status tells at the end.
#include <errno.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/header.h"
#include "extract/payload.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "host/commands.h"
#include "host/input.h"
#include "platform/host_hooks.h"
#include "platform/host_system.h"
#include "platform/platform.h"

namespace {

const char EXTRACT_USAGE[] =
    "usage: vemosfx extract [-C DIR] [-kOv] [--names=MODE] [--allow-unix-names] FILE [MEMBER...]\n"
    "\n"
    "Extracts the members of a package or an LZH archive, all of them or those\n"
    "matching the MEMBER patterns (shell patterns; a directory brings what is\n"
    "below it). Existing files are replaced. A member that fails is reported and\n"
    "the others are still extracted; the exit status is then 1.\n"
    "\n"
    "  -C, --directory=DIR   extract into DIR (made if missing)\n"
    "  -k, --keep-old-files  leave existing files untouched\n"
    "  -O, --to-stdout       write the members' data to standard output\n"
    "  -v, --verbose         name each member\n"
    "      --names=MODE      how member names are read: cp932, utf-8 or auto\n"
    "      --allow-unix-names  let \":\" and device names (CON, NUL...) through,\n"
    "                        for archives meant for Unix\n"
    "  -h, --help            this help\n";

// ---- progress line and signals -----------------------------------------------

volatile sig_atomic_t g_signal = 0;
bool g_show = false;  // progress line on a terminal
std::string g_label;
uint32_t g_percent = 0;

void Draw() {
  struct winsize size;
  unsigned columns = 80;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
  const unsigned BAR = 30;
  unsigned shown = g_percent > 100 ? 100 : g_percent;
  unsigned filled = shown * BAR / 100;
  std::string bar(filled, '#');
  bar.append(BAR - filled, '.');
  // Room for the name: the line must not wrap, or "\r" would not return to it.
  std::string name = g_label;
  size_t room = columns > BAR + 10 ? columns - BAR - 10 : 0;
  if (name.size() > room) {
    size_t cut = room;
    while (cut > 0 && (name[cut] & 0xC0) == 0x80) --cut;  // whole UTF-8 characters only
    name.resize(cut);
  }
  fprintf(stderr, "\r\033[K%3u%% [%s] %s", shown, bar.c_str(), name.c_str());
  fflush(stderr);
}

void ClearLine() {
  if (g_show) fputs("\r\033[K", stderr);
}

// A Unix symbolic link member, "link|target", is never made.
void OnSkippedLink(const char* name) {
  const char* target = LinkTarget(name);
  std::string link(name, target - 1 - name);
  ClearLine();
  fprintf(stderr, "vemosfx: %s: symbolic link to %s skipped\n", Utf8(link.c_str()).c_str(),
          Utf8(target).c_str());
}

void OnProgress(uint32_t position) {
  if (!g_show) return;
  g_percent = position;
  Draw();
}

// Ctrl-C, SIGTERM and SIGHUP are the abort button: the run stops at its next
// poll and removes the file it was writing. A second one ends the process at
// once.
void OnSignal(int number) {
  g_signal = number;
  g_continue = 0;
}

void CatchSignals() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

// ---- member patterns ------------------------------------------------------------

struct Pattern {
  std::string text;
  bool matched = false;
};

// A member matches a pattern when its path, or a directory above it, does.
bool Matches(const std::string& pattern, const std::string& path) {
  if (fnmatch(pattern.c_str(), path.c_str(), 0) == 0) return true;
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (fnmatch(pattern.c_str(), path.substr(0, slash).c_str(), 0) == 0) return true;
  return false;
}

// The path a user types for a member: UTF-8, no leading or trailing "/".
std::string MemberPath(const char* name) {
  std::string path = Utf8(name);
  while (!path.empty() && path[0] == '/') path.erase(0, 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

std::string PatternPath(std::string pattern) {
  while (pattern.size() > 2 && pattern.compare(0, 2, "./") == 0) pattern.erase(0, 2);
  while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
  return pattern;
}

// ---- the run ------------------------------------------------------------------

struct Options {
  const char* dir = nullptr;
  bool keep_old = false;
  bool to_stdout = false;
  bool verbose = false;
  std::vector<Pattern> patterns;
};

struct Directory {
  std::string path;  // core path (Shift_JIS), relative to the destination
  uint32_t mtime;
  int32_t mode;  // -1: none stored
};

bool Seek(FILE* stream, int64_t position) { return position >= 0 && fseek(stream, (long)position, SEEK_SET) == 0; }

// One member that CheckMember accepted, to standard output: decoded and
// judged as when extracted, nothing on disk.
uint32_t ToStdout(SfxState* state, const MemberHeader* header, int32_t method) {
  uint64_t count = 0;
  fflush(stdout);
  FILE* out = HostCountingStream(STDOUT_FILENO, &count);
  if (!out) return FAILURE_MEMORY;
  uint32_t failure = DecodeChecked(state, header, method, out);
  return failure == CHECK_ABORTED ? FAILURE_NONE : failure;
}

int Run(CommandInput* input, const char* path, Options* options) {
  SfxState* state = &input->state;
  FILE* archive = state->archive;
  FILE* names = options->to_stdout ? stderr : stdout;
  BuildCrcTable();
  g_done_bytes = 0;
  g_last_percent = 0;
  uint32_t damaged = FAILURE_NONE;
  g_total_bytes = SumUnpackedSizes(state, &damaged);
  int64_t end = (int64_t)input->size;
  int status = EXIT_OK;
  std::vector<Directory> directories;
  MemberHeader header;
  while (g_continue) {
    int32_t read = ReadMemberHeader(state, &header);
    if (read == HEADER_END) break;
    if (read != HEADER_READ) {
      ClearLine();
      status = Fail(path, MemberProblem(read == HEADER_UNKNOWN ? FAILURE_UNKNOWN_HEADER : FAILURE_DAMAGED));
      break;
    }
    int64_t next;
    std::string member = MemberPath(header.name);
    if (!MemberDataFits(state, &header, end, &next)) {
      ClearLine();
      status = Fail(member, "the data is cut short (the archive is damaged)");
      break;
    }
    bool selected = options->patterns.empty();
    for (Pattern& pattern : options->patterns)
      if (Matches(pattern.text, member)) selected = pattern.matched = true;
    // The core's judge says what the member is: a link, or a directory
    // (also an empty member whose name ends in "/").
    const char* local = header.name[0] == '/' ? header.name + 1 : header.name;
    int32_t method;
    uint32_t check = CheckMember(&header, local, &method);
    bool link = check == CHECK_LINK;
    bool directory = !link && method == METHOD_LHD;
    if (selected && !(options->to_stdout && directory)) {
      if (g_show) {
        g_label = Utf8(header.name);
        Draw();
      }
      if (options->verbose) {
        ClearLine();
        fprintf(names, "%s%s\n", member.c_str(), directory && !member.empty() ? "/" : "");
        fflush(names);
      }
      uint32_t failure = FAILURE_NONE;
      int error = 0;
      if (options->to_stdout) {
        if (check == FAILURE_NONE)
          failure = ToStdout(state, &header, method);
        else if (!link)
          failure = check;
        error = errno;
      } else if (options->keep_old && !directory && PlatPathKind(local) != PATH_MISSING) {
        ClearLine();
        fprintf(stderr, "vemosfx: %s: kept the existing file\n", member.c_str());
      } else {
        errno = 0;
        int32_t result = ExtractMember(state, &header);
        error = errno;
        if (result == MEMBER_FAILED) failure = state->failure;
        // A finished member is no longer the file an interrupt removes.
        if (result == MEMBER_NEXT) state->output_path[0] = 0;
        int32_t mode = header.has_unix_mode ? header.unix_mode : -1;
        if (result == MEMBER_NEXT && directory) directories.push_back({local, header.mtime, mode});
        if (result == MEMBER_NEXT && !directory && !link && mode >= 0) HostSetMode(local, (uint32_t)mode);
      }
      if (!g_continue) break;
      if (failure != FAILURE_NONE) {
        std::string problem = options->to_stdout && failure == FAILURE_WRITE
                                  ? "cannot write to standard output"
                                  : MemberProblem(failure, &header);
        if ((failure == FAILURE_CREATE || failure == FAILURE_WRITE) && error != 0)
          problem += std::string(": ") + strerror(error);
        ClearLine();
        status = Fail(member, problem);
      }
    }
    // The next header lies behind the member's data, however far the decoder
    // has read ahead.
    if (!Seek(archive, next)) {
      ClearLine();
      status = Fail(path, MemberProblem(FAILURE_DAMAGED));
      break;
    }
    g_done_bytes += header.unpacked_size;
  }
  // A directory's time and mode are set once nothing more is written into
  // it (a read-only mode would stop its own contents).
  for (const Directory& d : directories) {
    if (d.mode >= 0) HostSetMode(d.path.c_str(), (uint32_t)d.mode);
    PlatSetFileTime(d.path.c_str(), d.mtime);
  }
  ClearLine();
  if (!g_continue) return status;
  for (const Pattern& pattern : options->patterns)
    if (!pattern.matched) status = Fail(pattern.text, "not found in the archive");
  return status;
}

}  // namespace

const int OPTION_UNIX_NAMES = 0x101;

int CmdExtract(int argc, char** argv) {
  static const option LONG_OPTIONS[] = {{"directory", required_argument, nullptr, 'C'},
                                        {"keep-old-files", no_argument, nullptr, 'k'},
                                        {"to-stdout", no_argument, nullptr, 'O'},
                                        {"verbose", no_argument, nullptr, 'v'},
                                        {"allow-unix-names", no_argument, nullptr, OPTION_UNIX_NAMES},
                                        COMMON_LONG_OPTIONS};
  Options options;
  argv[0] = const_cast<char*>("vemosfx extract");
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, "C:kOvh", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
      case 'C':
        if (!*optarg) return UsageError("extract", "-C needs a directory");
        options.dir = optarg;
        break;
      case 'k': options.keep_old = true; break;
      case 'O': options.to_stdout = true; break;
      case 'v': options.verbose = true; break;
      case OPTION_UNIX_NAMES: g_allow_unix_names = 1; break;
      case OPTION_NAMES:
        if (int status = SetNames("extract", optarg)) return status;
        break;
      case OPTION_HELP: fputs(EXTRACT_USAGE, stdout); return EXIT_OK;
      default: return UsageError("extract", "");
    }
  }
  if (optind >= argc) return UsageError("extract", "no FILE given");
  const char* path = argv[optind];
  for (int i = optind + 1; i < argc; ++i) options.patterns.push_back({PatternPath(argv[i])});

  // The input is opened before changing into DIR, so a relative FILE works.
  CommandInput input;
  if (!OpenCommandInput(path, &input)) return EXIT_FAILED;
  // Members are created relative to the current directory.
  if (options.dir && !options.to_stdout) {
    std::error_code error;
    std::filesystem::create_directories(options.dir, error);
    if (chdir(options.dir) != 0) {
      // The reason the folder could not be made, rather than its absence.
      int code = error ? error.value() : errno;
      CloseCommandInput(&input);
      return Fail(options.dir, strerror(code));
    }
  }
  // No progress line between the data of -O.
  g_show = isatty(STDERR_FILENO) != 0 && !options.to_stdout;
  input.callbacks.progress = OnProgress;
  input.callbacks.skipped_link = OnSkippedLink;
  HostSetCallbacks(&input.callbacks);
  CatchSignals();

  int status = Run(&input, path, &options);

  if (g_signal != 0 || !g_continue) {
    // As after the abort button: the file being written goes.
    if (input.state.output_path[0]) PlatRemoveFile(input.state.output_path);
    fprintf(stderr, "vemosfx: %s\n", g_signal == SIGINT ? "interrupted" : g_signal ? strsignal(g_signal) : "aborted");
    status = 128 + (g_signal ? (int)g_signal : SIGINT);
  }
  CloseCommandInput(&input);
  return status;
}

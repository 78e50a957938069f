// vemosfx extract [-C DIR] FILE: the real extraction run (ExtractionWorker on
// a worker thread, as on Windows) into DIR, with a progress line on a
// terminal. vemosfx test FILE: decodes every member and checks its CRC
// without writing anything.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/header.h"
#include "extract/payload.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "host/commands.h"
#include "host/input.h"
#include "platform/host_hooks.h"
#include "platform/platform.h"

namespace {

const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;
const int EXIT_INTERRUPTED = 130;

std::string Utf8(const char* sjis) {
  char out[4 * PATH_BUFFER_SIZE];
  HostSjisToUtf8(sjis, out, sizeof out, true);
  return out;
}

int Fail(const std::string& what, const std::string& problem) {
  fflush(stdout);
  fprintf(stderr, "vemosfx: %s: %s\n", what.c_str(), problem.c_str());
  return EXIT_FAILED;
}

std::string Problem(uint32_t failure) {
  switch (failure) {
    case FAILURE_DAMAGED: return "the archive is damaged or cut short";
    case FAILURE_CRC: return "the data does not match its CRC (damaged)";
    case FAILURE_BAD_NAME:
      return "refused: the name leads outside the destination folder, or holds \":\" or a device "
             "name (--allow-unix-names lets those two through)";
    case FAILURE_METHOD: return "unsupported compression method";
    case FAILURE_CREATE: return "cannot create the file (or the path is too long)";
    case FAILURE_UNKNOWN_HEADER: return "unknown header";
    case FAILURE_MEMORY: return "not enough memory for the member's dictionary";
    case FAILURE_WRITE: return "the file could not be written completely (disk full?)";
    case FAILURE_LINK: return "refused: a folder on its path is a symbolic link";
    default: return "failed";
  }
}

// ---- extract: the worker's reports ------------------------------------------

std::mutex g_mutex;
std::condition_variable g_finished_cv;
bool g_finished = false;
uint32_t g_outcome = OUTCOME_DONE;
volatile sig_atomic_t g_interrupted = 0;

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

void OnLabel(const char* name) {
  if (!g_show) return;
  g_label = Utf8(name);
  Draw();
}

void OnProgress(uint32_t position) {
  if (!g_show) return;
  g_percent = position;
  Draw();
}

void OnOutcome(SfxState*, uint32_t outcome) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_outcome = outcome;
  g_finished = true;
  g_finished_cv.notify_all();
}

void OnSkippedLink(const char* name) {
  const char* target = LinkTarget(name);
  std::string link(name, target - 1 - name);
  if (g_show) fputs("\r\033[K", stderr);
  fprintf(stderr, "vemosfx: %s: symbolic link to %s skipped\n", Utf8(link.c_str()).c_str(),
          Utf8(target).c_str());
}

// Ctrl-C is the abort button: the run stops at its next poll and removes the
// file it was writing. A second Ctrl-C ends the process at once.
void OnInterrupt(int) {
  g_interrupted = 1;
  g_continue = 0;
}

int ExtractUsage() {
  fputs("usage: vemosfx extract [-C DIR] [--allow-unix-names] FILE\n", stderr);
  return EXIT_USAGE;
}

// ---- test: a sink that counts what the decoder writes ------------------------

ssize_t CountWrite(void* cookie, const char*, size_t size) {
  *static_cast<uint64_t*>(cookie) += size;
  return (ssize_t)size;
}

}  // namespace

int CmdExtract(int argc, char** argv) {
  const char* dir = nullptr;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "-C")) {
      if (++i >= argc || dir) return ExtractUsage();
      dir = argv[i];
    } else if (!strncmp(argv[i], "-C", 2) && !dir) {
      dir = argv[i] + 2;
    } else if (!strcmp(argv[i], "--allow-unix-names")) {
      g_allow_unix_names = 1;
    } else if (argv[i][0] == '-' && argv[i][1] != 0) {
      return ExtractUsage();
    } else if (!path) {
      path = argv[i];
    } else {
      return ExtractUsage();
    }
  }
  if (!path || (dir && !*dir)) return ExtractUsage();

  HostCallbacks callbacks;
  InstallQuietCallbacks(&callbacks);

  // The input is opened before changing into DIR, so a relative FILE works.
  SfxState state;
  InitSfxState(&state, nullptr);
  bool plain = true;
  std::string problem = OpenInput(path, &state, &plain);
  if (!problem.empty()) {
    FreeSfxState(&state);
    return Fail(path, problem);
  }
  // Members are created relative to the current directory.
  if (dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (chdir(dir) != 0) {
      int code = errno;
      FreeSfxState(&state);
      return Fail(dir, strerror(code));
    }
  }
  if (plain && !UseDefaultConfig(&state)) {
    FreeSfxState(&state);
    return Fail(path, "the current directory does not fit in a path");
  }

  g_show = isatty(STDERR_FILENO) != 0;
  callbacks.label = OnLabel;
  callbacks.progress = OnProgress;
  callbacks.outcome = OnOutcome;
  callbacks.skipped_link = OnSkippedLink;
  HostSetCallbacks(&callbacks);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  if (!PlatStartThread(ExtractionWorker, &state)) {
    FreeSfxState(&state);
    return Fail(path, "cannot start the extraction thread");
  }
  uint32_t outcome;
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_finished_cv.wait(lock, [] { return g_finished; });
    outcome = g_outcome;
  }
  signal(SIGINT, SIG_DFL);
  if (g_show) fputs("\r\033[K", stderr);

  int status = 0;
  if (outcome == OUTCOME_ABORTED) {
    // As after the abort button: the file being written goes.
    if (state.output_path[0]) PlatRemoveFile(state.output_path);
    fprintf(stderr, "vemosfx: %s\n", g_interrupted ? "interrupted" : "aborted");
    status = EXIT_INTERRUPTED;
  } else if (outcome == OUTCOME_FAILED) {
    if (state.failure_name[0])
      status = Fail(Utf8(state.failure_name), Problem(state.failure));
    else
      status = Fail(path, Problem(state.failure));
  }
  FreeSfxState(&state);
  HostSetCallbacks(nullptr);
  return status;
}

int CmdTest(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: vemosfx test FILE\n", stderr);
    return EXIT_USAGE;
  }
  const char* path = argv[1];
  HostCallbacks callbacks;
  InstallQuietCallbacks(&callbacks);

  SfxState state;
  InitSfxState(&state, nullptr);
  bool plain = true;
  std::string problem = OpenInput(path, &state, &plain);
  if (!problem.empty() || (plain && !UseDefaultConfig(&state))) {
    FreeSfxState(&state);
    return Fail(path, problem.empty() ? "the current directory does not fit in a path" : problem);
  }
  FILE* archive = state.archive;
  long here = ftell(archive);
  long end = -1;
  if (here >= 0 && fseek(archive, 0, SEEK_END) == 0) end = ftell(archive);
  if (end < 0 || fseek(archive, here, SEEK_SET) != 0) {
    FreeSfxState(&state);
    return Fail(path, "cannot read the file");
  }

  BuildCrcTable();
  uint32_t members = 0, intact = 0;
  bool archive_problem = false;
  MemberHeader header;
  while (true) {
    int32_t read = ReadMemberHeader(&state, &header);
    if (read == HEADER_END) break;
    if (read != HEADER_READ) {
      printf("FAILED  %s\n", read == HEADER_UNKNOWN ? "unknown header" : "the archive is damaged or cut short");
      archive_problem = true;
      break;
    }
    ++members;
    std::string name = Utf8(header.name);
    long pos = ftell(archive);
    int32_t method = FindMethod(header.method);
    int64_t next = (int64_t)pos + header.packed_size;
    int64_t read_end = next;
    if (method == METHOD_LH0 || method == METHOD_LZ4) read_end = (int64_t)pos + header.unpacked_size;
    if (pos < 0 || next > end || read_end > end) {
      printf("FAILED  %s: the data is cut short\n", name.c_str());
      archive_problem = true;
      break;
    }
    const char* stripped = header.name[0] == '/' ? header.name + 1 : header.name;
    std::string result;
    if (!(method == METHOD_LHD && !*stripped) && !IsConfinedPath(stripped)) {
      result = Problem(FAILURE_BAD_NAME);
    } else if (method < 0) {
      result = "unsupported compression method " + std::string(header.method, 5);
    } else if (method != METHOD_LHD) {
      uint64_t count = 0;
      cookie_io_functions_t io;
      memset(&io, 0, sizeof io);
      io.write = CountWrite;
      FILE* sink = fopencookie(&count, "wb", io);
      if (!sink) {
        FreeSfxState(&state);
        return Fail(path, "cannot make the output sink");
      }
      int32_t status = DECODE_DONE;
      uint16_t crc = DecodeMember(&state, sink, header.unpacked_size, header.packed_size, "", method, &status);
      fclose(sink);
      if (status == DECODE_NO_MEMORY)
        result = Problem(FAILURE_MEMORY);
      else if (count != header.unpacked_size || (header.has_crc && crc != header.crc))
        result = Problem(FAILURE_CRC);
    }
    if (result.empty()) {
      ++intact;
      printf("ok      %s%s\n", name.c_str(), method == METHOD_LHD ? "" : header.has_crc ? "" : " (no CRC stored)");
    } else {
      printf("FAILED  %s: %s\n", name.c_str(), result.c_str());
    }
    if (fseek(archive, (long)next, SEEK_SET) != 0) {
      archive_problem = true;
      break;
    }
  }
  FreeSfxState(&state);
  HostSetCallbacks(nullptr);
  bool all = intact == members && !archive_problem;
  printf("%u member%s, %u intact, %u failed%s\n", members, members == 1 ? "" : "s", intact, members - intact,
         archive_problem ? ", archive damaged" : "");
  return all ? 0 : EXIT_FAILED;
}

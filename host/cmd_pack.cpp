// vemosfx pack: writes an LZH archive, or a package (stub, configuration
// block, archive).
#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "extract/payload.h"
#include "host/commands.h"
#include "host/input.h"
#include "pack/package.h"

// The product stub, embedded at build time (size 0 when it was not built).
extern const unsigned char g_embedded_stub[];
extern const unsigned int g_embedded_stub_size;

namespace {

const char PACK_USAGE[] =
    "usage: vemosfx pack -o OUT [options] PATH...\n"
    "\n"
    "Packs files and folders (folders recursively, in sorted order) into OUT:\n"
    "a plain LZH archive, or a package (the stub, a configuration block and the\n"
    "archive). --format says which; without it OUT's name does: .lzh for an\n"
    "archive, .exe for a package.\n"
    "\n"
    "  -o OUT                the file to write (replaced only when complete);\n"
    "                        - for standard output (archives only)\n"
    "  -C DIR                take the PATHs relative to DIR; member names are the\n"
    "                        PATHs as given, with \"/\" separators\n"
    "  --format lzh|package  what to write\n"
    "  --method M            lh0 (store), lh5 (default), lh6 or lh7\n"
    "  --level N             1 (fastest) to 9 (smallest), default 5: levels 1-4\n"
    "                        match greedily or lazily (level 1 takes a third of\n"
    "                        the default's time and writes 7-10% more), 5-9 by\n"
    "                        near-optimal parsing\n"
    "  --best                level 9: about 1.5% smaller than the default, in\n"
    "                        about twice its time\n"
    "  -j, --threads N       compress on N threads (default: the online CPUs);\n"
    "                        the output is the same for every N; about 22 MB of\n"
    "                        memory per thread\n"
    "  -L, --dereference     follow symbolic links (packages need it to hold what\n"
    "                        links point to); without it an archive stores links\n"
    "  --mtime @N            every member's time is N (seconds since 1970 UTC);\n"
    "                        otherwise SOURCE_DATE_EPOCH, when set, is the latest\n"
    "  --allow-unix-names    archives only: allow names Windows cannot create\n"
    "                        (CON, nul.txt, a trailing dot or space)\n"
    "\n"
    "Package options:\n"
    "  --stub FILE           the stub to put in front (exactly 23040 bytes, \"MZ\");\n"
    "                        default: the stub built into this tool\n"
    "  --no-dialog           no dialog: extract into the current directory\n"
    "  --title TEXT          window and dialog title (default \"" DEFAULT_TITLE "\")\n"
    "  --base current|program-files\n"
    "                        the folder --dest is taken in (default current)\n"
    "  --dest SUBPATH        destination below the base, relative, without \"..\"\n"
    "                        (default: the base itself)\n"
    "  --shortcut TARGET     file member, relative to the destination, the\n"
    "                        shortcuts open\n"
    "  --start-menu MODE     shortcut in the Start menu's Programs folder\n"
    "  --desktop MODE        shortcut on the desktop\n"
    "  --send-to MODE        shortcut in the SendTo folder\n"
    "                        MODE: no (unticked, greyed; default), ask-no (unticked),\n"
    "                        ask-yes (ticked), yes (ticked, greyed)\n"
    "  --open FILE           file member, relative to the destination, opened\n"
    "                        afterwards\n"
    "\n"
    "Texts are UTF-8 and stored as Shift_JIS, at most 255 bytes each.\n"
    "Exit status: 0 written, 1 an input was refused (nothing written), 2 usage,\n"
    "130/143 interrupted (nothing written).\n";

int Usage(const std::string& message) {
  fprintf(stderr, "vemosfx pack: %s\n", message.c_str());
  fputs("try 'vemosfx pack --help'\n", stderr);
  return 2;
}

// Messages name files on disk, whose names may hold control characters.
int Refuse(const std::string& message) {
  fprintf(stderr, "vemosfx pack: %s\n", Printable(message).c_str());
  return 1;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "'" + path + "': " + strerror(errno);
    return false;
  }
  data->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    data->insert(data->end(), buf, buf + n);
    if (data->size() > PAYLOAD_OFFSET) break;  // too long in any case
  }
  fclose(f);
  return true;
}

// The progress line: members and bytes done of the total, and the rate.
struct Progress {
  bool show = false;
  size_t files = 0, files_done = 0;
  uint64_t bytes = 0, bytes_done = 0;
  struct timespec start = {0, 0}, last = {0, 0};

  static double Seconds(const struct timespec& a, const struct timespec& b) {
    return (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9;
  }

  void Update(uint64_t n, bool member_done) {
    bytes_done += n;
    if (member_done) ++files_done;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (files_done < files && Seconds(last, now) < 0.1) return;
    last = now;
    double elapsed = Seconds(start, now);
    double rate = elapsed > 0 ? (double)bytes_done / elapsed / 1e6 : 0;
    fprintf(stderr, "\r\033[K%zu/%zu files, %.1f/%.1f MB, %.1f MB/s", files_done, files,
            (double)bytes_done / 1e6, (double)bytes / 1e6, rate);
    fflush(stderr);
  }
};

bool HasSuffix(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (tolower((unsigned char)s[s.size() - n + i]) != suffix[i]) return false;
  return true;
}

// "@N": seconds since 1970 UTC within the 32-bit time field.
bool ParseEpoch(const char* text, uint32_t* out) {
  if (!*text) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || *end || text[0] == '-' || v > 0xFFFFFFFFull) return false;
  *out = (uint32_t)v;
  return true;
}

// A whole number from low to high.
bool ParseCount(const std::string& text, int low, int high, int* out) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  int v = atoi(text.c_str());
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

enum {
  OPT_METHOD = 256, OPT_BEST, OPT_LEVEL, OPT_FORMAT, OPT_MTIME, OPT_UNIX_NAMES, OPT_STUB, OPT_NO_DIALOG, OPT_TITLE,
  OPT_BASE, OPT_DEST, OPT_SHORTCUT, OPT_OPEN, OPT_START_MENU, OPT_DESKTOP, OPT_SEND_TO
};

const struct option PACK_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"dereference", no_argument, nullptr, 'L'},
    {"method", required_argument, nullptr, OPT_METHOD},
    {"best", no_argument, nullptr, OPT_BEST},
    {"level", required_argument, nullptr, OPT_LEVEL},
    {"threads", required_argument, nullptr, 'j'},
    {"format", required_argument, nullptr, OPT_FORMAT},
    {"mtime", required_argument, nullptr, OPT_MTIME},
    {"allow-unix-names", no_argument, nullptr, OPT_UNIX_NAMES},
    {"stub", required_argument, nullptr, OPT_STUB},
    {"no-dialog", no_argument, nullptr, OPT_NO_DIALOG},
    {"title", required_argument, nullptr, OPT_TITLE},
    {"base", required_argument, nullptr, OPT_BASE},
    {"dest", required_argument, nullptr, OPT_DEST},
    {"shortcut", required_argument, nullptr, OPT_SHORTCUT},
    {"open", required_argument, nullptr, OPT_OPEN},
    {"start-menu", required_argument, nullptr, OPT_START_MENU},
    {"desktop", required_argument, nullptr, OPT_DESKTOP},
    {"send-to", required_argument, nullptr, OPT_SEND_TO},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int CmdPack(int argc, char** argv) {
  PackJob job;
  std::string output, base_dir, stub_path, method = "lh5", format, mtime;
  std::vector<std::string> package_only;
  std::string level, threads;
  bool best = false, modes_given = false, unix_names = false, dereference = false;
  optind = 0;  // restart the scan (GNU): argv[0] is the command name
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "ho:C:Lj:", PACK_OPTIONS, nullptr)) != -1) {
    std::string v = optarg ? optarg : "";
    std::string name;
    for (const struct option* o = PACK_OPTIONS; o->name; ++o)
      if (o->val == c) name = std::string("--") + o->name;
    switch (c) {
      case 'h': fputs(PACK_USAGE, stdout); return 0;
      case 'o': output = v; break;
      case 'C': base_dir = v; break;
      case 'L': dereference = true; break;
      case OPT_METHOD: method = v; break;
      case OPT_BEST: best = true; break;
      case OPT_LEVEL: level = v; break;
      case 'j': threads = v; break;
      case OPT_FORMAT: format = v; break;
      case OPT_MTIME: mtime = v; break;
      case OPT_UNIX_NAMES: unix_names = true; break;
      case OPT_NO_DIALOG: job.settings.dialog = false; package_only.push_back(name); break;
      case OPT_STUB: stub_path = v; package_only.push_back(name); break;
      case OPT_TITLE: job.settings.title = v; package_only.push_back(name); break;
      case OPT_BASE:
        if (v != "current" && v != "program-files") return Usage("--base takes current or program-files");
        job.settings.program_files = v == "program-files";
        package_only.push_back(name);
        break;
      case OPT_DEST: job.settings.destination = v; package_only.push_back(name); break;
      case OPT_SHORTCUT: job.settings.shortcut_target = v; package_only.push_back(name); break;
      case OPT_OPEN: job.settings.open_after = v; package_only.push_back(name); break;
      case OPT_START_MENU: case OPT_DESKTOP: case OPT_SEND_TO: {
        uint8_t* option = c == OPT_START_MENU ? &job.settings.start_menu
                          : c == OPT_DESKTOP  ? &job.settings.desktop
                                              : &job.settings.send_to;
        if (!ParseOptionMode(v, option)) return Usage(name + " takes no, ask-no, ask-yes or yes");
        if (*option != 0) modes_given = true;
        package_only.push_back(name);
        break;
      }
      case ':': return Usage(std::string("'") + argv[optind - 1] + "' needs a value");
      default: return Usage(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  std::vector<std::string> paths(argv + optind, argv + argc);
  if (output.empty()) return Usage("no output given (-o OUT)");
  if (paths.empty()) return Usage("nothing to pack (give one or more PATHs)");
  if (!ParseMethod(method, &job.method)) return Usage("--method takes lh0, lh5, lh6 or lh7");
  if (best && !level.empty()) return Usage("give --best or --level, not both");
  if (best) job.method.level = LEVEL_BEST;
  if (!level.empty() && !ParseCount(level, LEVEL_MIN, LEVEL_MAX, &job.method.level))
    return Usage("--level takes a number from 1 to 9");
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  job.method.threads = online > 0 ? (int)std::min(online, 64L) : 1;
  if (!threads.empty() && !ParseCount(threads, 1, 256, &job.method.threads))
    return Usage("-j/--threads takes a number of threads from 1 to 256");
  job.to_stdout = output == "-";
  if (!format.empty()) {
    if (format != "lzh" && format != "package") return Usage("--format takes lzh or package");
    job.plain = format == "lzh";
  } else if (job.to_stdout || HasSuffix(output, ".lzh")) {
    job.plain = true;
  } else if (!HasSuffix(output, ".exe")) {
    return Usage("'" + output + "': say what to write with --format=lzh or --format=package, or name it .lzh or .exe");
  }
  if (job.to_stdout && !job.plain) return Usage("a package cannot go to standard output; give -o FILE");
  job.output = output;
  if (job.plain && !package_only.empty())
    return Usage(package_only[0] + " is for packages; this writes a plain archive");
  if (!job.plain && unix_names)
    return Usage("--allow-unix-names is for plain archives; a package is unpacked on Windows");
  if (!job.plain && !job.settings.dialog && package_only.size() > 1) {
    for (const std::string& o : package_only)
      if (o != "--no-dialog" && o != "--stub")
        return Usage(o + " has no effect with --no-dialog, which writes no settings");
  }
  if (!job.plain && job.settings.dialog && modes_given && job.settings.shortcut_target.empty())
    return Usage("a shortcut that may be made needs its target (--shortcut TARGET)");

  CollectOptions collect;
  collect.package = !job.plain;
  collect.windows_names = !unix_names;
  collect.dereference = dereference;
  if (!job.to_stdout) collect.skip = output;
  if (!mtime.empty()) {
    if (mtime[0] != '@' || !ParseEpoch(mtime.c_str() + 1, &collect.max_time))
      return Usage("--mtime takes @N, N seconds since 1970 UTC");
    collect.fixed_time = true;
  } else if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
    if (*epoch && !ParseEpoch(epoch, &collect.max_time))
      return Refuse(std::string("SOURCE_DATE_EPOCH '") + epoch + "' is not a number of seconds since 1970");
    collect.clamp_time = *epoch != 0;
  }
  job.windows_names = !unix_names;

  std::string error;
  if (!job.plain) {
    if (!stub_path.empty()) {
      if (!ReadWholeFile(stub_path, &job.stub, &error)) return Refuse(error);
      if (!CheckStub(job.stub, "the stub '" + stub_path + "'", &error)) return Refuse(error);
    } else if (g_embedded_stub_size > 0) {
      job.stub.assign(g_embedded_stub, g_embedded_stub + g_embedded_stub_size);
      if (!CheckStub(job.stub, "the built-in stub", &error)) return Refuse(error + "; give --stub FILE");
    } else {
      return Refuse("this vemosfx was built without the stub; give --stub FILE, or write a plain archive (--format=lzh)");
    }
    std::vector<uint8_t> block;
    if (!BuildConfigBlock(job.settings, &block, &error)) return Refuse(error);
  }
  std::vector<std::string> warnings;
  bool collected = CollectMembers(base_dir, paths, collect, &job.members, &warnings, &error);
  for (const std::string& w : warnings) fprintf(stderr, "vemosfx pack: %s\n", Printable(w).c_str());
  if (!collected) return Refuse(error);
  if (!job.plain && job.settings.dialog && !CheckSettings(job.settings, job.members, &error)) return Refuse(error);

  Progress progress;
  progress.show = isatty(STDERR_FILENO) != 0;
  if (progress.show) {
    for (const MemberSource& m : job.members) progress.bytes += m.size;
    progress.files = job.members.size();
    clock_gettime(CLOCK_MONOTONIC, &progress.start);
    job.progress = [&progress](uint64_t n, bool done) { progress.Update(n, done); };
  }
  bool ok = WriteOutput(job, &error);
  if (progress.show) fputs("\r\033[K", stderr);
  if (!ok) return Refuse(error);
  return 0;
}

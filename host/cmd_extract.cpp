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
#include "extract/walk.h"
#include "host/commands.h"
#include "host/input.h"
#include "host/links.h"
#include "host/progress.h"
#include "pack/package.h"
#include "platform/host_hooks.h"
#include "platform/host_system.h"
#include "platform/platform.h"

namespace {

const char EXTRACT_USAGE[] =
    "usage: vemosfx extract [-C DIR] [-kOqv] [options] FILE [MEMBER...]\n"
    "\n"
    "Extracts the members of a package or an LZH archive (FILE - reads standard\n"
    "input), all of them or those matching the MEMBER patterns (shell patterns;\n"
    "a directory brings what is below it). Existing files are replaced; the\n"
    "symbolic links of a plain archive are made. A member that fails is reported\n"
    "and the others are still extracted; the exit status is then 1.\n"
    "\n";

const int OPTION_UNIX_NAMES = 0x101;
const int OPTION_NO_LINKS = 0x102;
const int OPTION_SAME_OWNER = 0x103;
const int OPTION_KEEP_NEWER = 0x104;
const int OPTION_KEEP_DAMAGED = 0x105;
const int OPTION_EXCLUDE = 0x106;

const OptionSpec EXTRACT_OPTIONS[] = {
    {'C', 'C', "directory", "DIR", "extract into DIR (made if missing)"},
    {'k', 'k', "keep-old-files", nullptr, "leave existing files untouched"},
    {'f', 'f', "force", nullptr, "replace existing files (the default; undoes -k)"},
    {'O', 'O', "to-stdout", nullptr, "write the members' data to standard output"},
    {'v', 'v', "verbose", nullptr, "name each member, and each one kept or skipped"},
    QUIET_OPTION,
    {OPTION_KEEP_NEWER, 0, "keep-newer-files", nullptr, "leave existing files newer than the member\nuntouched"},
    {OPTION_KEEP_DAMAGED, 0, "keep-damaged", nullptr,
     "keep what a damaged member decoded in its place\n(it still fails; without it the existing file\nstays)"},
    {OPTION_EXCLUDE, 0, "exclude", "PATTERN",
     "leave out members whose name, or a part of it,\nmatches PATTERN (*, ?, [...]); repeatable"},
    {OPTION_NO_LINKS, 0, "no-links", nullptr, "do not make the symbolic links a plain archive\nholds"},
    {OPTION_NO_LINKS, 0, "skip-links", nullptr, nullptr},
    {OPTION_SAME_OWNER, 0, "same-owner", nullptr, "as root: give members the owners the archive\nrecords"},
    NAMES_OPTION,
    {OPTION_UNIX_NAMES, 0, "allow-unix-names", nullptr,
     "let any name Unix allows through (\":\", \"\\\",\nCON...), for archives made on Unix"},
    HELP_OPTION,
};

// ---- progress line and signals -----------------------------------------------

volatile sig_atomic_t g_signal = 0;
// Ctrl-C, SIGTERM and SIGHUP are the abort button: the run stops at its next
// poll and removes the file it was writing. A second one ends the process at
// once.
void OnSignal(int number) {
  g_signal = number;
  g_continue = 0;
}

// SA_RESETHAND: the first signal asks the run to stop cleanly (the file
// being written is removed); the handler is then gone, so a second one
// ends the process at once for a user who will not wait.
void CatchSignals() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

// ---- the run ------------------------------------------------------------------

struct Options {
  const char* dir = nullptr;
  bool keep_old = false;
  bool keep_newer = false;  // keep existing files newer than the member
  bool to_stdout = false;
  bool verbose = false;
  bool quiet = false;
  bool no_links = false;    // skip a plain archive's links (a package's always)
  bool same_owner = false;  // as root: the owners the archive records
  std::vector<Pattern> patterns;
  std::vector<std::string> exclude;  // as pack's --exclude (IsExcluded)
  // Notices told once at the end unless -v.
  uint32_t kept = 0, kept_newer = 0, links_skipped = 0, damaged_kept = 0;
};

struct Directory {
  std::string path;  // core path (Shift_JIS), relative to the destination
  uint32_t mtime;
  int32_t mode;  // -1: none stored
};

// True when a directory member's path names the destination itself ("",
// ".", "./."): its mode and time are not the archive's to set.
bool IsDestination(const char* path) {
  for (; *path; ++path)
    if (*path != '.' && *path != '/') return false;
  return true;
}

// One member that CheckMember accepted, to standard output: decoded and
// judged as when extracted, nothing on disk.
FailureKind ToStdout(SfxState* state, const MemberHeader* header, int32_t method) {
  uint64_t count = 0;
  fflush(stdout);
  FILE* out = HostCountingStream(STDOUT_FILENO, &count);
  if (!out) return FAILURE_MEMORY;
  FailureKind failure = DecodeChecked(state, header, method, out);
  return failure == CHECK_ABORTED ? FAILURE_NONE : failure;
}

// A notice of one member: its own line with -v, else counted for the
// summary.
void Notice(const Options& options, uint32_t* count, const std::string& member, const char* what) {
  ++*count;
  if (!options.verbose) return;
  ClearLine();
  fprintf(stderr, "vemosfx: %s: %s\n", Printable(member).c_str(), what);
}

// What one member of the kind CheckMember found becomes on disk (or on
// standard output). Returns FAILURE_NONE or the failure; *problem, when
// set, says it in words instead.
FailureKind ExtractOne(CommandInput* input, Options* options, MemberHeader* header, const std::string& member,
                       FailureKind check, int32_t method, std::vector<Directory>* directories, std::string* problem) {
  SfxState* state = &input->state;
  const char* local = LocalName(header->name);
  bool link = check == CHECK_LINK;
  bool directory = !link && method == METHOD_LHD;
  // -O: the data of files only; a link or directory has none to print.
  if (options->to_stdout) {
    if (check == FAILURE_NONE) return ToStdout(state, header, method);
    return link ? FAILURE_NONE : check;
  }
  if (link) {
    // A package holds what the stub makes, which is no link.
    if (options->no_links || !input->plain) {
      Notice(*options, &options->links_skipped, member, "symbolic link skipped");
      return FAILURE_NONE;
    }
    LinkResult made = MakeLink(local, options->keep_old, problem);
    if (made == LINK_KEPT) Notice(*options, &options->kept, member, "kept the existing file");
    if (made == LINK_MADE && options->same_owner) SetOwner(std::string(local, LinkTarget(local) - 1 - local).c_str(), header);
    return made == LINK_REFUSED ? FAILURE_LINK : FAILURE_NONE;
  }
  // Only a name extraction would accept is looked up (-k, --keep-newer-files):
  // a refused one fails as without them, and says nothing of what lies
  // outside the destination or behind a link.
  bool may_exist = !directory && check == FAILURE_NONE && !PlatLinkOnPath(local);
  if (options->keep_old && may_exist && PlatPathKind(local) != PATH_MISSING) {
    Notice(*options, &options->kept, member, "kept the existing file");
    return FAILURE_NONE;
  }
  if (options->keep_newer && may_exist && IsNewerThan(local, header->mtime)) {
    Notice(*options, &options->kept_newer, member, "kept the existing file, which is newer");
    return FAILURE_NONE;
  }
  // Nothing is set through a link that stands where a folder is wanted.
  if (directory && local[0] && IsSymbolicLink(local)) {
    *problem = "refused: a symbolic link stands where the folder goes";
    return FAILURE_LINK;
  }
  errno = 0;
  MemberResult result = ExtractMember(state, header);
  int error = errno;
  if (result == MEMBER_FAILED) {
    FailureKind failure = state->failure;
    if ((failure == FAILURE_CREATE || failure == FAILURE_WRITE) && error != 0)
      *problem = MemberProblem(failure, header) + ": " + strerror(error);
    return failure;
  }
  if (result != MEMBER_NEXT) return FAILURE_NONE;
  // A finished member is no longer the file an interrupt removes.
  state->output_path[0] = 0;
  // The destination is the user's, whatever a member named "." says.
  if (options->same_owner && !IsDestination(local)) SetOwner(local, header);
  int32_t mode = header->has_unix_mode ? header->unix_mode : -1;
  if (directory) {
    if (!IsDestination(local)) directories->push_back({local, header->mtime, mode});
  } else if (mode >= 0) {
    HostSetMode(local, (uint32_t)mode);
  }
  return FAILURE_NONE;
}

// The summary lines of what -v would have listed.
void Summaries(const Options& options) {
  if (options.verbose || options.quiet) return;
  if (options.links_skipped)
    fprintf(stderr, "vemosfx: %u symbolic link%s skipped%s\n", options.links_skipped,
            options.links_skipped == 1 ? "" : "s", options.no_links ? " (--no-links)" : " (a package holds no links)");
  if (options.kept)
    fprintf(stderr, "vemosfx: %u existing file%s kept (-k)\n", options.kept, options.kept == 1 ? "" : "s");
  if (options.kept_newer)
    fprintf(stderr, "vemosfx: %u existing file%s newer than the member kept (--keep-newer-files)\n",
            options.kept_newer, options.kept_newer == 1 ? "" : "s");
  if (options.damaged_kept)
    fprintf(stderr, "vemosfx: %u damaged member%s kept as decoded (--keep-damaged)\n", options.damaged_kept,
            options.damaged_kept == 1 ? "" : "s");
}

// A directory's time and mode are set once nothing more is written into it
// (a read-only mode would stop its own contents).
void FinishDirectories(const std::vector<Directory>& directories) {
  for (const Directory& d : directories) {
    if (d.mode >= 0) HostSetMode(d.path.c_str(), (uint32_t)d.mode);
    PlatSetFileTime(d.path.c_str(), d.mtime);
  }
}

// One walk over the members, extracting those selected. Failures of one
// member are reported and the walk goes on; damage to the archive's
// structure (a header that cannot be read, data cut short) ends it, since
// no later header can be found with certainty. -v names go to stdout,
// except with -O, where stdout holds the data.
int Run(CommandInput* input, const char* path, Options* options) {
  SfxState* state = &input->state;
  FILE* names = options->to_stdout ? stderr : stdout;
  int64_t end = input->end;
  StartCount(state, end);
  int status = EXIT_OK;
  std::vector<Directory> directories;
  MemberWalk walk;
  WalkBegin(&walk, state, end);
  MemberHeader header;
  while (g_continue) {
    uint32_t counted = walk.members;
    WalkResult read = WalkNext(&walk, &header);
    if (read == WALK_END) break;
    if (read != WALK_MEMBER) {
      ClearLine();
      // On standard input a cut shows when the walk cannot pass the data
      // of the member still in *header.
      if (read == WALK_CUT_SHORT && (walk.members != counted || end < 0))
        status = Fail(Printable(MemberPath(header.name)), "the data is cut short (the archive is damaged)");
      else if (read == WALK_STORED_SIZE)
        status = Fail(Printable(MemberPath(header.name)), WalkProblem(read));
      else
        status = Fail(path, WalkProblem(read));
      break;
    }
    MemberSeen(&header, end);
    // The core's judge says what the member is: a link, or a directory
    // (also an empty member whose name ends in "/").
    const char* local = LocalName(header.name);
    int32_t method;
    FailureKind check = CheckMember(&header, local, &method);
    bool directory = check != CHECK_LINK && method == METHOD_LHD;
    std::string member = SelectionPath(&header, check == CHECK_LINK);
    std::string shown = Printable(member);
    bool selected = Select(&options->patterns, member) && !IsExcluded(options->exclude, member);
    if (selected && !(options->to_stdout && directory)) {
      ShowMember(header.name);
      if (options->verbose) {
        ClearLine();
        fprintf(names, "%s%s\n", shown.c_str(), directory && !member.empty() ? "/" : "");
        fflush(names);
      }
      std::string problem;
      FailureKind failure = ExtractOne(input, options, &header, member, check, method, &directories, &problem);
      if (!g_continue) break;
      if (failure != FAILURE_NONE) {
        if (problem.empty())
          problem = options->to_stdout && failure == FAILURE_WRITE
                        ? std::string("cannot write to standard output") + (errno ? std::string(": ") + strerror(errno) : "")
                        : MemberProblem(failure, &header);
        // What the core kept of a damaged member is in place.
        if (!options->to_stdout && KeepsDamaged(failure)) {
          problem += "; damaged, kept as decoded";
          ++options->damaged_kept;
        }
        ClearLine();
        status = Fail(shown, problem);
      }
    }
    MemberPassed(&header);
  }
  FinishDirectories(directories);
  ClearLine();
  if (!g_continue) return status;
  Summaries(*options);
  if (int unmatched = ReportUnmatched(options->patterns)) status = unmatched;
  return status;
}

}  // namespace

// Options first, then the archive, then DIR: every usage error shows before
// anything is created.
int CmdExtract(int argc, char** argv) {
  OptionParser parser(EXTRACT_OPTIONS);
  Options options;
  int c;
  while ((c = parser.Next(argc, argv)) != -1) {
    switch (c) {
      case 'C':
        if (!*optarg) return UsageError("extract", "-C needs a directory");
        options.dir = optarg;
        break;
      case 'k': options.keep_old = true; break;
      case 'f': options.keep_old = false; break;  // lha's "force": replace (the default)
      case OPTION_KEEP_NEWER: options.keep_newer = true; break;
      case OPTION_KEEP_DAMAGED: g_keep_damaged = 1; break;
      case OPTION_EXCLUDE: options.exclude.push_back(PatternPath(optarg)); break;
      case 'O': options.to_stdout = true; break;
      case 'v': options.verbose = true; break;
      case 'q': options.quiet = true; break;
      case OPTION_NO_LINKS: options.no_links = true; break;
      case OPTION_SAME_OWNER: options.same_owner = true; break;
      case OPTION_UNIX_NAMES: g_allow_unix_names = 1; break;
      default:
        if (int status = CommonOption(parser, "extract", EXTRACT_USAGE, c, argv); status >= 0) return status;
    }
  }
  if (optind >= argc) return UsageError("extract", "no FILE given");
  const char* path = argv[optind];
  options.patterns = Patterns(argc - optind - 1, argv + optind + 1);
  // Owners are given away only by root, as tar does: for anyone else chown
  // fails, or would hand files to another user where the system allows it.
  if (geteuid() != 0) options.same_owner = false;
  if (options.quiet) options.verbose = false;

  // The input is opened before changing into DIR, so a relative FILE works.
  // The core writes members relative to the current directory; changing
  // into DIR rather than prefixing each path keeps the core's path checks
  // (confined to ".", no link on the way) the same as the stub's.
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
  StartProgress(&input.callbacks, !options.to_stdout && !options.quiet);
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

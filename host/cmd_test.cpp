// vemosfx test [-v] FILE: decodes every member and checks it as extraction
// would, writing nothing. Problems go to stderr, one summary line to stdout;
// -v lists each member.
#include <stdio.h>
#include <string.h>

#include <string>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/header.h"
#include "extract/run.h"
#include "extract/walk.h"
#include "host/commands.h"
#include "host/input.h"
#include "host/progress.h"
#include "platform/host_system.h"

namespace {

const char TEST_USAGE[] =
    "usage: vemosfx test [-qv] [--names=MODE] FILE [MEMBER...]\n"
    "\n"
    "Decodes every member (or those matching the MEMBER patterns, as extract\n"
    "takes them) and checks its size and CRC, writing nothing (FILE - reads\n"
    "standard input). On a terminal a progress line shows how far it is.\n"
    "Problems go to stderr; a summary line to stdout.\n"
    "\n";

const OptionSpec TEST_OPTIONS[] = {
    {'v', 'v', "verbose", nullptr, "one line per member"},
    {'q', 'q', "quiet", nullptr, "errors only (no summary line)"},
    NAMES_OPTION,
    HELP_OPTION,
};

}  // namespace

int CmdTest(int argc, char** argv) {
  OptionParser parser(TEST_OPTIONS);
  bool verbose = false, quiet = false;
  int c;
  while ((c = parser.Next(argc, argv)) != -1) {
    switch (c) {
      case 'v': verbose = true; break;
      case 'q': quiet = true; break;
      default:
        if (int status = CommonOption(parser, "test", TEST_USAGE, c, argv); status >= 0) return status;
    }
  }
  if (optind >= argc) return UsageError("test", "no FILE given");
  const char* path = argv[optind];
  std::vector<Pattern> patterns = Patterns(argc - optind - 1, argv + optind + 1);

  CommandInput input;
  if (!OpenCommandInput(path, &input)) return EXIT_FAILED;
  SfxState* state = &input.state;
  StartCount(state, input.end);
  StartProgress(&input.callbacks, !quiet && !verbose);
  // A member without a CRC decoded to its size, but nothing says its bytes
  // are right: it is counted apart from the intact ones. The progress line
  // goes with -v, whose lines would tear it.
  uint32_t intact = 0, unchecked = 0, members = 0;
  std::string archive_problem;
  MemberWalk walk;
  WalkBegin(&walk, state, input.end);
  MemberHeader header;
  WindowsNames windows_names;
  while (true) {
    uint32_t counted = walk.members;
    WalkResult read = WalkNext(&walk, &header);
    if (read == WALK_END) break;
    ClearLine();
    // A member whose data is cut short counts as failed.
    bool selected = walk.members != counted && Select(&patterns, HeaderSelectionPath(&header));
    members += selected;
    if (read == WALK_CUT_SHORT) {
      if (walk.members != counted) Fail(Utf8(header.name), "the data is cut short");
      archive_problem = WalkProblem(read);
      break;
    }
    // Either ends the walk: past a member whose data is cut short or whose
    // sizes contradict each other no later header can be trusted.
    if (read == WALK_STORED_SIZE) Fail(Utf8(header.name), WalkProblem(read));
    if (read != WALK_MEMBER) {
      archive_problem = read == WALK_STORED_SIZE ? MemberProblem(FAILURE_DAMAGED) : WalkProblem(read);
      break;
    }
    MemberSeen(&header, input.end);
    if (!selected) {
      MemberPassed(&header);
      continue;
    }
    ShowMember(header.name);
    // The same judge as extraction, with a sink in place of the file: a
    // member that extraction would refuse (a name leaving the destination,
    // an unknown method) fails here too, so "test" passing means
    // "extract" will.
    const char* stripped = LocalName(header.name);
    int32_t method;
    FailureKind failure = CheckMember(&header, stripped, &method);
    if (!quiet) WarnSameFile(&windows_names, &header);
    if (failure == CHECK_LINK) failure = FAILURE_NONE;  // skipped when extracted
    // The sink counts the bytes, which DecodeChecked compares with the
    // stored size, and drops them.
    if (failure == FAILURE_NONE && method != METHOD_LHD) {
      uint64_t count = 0;
      FILE* sink = HostCountingStream(-1, &count);
      if (!sink) {
        CloseCommandInput(&input);
        return Fail(path, "cannot make the output sink");
      }
      failure = DecodeChecked(state, &header, method, sink);
    }
    MemberPassed(&header);
    ClearLine();
    std::string name = Utf8(header.name);
    if (failure == FAILURE_NONE) {
      bool checked = method == METHOD_LHD || header.has_crc;
      ++(checked ? intact : unchecked);
      if (verbose && !quiet) printf("ok      %s%s\n", name.c_str(), checked ? "" : " (no CRC stored)");
    } else {
      Fail(name, MemberProblem(failure, &header));
    }
  }
  CloseCommandInput(&input);
  if (!archive_problem.empty()) Fail(path, archive_problem);
  uint32_t failed = members - intact - unchecked;
  int unmatched = archive_problem.empty() ? ReportUnmatched(patterns) : 0;
  bool all = failed == 0 && archive_problem.empty() && unmatched == 0;
  // The problems come before the summary, so the summary is the last line
  // a terminal shows.
  fflush(stderr);
  if (!quiet) {
    std::string without = unchecked ? ", " + std::to_string(unchecked) + " without a CRC (unchecked)" : "";
    printf("%u member%s, %u intact%s, %u failed%s\n", members, members == 1 ? "" : "s", intact, without.c_str(),
           failed, archive_problem.empty() ? "" : ", archive damaged");
  }
  return FinishOutput(all ? EXIT_OK : EXIT_FAILED);
}

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
#include "platform/host_system.h"

namespace {

const char TEST_USAGE[] =
    "usage: vemosfx test [-qv] [--names=MODE] FILE\n"
    "\n"
    "Decodes every member and checks its size and CRC, writing nothing\n"
    "(FILE - reads standard input).\n"
    "Problems go to stderr; a summary line to stdout.\n"
    "\n"
    "  -v, --verbose       one line per member\n"
    "  -q, --quiet         errors only (no summary line)\n"
    "      --names=MODE    how member names are read: cp932, utf-8, euc-jp, latin1\n"
    "                      or auto\n"
    "  -h, --help          this help\n";

}  // namespace

int CmdTest(int argc, char** argv) {
  static const option LONG_OPTIONS[] = {
      {"verbose", no_argument, nullptr, 'v'}, {"quiet", no_argument, nullptr, 'q'}, COMMON_LONG_OPTIONS};
  bool verbose = false, quiet = false;
  optind = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":vqh", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
      case 'v': verbose = true; break;
      case 'q': quiet = true; break;
      case OPTION_NAMES:
        if (int status = SetNames("test", optarg)) return status;
        break;
      case OPTION_HELP: fputs(TEST_USAGE, stdout); return EXIT_OK;
      default: return BadOption("test", c, argv);
    }
  }
  if (optind != argc - 1) return UsageError("test", optind == argc ? "no FILE given" : "one FILE only");
  const char* path = argv[optind];

  CommandInput input;
  if (!OpenCommandInput(path, &input)) return EXIT_FAILED;
  SfxState* state = &input.state;
  BuildCrcTable();
  // A member without a CRC decoded to its size, but nothing says its bytes
  // are right: it is counted apart from the intact ones.
  uint32_t intact = 0, unchecked = 0;
  std::string archive_problem;
  MemberWalk walk;
  WalkBegin(&walk, state, input.end);
  MemberHeader header;
  WindowsNames windows_names;
  while (true) {
    uint32_t counted = walk.members;
    WalkResult read = WalkNext(&walk, &header);
    if (read == WALK_END) break;
    if (read == WALK_CUT_SHORT) {
      if (walk.members != counted) Fail(Utf8(header.name), "the data is cut short");
      archive_problem = WalkProblem(read);
      break;
    }
    if (read == WALK_STORED_SIZE) Fail(Utf8(header.name), WalkProblem(read));
    if (read != WALK_MEMBER) {
      archive_problem = read == WALK_STORED_SIZE ? MemberProblem(FAILURE_DAMAGED) : WalkProblem(read);
      break;
    }
    // The same judge as extraction, with a sink in place of the file.
    const char* stripped = header.name[0] == '/' ? header.name + 1 : header.name;
    int32_t method;
    FailureKind failure = CheckMember(&header, stripped, &method);
    if (!quiet) WarnSameFile(&windows_names, &header);
    if (failure == CHECK_LINK) failure = FAILURE_NONE;  // skipped when extracted
    if (failure == FAILURE_NONE && method != METHOD_LHD) {
      uint64_t count = 0;
      FILE* sink = HostCountingStream(-1, &count);
      if (!sink) {
        CloseCommandInput(&input);
        return Fail(path, "cannot make the output sink");
      }
      failure = DecodeChecked(state, &header, method, sink);
    }
    std::string name = Utf8(header.name);
    if (failure == FAILURE_NONE) {
      bool checked = method == METHOD_LHD || header.has_crc;
      ++(checked ? intact : unchecked);
      if (verbose && !quiet) printf("ok      %s%s\n", name.c_str(), checked ? "" : " (no CRC stored)");
    } else {
      Fail(name, MemberProblem(failure, &header));
    }
  }
  uint32_t members = walk.members;
  CloseCommandInput(&input);
  if (!archive_problem.empty()) Fail(path, archive_problem);
  uint32_t failed = members - intact - unchecked;
  bool all = failed == 0 && archive_problem.empty();
  fflush(stderr);
  if (!quiet) {
    std::string without = unchecked ? ", " + std::to_string(unchecked) + " without a CRC (unchecked)" : "";
    printf("%u member%s, %u intact%s, %u failed%s\n", members, members == 1 ? "" : "s", intact, without.c_str(),
           failed, archive_problem.empty() ? "" : ", archive damaged");
  }
  return FinishOutput(all ? EXIT_OK : EXIT_FAILED);
}

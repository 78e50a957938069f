// vemosfx: lists, tests, extracts and packs LZH archives and packages.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "host/commands.h"
#include "host/input.h"

namespace {

const char USAGE[] =
    "usage: vemosfx COMMAND [options] FILE ...\n"
    "\n"
    "Lists, tests and extracts LZH archives and Vemo SFX packages (a Windows\n"
    "program with an archive behind it), and packs files into either.\n"
    "\n"
    "  vemosfx list [--json] FILE                 the settings and the members\n"
    "  vemosfx test [-v] FILE                     decode every member, check its CRC\n"
    "  vemosfx extract [-C DIR] [-kOv] FILE [MEMBER...]\n"
    "                                             extract (all, or the MEMBERs)\n"
    "  vemosfx pack -o OUT [options] PATH...      write a package or a .lzh archive\n"
    "\n"
    "'vemosfx COMMAND --help' describes a command's options; 'man vemosfx' all.\n"
    "Exit status: 0 done, 1 a member or the input failed, 2 usage, 130 interrupted.\n";

void Version() { printf("vemosfx %s\n", VEMO_VERSION); }

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit (ulimit -f) makes a write fail with EFBIG, which each
  // command reports and cleans up after, instead of killing the process.
  signal(SIGXFSZ, SIG_IGN);
  if (argc >= 2) {
    const char* command = argv[1];
    if (!strcmp(command, "list")) return CmdList(argc - 1, argv + 1);
    if (!strcmp(command, "test")) return CmdTest(argc - 1, argv + 1);
    if (!strcmp(command, "extract")) return CmdExtract(argc - 1, argv + 1);
    if (!strcmp(command, "pack")) return CmdPack(argc - 1, argv + 1);
  }
  static const option LONG_OPTIONS[] = {
      {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "+hV", LONG_OPTIONS, nullptr)) != -1) {
    if (c == 'h') {
      fputs(USAGE, stdout);
      printf("\n");
      Version();
      return EXIT_OK;
    }
    if (c == 'V') {
      Version();
      return EXIT_OK;
    }
    fputs("Try 'vemosfx --help' for more information.\n", stderr);
    return EXIT_USAGE;
  }
  if (optind < argc)
    fprintf(stderr, "vemosfx: unknown command '%s'\n", argv[optind]);
  else
    fputs("vemosfx: no command given\n", stderr);
  fputs("Try 'vemosfx --help' for more information.\n", stderr);
  return EXIT_USAGE;
}

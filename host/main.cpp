// vemosfx: lists, tests, extracts and packs LZH archives and packages.
#include <stdio.h>
#include <string.h>

#include "host/commands.h"

namespace {

const char USAGE[] =
    "usage: vemosfx list FILE\n"
    "       vemosfx test FILE\n"
    "       vemosfx extract [-C DIR] FILE\n"
    "       vemosfx pack -o OUT [options] PATH...   (vemosfx pack --help)\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(USAGE, stderr);
    return 2;
  }
  const char* command = argv[1];
  if (!strcmp(command, "list")) return CmdList(argc - 1, argv + 1);
  if (!strcmp(command, "test")) return CmdTest(argc - 1, argv + 1);
  if (!strcmp(command, "extract")) return CmdExtract(argc - 1, argv + 1);
  if (!strcmp(command, "pack")) return CmdPack(argc - 1, argv + 1);
  if (!strcmp(command, "-h") || !strcmp(command, "--help")) {
    fputs(USAGE, stdout);
    return 0;
  }
  fprintf(stderr, "vemosfx: unknown command '%s'\n", command);
  fputs(USAGE, stderr);
  return 2;
}

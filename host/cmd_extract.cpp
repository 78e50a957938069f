// vemosfx extract (not implemented yet).
#include <stdio.h>

#include "host/commands.h"

int CmdExtract(int, char**) {
  fputs("vemosfx: 'extract' is not implemented yet\n", stderr);
  return 2;
}

int CmdTest(int, char**) {
  fputs("vemosfx: 'test' is not implemented yet\n", stderr);
  return 2;
}

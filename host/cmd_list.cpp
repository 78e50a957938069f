// vemosfx list (not implemented yet).
#include <stdio.h>

#include "host/commands.h"

int CmdList(int, char**) {
  fputs("vemosfx: 'list' is not implemented yet\n", stderr);
  return 2;
}

// vemosfx pack (not implemented yet).
#include <stdio.h>

#include "host/commands.h"

int CmdPack(int, char**) {
  fputs("vemosfx: 'pack' is not implemented yet\n", stderr);
  return 2;
}

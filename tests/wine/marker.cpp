// Stands in for the program a file type opens with: appends the path it was
// given to C:\vemotest\opened.txt, so that a test can see what was opened.
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
  FILE* out = fopen("C:\\vemotest\\opened.txt", "ab");
  if (!out) return 1;
  fprintf(out, "%s\n", argc > 1 ? argv[1] : "");
  fclose(out);
  return 0;
}

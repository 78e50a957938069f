// What Windows takes a name of one code page 932 character for: for every
// single byte and every lead byte followed by any byte, the name read as
// code page 932 (MultiByteToWideChar), upper-cased (CharUpperBuffW) and
// written back (WideCharToMultiByte). One line per code into the file given,
// "CODE FOLDED" in hexadecimal, for the host's FoldNameLikeWindows to be
// compared with (WindowsFold unit test). Needs nothing but the system.
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  FILE* out = fopen(argv[1], "wb");
  if (!out) return 1;
  for (unsigned code = 1; code < 0x10000; ++code) {
    unsigned char in[2] = {(unsigned char)(code >> 8), (unsigned char)code};
    int n = 2;
    if (code < 0x100) {
      in[0] = (unsigned char)code;
      n = 1;
    } else if (!IsDBCSLeadByteEx(932, in[0]) || in[1] == 0) {
      continue;
    }
    WCHAR wide[4];
    int units = MultiByteToWideChar(932, 0, (const char*)in, n, wide, 4);
    CharUpperBuffW(wide, (DWORD)units);
    char back[8];
    int bytes = WideCharToMultiByte(932, 0, wide, units, back, sizeof back, nullptr, nullptr);
    if (units <= 0 || bytes <= 0) return 1;
    fprintf(out, n == 1 ? "%02X " : "%04X ", code);
    for (int i = 0; i < bytes; ++i) fprintf(out, "%02X", (unsigned char)back[i]);
    fputc('\n', out);
  }
  return fclose(out) == 0 ? 0 : 1;
}

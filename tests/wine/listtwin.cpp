// The Windows twin of `vemosfx list`: lists a package or a plain LZH archive
// with the core as built for Windows, printing what the host tool prints.
// Texts are converted with the system's code page 932 instead of iconv.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "extract/header.h"
#include "extract/payload.h"
#include "host/listing.h"

namespace {

// UTF-8 of one Shift_JIS character of count bytes, or false when it has none.
bool CharToUtf8(const char* sjis, int count, char** out, char* end) {
  wchar_t wide[2];
  int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, sjis, count, wide, 2);
  if (n <= 0) return false;
  char utf8[8];
  int m = WideCharToMultiByte(CP_UTF8, 0, wide, n, utf8, sizeof utf8, nullptr, nullptr);
  if (m <= 0 || *out + m >= end) return false;
  memcpy(*out, utf8, m);
  *out += m;
  return true;
}

// Character by character, so that a byte that does not convert becomes
// "\xNN" and the rest still converts, as on the host.
void ToUtf8(const char* sjis, char* out, uint32_t capacity) {
  static const char hex[] = "0123456789abcdef";
  char* end = out + capacity;
  size_t len = strlen(sjis);
  for (size_t i = 0; i < len && out + 5 < end;) {
    uint8_t b = (uint8_t)sjis[i];
    if (i + 1 < len && IsDBCSLeadByteEx(932, b) && CharToUtf8(sjis + i, 2, &out, end)) {
      i += 2;
      continue;
    }
    // Single bytes: ASCII and the half-width katakana.
    if ((b < 0x80 || (b >= 0xA1 && b <= 0xDF)) && CharToUtf8(sjis + i, 1, &out, end)) {
      ++i;
      continue;
    }
    *out++ = '\\';
    *out++ = 'x';
    *out++ = hex[b >> 4];
    *out++ = hex[b & 15];
    ++i;
  }
  *out = 0;
}

int Fail(const char* path, const char* problem) {
  fflush(stdout);
  fprintf(stderr, "listtwin: %s: %s\n", path, problem);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: listtwin FILE\n", stderr);
    return 2;
  }
  const char* path = argv[1];
  FILE* file = fopen(path, "rb");
  if (!file) return Fail(path, "cannot open the file");
  char magic[2] = {0, 0};
  size_t got = fread(magic, 1, 2, file);
  long size = -1;
  if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
  if (size < 0 || fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    return Fail(path, "cannot read the file");
  }

  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = file;
  if (got == 2 && magic[0] == 'M' && magic[1] == 'Z') {
    // The package's own path is not this program's, so the payload is found
    // here rather than by OpenPayload.
    if (fseek(file, (long)PAYLOAD_OFFSET, SEEK_SET) != 0 || !ReadConfig(&state)) {
      FreeSfxState(&state);
      return Fail(path, "no readable configuration block behind the stub");
    }
  } else if (!UseDefaultConfig(&state)) {
    FreeSfxState(&state);
    return Fail(path, "the current directory does not fit in a path");
  }

  ListStored stored;
  bool has_stored = state.has_config != 0;
  if (has_stored) ListStoredOf(&state, &stored);
  ListConfig(stdout, &state, has_stored ? &stored : nullptr, ToUtf8);
  uint32_t members = 0;
  ListResult result = ListMembers(stdout, &state, (int64_t)size, ToUtf8, &members);
  FreeSfxState(&state);
  if (result != LIST_COMPLETE) {
    char problem[96];
    snprintf(problem, sizeof problem, "%s after %u member%s", ListProblem(result), (unsigned)members,
             members == 1 ? "" : "s");
    return Fail(path, problem);
  }
  return 0;
}

// vemosfx list FILE: the configuration block and the members of a package
// (a file starting with "MZ", payload at PAYLOAD_OFFSET) or of a plain LZH
// archive.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "extract/header.h"
#include "extract/payload.h"
#include "host/commands.h"
#include "host/listing.h"
#include "platform/host_hooks.h"

namespace {

void ToUtf8(const char* sjis, char* out, uint32_t capacity) { HostSjisToUtf8(sjis, out, capacity, true); }

// The reader's "Unknown header" message would go to standard error on its
// own; the listing reports the problem in its one line instead.
void QuietError(const char*, const char*) {}

int Fail(const char* path, const char* problem) {
  fflush(stdout);
  fprintf(stderr, "vemosfx: %s: %s\n", path, problem);
  return 1;
}

}  // namespace

int CmdList(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: vemosfx list FILE\n", stderr);
    return 2;
  }
  const char* path = argv[1];
  FILE* file = fopen(path, "rb");
  if (!file) return Fail(path, strerror(errno));
  char magic[2] = {0, 0};
  size_t got = fread(magic, 1, 2, file);
  long size = -1;
  if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
  if (size < 0 || fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    return Fail(path, "cannot read the file");
  }

  HostCallbacks callbacks;
  memset(&callbacks, 0, sizeof callbacks);
  callbacks.error = QuietError;
  HostSetCallbacks(&callbacks);

  SfxState state;
  InitSfxState(&state, nullptr);
  if (got == 2 && magic[0] == 'M' && magic[1] == 'Z') {
    fclose(file);
    // The core names files in Shift_JIS.
    char sjis[PATH_BUFFER_SIZE];
    if (!HostUtf8ToSjis(path, sjis, sizeof sjis)) return Fail(path, "the path has no Shift_JIS form or is too long");
    HostSetOwnPath(sjis);
    if (!OpenPayload(&state)) {
      FreeSfxState(&state);
      return Fail(path, "no readable configuration block behind the stub");
    }
  } else {
    state.archive = file;
    if (!UseDefaultConfig(&state)) {
      FreeSfxState(&state);
      return Fail(path, "the current directory does not fit in a path");
    }
  }

  ListConfig(stdout, &state, ToUtf8);
  uint32_t members = 0;
  int32_t result = ListMembers(stdout, &state, (uint64_t)size, ToUtf8, &members);
  FreeSfxState(&state);
  HostSetCallbacks(nullptr);
  if (result != LIST_COMPLETE) {
    char problem[96];
    snprintf(problem, sizeof problem, "%s after %u member%s", ListProblem(result), (unsigned)members,
             members == 1 ? "" : "s");
    return Fail(path, problem);
  }
  return 0;
}

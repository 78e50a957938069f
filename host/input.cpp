#include "host/input.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>


std::string OpenInput(const char* path, SfxState* state, bool* plain) {
  FILE* file = fopen(path, "rb");
  if (!file) return strerror(errno);
  char magic[2] = {0, 0};
  size_t got = fread(magic, 1, 2, file);
  if (fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    return "cannot read the file";
  }
  *plain = !(got == 2 && magic[0] == 'M' && magic[1] == 'Z');
  if (*plain) {
    state->archive = file;
    return "";
  }
  fclose(file);
  // The core names files in Shift_JIS.
  char sjis[PATH_BUFFER_SIZE];
  if (!HostUtf8ToSjis(path, sjis, sizeof sjis)) return "the path has no Shift_JIS form or is too long";
  HostSetOwnPath(sjis);
  if (!OpenPayload(state)) return "no readable configuration block behind the stub";
  return "";
}

namespace {

void QuietError(const char*, const char*) {}

}  // namespace

void InstallQuietCallbacks(HostCallbacks* callbacks) {
  memset(callbacks, 0, sizeof *callbacks);
  callbacks->error = QuietError;
  HostSetCallbacks(callbacks);
}

// vemosfx list FILE: the configuration block and the members of a package
// (a file starting with "MZ", payload at PAYLOAD_OFFSET) or of a plain LZH
// archive.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "extract/header.h"
#include "extract/payload.h"
#include "host/commands.h"
#include "host/input.h"
#include "host/listing.h"
#include "platform/host_hooks.h"

namespace {

void ToUtf8(const char* sjis, char* out, uint32_t capacity) { HostSjisToUtf8(sjis, out, capacity, true); }

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
  HostCallbacks callbacks;
  InstallQuietCallbacks(&callbacks);

  SfxState state;
  InitSfxState(&state, nullptr);
  bool plain = true;
  std::string problem = OpenInput(path, &state, &plain);
  if (problem.empty() && plain && !UseDefaultConfig(&state))
    problem = "the current directory does not fit in a path";
  struct stat info;
  if (problem.empty() && stat(path, &info) != 0) problem = strerror(errno);
  if (!problem.empty()) {
    FreeSfxState(&state);
    return Fail(path, problem.c_str());
  }
  uint64_t size = (uint64_t)info.st_size;

  ListConfig(stdout, &state, ToUtf8);
  uint32_t members = 0;
  int32_t result = ListMembers(stdout, &state, size, ToUtf8, &members);
  FreeSfxState(&state);
  HostSetCallbacks(nullptr);
  if (result != LIST_COMPLETE) {
    char message[96];
    snprintf(message, sizeof message, "%s after %u member%s", ListProblem(result), (unsigned)members,
             members == 1 ? "" : "s");
    return Fail(path, message);
  }
  return 0;
}

// The stub's extraction run (ExtractionWorker, as a package runs it) over an
// archive of N empty stored members in 100 folders, on the host: the time of
// the whole run, with the check for names that Windows takes for one file
// among the per-member costs.
//   run_files N DIR    writes DIR/in.lzh, extracts it into DIR/out
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "extract/payload.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "platform/host_hooks.h"

namespace {

uint32_t g_outcome = 99;
void OnOutcome(SfxState*, uint32_t outcome) { g_outcome = outcome; }

// One level-0 stored member without data (CRC 0).
std::string Member(const std::string& name) {
  std::string h = "-lh0-";
  h.append(8, '\0');                   // packed and unpacked size
  h += std::string("\x03\x21\x22\x50", 4);  // an MS-DOS time
  h += '\x20';
  h += '\0';
  h += (char)name.size();
  h += name;
  h.append(2, '\0');  // CRC
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  return std::string(1, (char)h.size()) + (char)sum + h;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: run_files N DIR\n");
    return 2;
  }
  unsigned n = (unsigned)atoi(argv[1]);
  std::string dir = argv[2];
  std::string archive;
  for (unsigned i = 0; i < n; ++i) {
    char name[32];
    snprintf(name, sizeof name, "d%02u/f%07u.txt", i % 100, i);
    archive += Member(name);
  }
  archive += '\0';
  std::string in = dir + "/in.lzh", out = dir + "/out";
  FILE* f = fopen(in.c_str(), "wb");
  if (!f || fwrite(archive.data(), 1, archive.size(), f) != archive.size() || fclose(f) != 0) return 1;
  mkdir(out.c_str(), 0777);
  if (chdir(out.c_str()) != 0) return 1;
  HostCallbacks callbacks = {nullptr, nullptr, OnOutcome, nullptr, nullptr};
  HostSetCallbacks(&callbacks);
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = fopen(in.c_str(), "rb");
  if (!state.archive || !UseDefaultConfig(&state)) return 1;
  g_continue = 1;
  struct timespec t0, t1;
  struct rusage r0, r1;
  getrusage(RUSAGE_SELF, &r0);
  clock_gettime(CLOCK_MONOTONIC, &t0);
  ExtractionWorker(&state);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  getrusage(RUSAGE_SELF, &r1);
  FreeSfxState(&state);
  auto since = [](const timeval& a, const timeval& b) {
    return (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_usec - a.tv_usec) / 1e6;
  };
  double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  // User time is the run's own work, the same-file check included; system
  // time is the file system's (creating, renaming and stamping the files).
  printf("%7u members: user %6.2f s, system %6.2f s, wall %6.2f s (%s)\n", n,
         since(r0.ru_utime, r1.ru_utime), since(r0.ru_stime, r1.ru_stime), wall,
         g_outcome == OUTCOME_DONE ? "done" : "not done");
  return g_outcome == OUTCOME_DONE ? 0 : 1;
}

// Fuzz target: any bytes as an archive, extracted by the whole extraction run
// (ExtractionWorker on this thread) into a folder made once, entered for
// every input and emptied after it. The run must stay inside that folder: the folders above it,
// made for the purpose, must never gain an entry.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "extract/header.h"
#include "extract/payload.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "platform/host_hooks.h"
#include "tests/fuzz/fuzz_input.h"

namespace fs = std::filesystem;

namespace {

// Members larger than this are left out: decoding gigabytes from a few
// bytes of input would only measure the disk.
const uint32_t MEMBER_LIMIT = 1u << 20;
const uint32_t ARCHIVE_LIMIT = 1u << 22;

fs::path g_base;  // g_base/up/out is the destination
fs::path g_out;
int g_outcomes;

void Quiet(const char*, const char*) {}
void CountOutcome(SfxState*, RunOutcome) { ++g_outcomes; }

void RemoveBase() {
  std::error_code ignored;
  fs::remove_all(g_base, ignored);
}

void SetUpOnce() {
  HostCallbacks callbacks;
  memset(&callbacks, 0, sizeof callbacks);
  callbacks.error = Quiet;
  callbacks.outcome = CountOutcome;
  HostSetCallbacks(&callbacks);
  char pattern[] = "/tmp/vemofuzzextract.XXXXXX";
  if (!mkdtemp(pattern)) abort();
  g_base = pattern;
  g_out = g_base / "up" / "out";
  fs::create_directories(g_out);
  atexit(RemoveBase);
}

// Exactly one entry in each folder above the destination.
bool OnlyEntry(const fs::path& dir, const char* name) {
  int count = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename() != name) return false;
    ++count;
  }
  return count == 1;
}

// The sizes the reader will see, walked as the run walks them.
bool SmallEnough(SfxState* state) {
  MemberHeader header;
  uint64_t total = 0;
  for (int members = 0; members < 10000; ++members) {
    if (ReadMemberHeader(state, &header) != HEADER_READ) break;
    if (header.unpacked_size > MEMBER_LIMIT) return false;
    total += header.unpacked_size;
    if (fseek(state->archive, (long)header.packed_size, SEEK_CUR) != 0) break;
  }
  return total <= ARCHIVE_LIMIT && fseek(state->archive, 0, SEEK_SET) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_base.empty()) SetUpOnce();
  SfxState state;
  if (!OpenFuzzInput(data, size, &state)) return 0;
  // Members are made relative to the current directory. The fuzzer's own
  // folder is returned to afterwards: it reads and writes corpus files by
  // relative names.
  int back = open(".", O_RDONLY | O_DIRECTORY);
  if (back < 0 || chdir(g_out.c_str()) != 0) abort();
  if (SmallEnough(&state) && UseDefaultConfig(&state)) {
    g_continue = 1;
    g_outcomes = 0;
    ExtractionWorker(&state);
    if (g_outcomes != 1) __builtin_trap();
    // A failed run names its kind (the judges' two other answers are never
    // one).
    if (state.failure > FAILURE_SAME_FILE) __builtin_trap();
  }
  FreeSfxState(&state);  // closes the stream
  if (fchdir(back) != 0) abort();
  close(back);

  if (!OnlyEntry(g_base, "up") || !OnlyEntry(g_base / "up", "out")) __builtin_trap();
  std::error_code ignored;
  for (const auto& e : fs::directory_iterator(g_out)) fs::remove_all(e.path(), ignored);
  return 0;
}

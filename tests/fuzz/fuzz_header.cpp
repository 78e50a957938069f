// Fuzz target: any bytes as an archive, read header after header until the
// reader stops. The reader must never touch memory outside what it read.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "extract/header.h"
#include "extract/payload.h"
#include "platform/host_hooks.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

void Quiet(const char*, const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = false;
  if (!quiet) {
    HostCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.error = Quiet;
    HostSetCallbacks(&callbacks);
    quiet = true;
  }
  SfxState state;
  if (!OpenFuzzInput(data, size, &state)) return 0;
  MemberHeader header;
  for (int members = 0; members < 10000; ++members) {
    if (ReadMemberHeader(&state, &header) != HEADER_READ) break;
    // The name is always terminated inside its field.
    if (memchr(header.name, 0, sizeof header.name) == nullptr) __builtin_trap();
    if (fseek(state.archive, (long)header.packed_size, SEEK_CUR) != 0) break;
  }
  FreeSfxState(&state);  // closes the stream
  return 0;
}

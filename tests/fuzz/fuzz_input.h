// What the fuzz targets share: the fuzzer's bytes as an archive stream.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "extract/payload.h"

// A fresh state whose archive stream reads the bytes; false (nothing to
// free) when there are none or no stream. FreeSfxState closes the stream.
inline bool OpenFuzzInput(const uint8_t* data, size_t size, SfxState* state) {
  if (size == 0) return false;
  FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!in) return false;
  InitSfxState(state, nullptr);
  state->archive = in;
  return true;
}

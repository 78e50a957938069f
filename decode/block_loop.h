// The dictionary loop specialised for the block-Huffman methods, and the
// block routines it shares with DecodeCharBlock.
#pragma once
#include <stdint.h>

#include "decode/fast.h"

// Reads a block header: the code count and the three codes of the block.
void ReadBlockHeader();

#if VEMO_FAST_DECODE && UINTPTR_MAX == UINT64_MAX
#define VEMO_BLOCK_LOOP 1
#else
#define VEMO_BLOCK_LOOP 0
#endif
constexpr bool kBlockLoop = VEMO_BLOCK_LOOP != 0;

// The loops DecodeJob::Run may take, fastest first: the block loop (-lh4- to
// -lh7-, where built), the fast general loop (where built), the compact loop
// of the stub. Run takes the first of them at or after g_decode_paths that
// this build has and that fits the method; the tests step through all.
enum DecodePaths : uint8_t {
  PATHS_BLOCK_LOOP = 0,
  PATHS_FAST_LOOP = 1,
  PATHS_COMPACT = 2,
};
extern uint8_t g_decode_paths;

// DictionaryLoop (loop.h) over the block decoder of block.cpp, which decodes
// what DecodeCharBlock and DecodePosBlock decode with the bit window held in
// registers. Only in builds with kBlockLoop.
int32_t RunBlockLoop(uint32_t dict_size);

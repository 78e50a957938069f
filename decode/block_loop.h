// The dictionary loop specialised for the block-Huffman methods, and the
// block routines it shares with DecodeCharBlock.
#pragma once
#include <stdint.h>

#include "decode/fast.h"

// Reads a block header: the code count and the three codes of the block.
void ReadBlockHeader();

#if VEMO_FAST_DECODE && UINTPTR_MAX == UINT64_MAX
#define VEMO_BLOCK_LOOP 1
// Nonzero (the default): DecodeJob::Run decodes -lh4- to -lh7- through
// RunBlockLoop; 0 sends them through the general loop (the tests compare both).
extern uint8_t g_use_block_loop;
// DictionaryLoop (loop.h) over the block decoder of block.cpp, which decodes
// what DecodeCharBlock and DecodePosBlock decode with the bit window held in
// registers.
int32_t RunBlockLoop(uint32_t dict_size);
#else
#define VEMO_BLOCK_LOOP 0
#endif

// The block-Huffman methods' own loop (-lh4- to -lh7-) in the fast variant.
#pragma once
#include <stdint.h>

#include "decode/format.h"
#include "decode/member.h"

// DictionaryLoop (loop.h) over the fast block decoder of block.cpp, which
// decodes what DecodeCharBlock and DecodePosBlock decode, from tables whose
// entries carry everything a code means and a bit window held in registers.
// Defined only in builds with kFastDecode.
DecodeStatus RunBlockLoop(uint32_t dict_size);

// It serves every block dictionary: up to 2^16 bytes (-lh4- to -lh7-) with
// their distances in its entries, -lhx-'s 2^19 with a loop of its own.
const int32_t FAST_BLOCK_DICT_BITS_MAX = BLOCK_DICT_BITS_MAX;

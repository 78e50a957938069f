// The block-Huffman methods' own loop (-lh4- to -lh7-) in the fast variant.
#pragma once
#include <stdint.h>

#include "decode/member.h"

// DictionaryLoop (loop.h) over the fast block decoder of block.cpp, which
// decodes what DecodeCharBlock and DecodePosBlock decode, from tables whose
// entries carry everything a code means and a bit window held in registers.
// Defined only in builds with kFastDecode.
DecodeStatus RunBlockLoop(uint32_t dict_size);

// It serves dictionaries up to 2^16 bytes (-lh4- to -lh7-): their distances
// fit an entry's 16 bits, and a character code, a position code and its
// extra bits fit the 48 bits it loads before each code.
const int32_t FAST_BLOCK_DICT_BITS_MAX = 16;

// The block-Huffman methods' own loop (-lh4- to -lh7-) in the fast variant.
#pragma once
#include <stdint.h>

#include "decode/member.h"

// DictionaryLoop (loop.h) over the fast block decoder of block.cpp, which
// decodes what DecodeCharBlock and DecodePosBlock decode, from tables whose
// entries carry everything a code means and a bit window held in registers.
// Defined only in builds with kFastDecode.
DecodeStatus RunBlockLoop(uint32_t dict_size);

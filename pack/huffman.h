// Huffman code lengths with a length limit, and the canonical codes the
// block decoder derives from them.
#pragma once
#include <stdint.h>

#include "decode/format.h"

// The longest code any of the block codes may use.
const int MAX_CODE_BITS = CODE_BITS_MAX;

// Computes code lengths for n symbols (n <= 512) from their frequencies, no
// length above limit. Symbols with frequency 0 get length 0. With a single
// used symbol that symbol gets length 1 (callers send such a code in its
// single-value form instead). Returns the number of used symbols. With
// coded_bits, stores the bits the symbols take in the code: the sum of each
// frequency times its length.
int MakeCodeLengths(const uint32_t* freq, int n, int limit, uint8_t* lengths, uint64_t* coded_bits = nullptr);

// Canonical codes for the lengths: shorter codes first, equal lengths in
// symbol order, each code read most significant bit first.
void MakeCanonicalCodes(const uint8_t* lengths, int n, uint16_t* codes);

// Canonical Huffman lookup tables shared by the Huffman-coded methods, the
// one judge of a code and the one symbol decoder.
#pragma once
#include <stdint.h>

#include "decode/bitio.h"
#include "decode/format.h"
#include "decode/member.h"
#include "decode/state.h"

// What a table slot or tree child that no code reaches holds: decoding a
// symbol through it is damage. It lies above every symbol and node.
const uint16_t NO_CODE = (uint16_t)TREE_SIZE;

// Adds each of the n lengths up to 16 to count[length] (count has 17
// entries); false when a length is above 16, which no code may have.
inline bool CountCodeLengths(const uint8_t* lengths, uint32_t n, uint32_t* count) {
  bool fits = true;
  for (uint32_t s = 0; s < n; ++s) {
    if (lengths[s] > 16)
      fits = false;
    else
      ++count[lengths[s]];
  }
  return fits;
}

// Builds the table (table_bits 8 or 12) of n symbols with the given code
// lengths and returns the code space left, in units of 2^-16 of the whole:
// 0 for a complete code, above 0 for an incomplete one (the slots no code
// reaches hold NO_CODE), below 0 for an over-full code or a length above 16,
// of which nothing is built (every slot holds NO_CODE). Every slot is
// written, so nothing of an earlier build can be reached.
int32_t BuildDecodeTable(int32_t n, const uint8_t* lengths, int32_t table_bits, uint16_t* table);

// The one judge of a code, the same for every method: an over-full code is
// damage at once (false: nothing usable was built); an incomplete one only
// where a symbol is decoded through a slot no code reaches (WalkTree).
bool BuildCode(int32_t n, const uint8_t* lengths, int32_t table_bits, uint16_t* table);

// A code of one value v taking no bits (v outside the n symbols: no code).
void SetSingleCode(int32_t n, uint8_t* lengths, int32_t table_bits, uint16_t* table, uint32_t v);

// The one tree walk: from table entry j down the tree, one bit of the 16-bit
// window bits per level from the bit selected by mask downwards, to a symbol
// below n. A walk that reaches no symbol (NO_CODE, or a path longer than the
// window) meets damage: CODE_DAMAGED.
inline uint32_t WalkTree(uint32_t j, uint32_t n, uint32_t bits, uint32_t mask) {
  while (j >= n) {
    if (mask == 0 || j >= (uint32_t)TREE_SIZE) return CODE_DAMAGED;
    j = (bits & mask) ? g_right[j] : g_left[j];
    mask >>= 1;
  }
  return j;
}

// The one symbol decoder of the compact paths: the next symbol of the code
// in table and lengths (n symbols), its bits consumed; CODE_DAMAGED (nothing
// consumed) where no symbol has the coming bits.
uint32_t DecodeSymbol(const uint16_t* table, const uint8_t* lengths, int32_t table_bits, uint32_t n);

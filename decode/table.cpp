// Canonical Huffman decode tables: a direct lookup of the next table-bits
// input bits, and a small binary tree below the table for longer codes; the
// one judge of a code and the one symbol decoder of every Huffman method.
#include "decode/table.h"

#include <string.h>

#include "decode/bitio.h"
#include "decode/fast.h"

uint8_t g_char_len[CHAR_SYMBOLS];
uint16_t g_char_table[CHAR_TABLE_SIZE];
uint8_t g_pos_len[POS_LEN_SIZE];
uint16_t g_pos_table[POS_TABLE_SIZE];
uint16_t g_left[TREE_SIZE];
uint16_t g_right[TREE_SIZE];

// As puff's construct(): the lengths are counted first, and only a code
// that fits the code space is built. Its codes are then prefix-free, so a
// long code's path meets only NO_CODE or nodes of this build, and the nodes
// stay below TREE_SIZE (a code of n symbols that fits needs fewer than n
// plus the levels below the table).
static void FillNoCode(uint16_t* table, uint32_t from, uint32_t size) {
  for (uint32_t e = from; e < size; ++e) table[e] = NO_CODE;
}

int32_t BuildDecodeTable(int32_t n, const uint8_t* lengths, int32_t table_bits, uint16_t* table) {
  const uint32_t size = 1u << table_bits;
  uint32_t count[17] = {0};
  const bool too_long = !CountCodeLengths(lengths, (uint32_t)n, count);
  // start[len]: the first code of that length, in units of 2^-16.
  uint32_t start[17];
  int32_t left = 1 << 16;
  for (int32_t len = 1; len <= 16; ++len) {
    start[len] = (uint32_t)((1 << 16) - left);
    left -= (int32_t)(count[len] << (16 - len));
  }
  if (too_long) left = -1;
  if (left < 0) {
    FillNoCode(table, 0, size);
    return left;
  }
  // The short codes fill the slots from 0 up; the rest are free or roots of
  // the long codes.
  const int32_t shift = 16 - table_bits;
  FillNoCode(table, start[table_bits + 1] >> shift, size);

  uint32_t next_node = (uint32_t)n;
  for (int32_t s = 0; s < n; ++s) {
    const int32_t len = lengths[s];
    if (len == 0) continue;
    const uint32_t k = start[len];
    start[len] += 1u << (16 - len);
    uint16_t* slot = &table[k >> shift];
    if (len <= table_bits) {
      const uint32_t slots = 1u << (table_bits - len);
      if (kFastDecode && slots >= 4) {
        // Four slots per store (a code's slots start at a multiple of their count).
        const uint64_t four = 0x0001000100010001ull * (uint16_t)s;
        for (uint32_t e = 0; e < slots; e += 4) memcpy(slot + e, &four, 8);
      } else {
        for (uint32_t e = 0; e < slots; ++e) slot[e] = (uint16_t)s;
      }
      continue;
    }
    for (uint32_t bit = 1u << (15 - table_bits); bit >= 1u << (16 - len); bit >>= 1) {
      uint32_t node = *slot;
      if (node == NO_CODE) {
        // Unreachable for a code that fits (see above); a bound all the same.
        if (next_node >= (uint32_t)TREE_SIZE) return -1;
        node = next_node++;
        g_left[node] = NO_CODE;
        g_right[node] = NO_CODE;
        *slot = (uint16_t)node;
      }
      slot = (k & bit) ? &g_right[node] : &g_left[node];
    }
    *slot = (uint16_t)s;
  }
  return left;
}

bool BuildCode(int32_t n, const uint8_t* lengths, int32_t table_bits, uint16_t* table) {
  return BuildDecodeTable(n, lengths, table_bits, table) >= 0;
}

void SetSingleCode(int32_t n, uint8_t* lengths, int32_t table_bits, uint16_t* table, uint32_t v) {
  for (int32_t s = 0; s < n; ++s) lengths[s] = 0;
  if (v >= (uint32_t)n) v = NO_CODE;
  for (uint32_t e = 0; e < 1u << table_bits; ++e) table[e] = (uint16_t)v;
}

uint32_t DecodeSymbol(const uint16_t* table, const uint8_t* lengths, int32_t table_bits, uint32_t n) {
  const uint32_t j = WalkTree(table[g_bit_buf >> (16 - table_bits)], n, g_bit_buf, 1u << (15 - table_bits));
  if (j < n) FillBits(lengths[j]);
  return j;
}

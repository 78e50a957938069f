// Canonical Huffman decode tables: a direct lookup of the next table-bits
// input bits, and a small binary tree below the table for longer codes.
#include "decode/table.h"

#include <string.h>

#include "decode/fast.h"

uint8_t g_char_len[CHAR_SYMBOLS];
uint16_t g_char_table[CHAR_TABLE_SIZE];
uint8_t g_pos_len[POS_LEN_SIZE];
uint16_t g_pos_table[POS_TABLE_SIZE];
uint16_t g_left[TREE_SIZE];
uint16_t g_right[TREE_SIZE];

// Lengths come from the compressed stream and are trusted only as far as
// valid data goes: a length above 16 takes no part in the code, table writes
// are clipped to the table, and tree nodes never run past TREE_SIZE. Valid
// codes (lengths 0 to 16 that fit the code space) are built exactly.
void BuildDecodeTable(int16_t n, const uint8_t* lengths, int32_t table_bits, uint16_t* table) {
  uint32_t count[17];
  uint32_t weight[18];
  uint32_t start[18];
  memset(count, 0, sizeof count);
  for (int32_t s = 0; s < n; ++s)
    if (lengths[s] <= 16) ++count[lengths[s]];
  int32_t longest = 0;
  for (int32_t len = 1; len <= 16; ++len) {
    weight[len] = 1u << (16 - len);
    if (count[len]) longest = len;
  }
  // No code at all: nothing can be decoded through the table.
  if (longest == 0) {
    for (uint32_t e = 0; e < (1u << table_bits); ++e) table[e] = NO_CODE;
    return;
  }

  start[1] = 0;
  for (int32_t len = 1; len <= 16; ++len)
    start[len + 1] = (start[len] + count[len] * weight[len]) & 0xFFFF;

  const int32_t shift = 16 - table_bits;
  const uint32_t size = 1u << table_bits;
  for (int32_t len = 1; len <= table_bits; ++len) {
    start[len] >>= shift;
    weight[len] >>= shift;
  }
  uint32_t first_long = start[table_bits + 1] >> shift;
  // The slots past the short codes: free, or roots of the long codes.
  if (first_long != 0) {
    for (uint32_t e = first_long; e < size; ++e) table[e] = NO_CODE;
  } else if (longest > table_bits) {
    // Only long codes (an incomplete code): their slots would otherwise start
    // from whatever an earlier build left, so start from an empty table.
    for (uint32_t e = 0; e < size; ++e) table[e] = NO_CODE;
  }

  uint32_t next_node = (uint32_t)n;
  for (int32_t s = 0; s < n; ++s) {
    const int32_t len = lengths[s];
    if (len == 0 || len > 16) continue;
    const uint32_t k = start[len];
    const uint32_t end = k + weight[len];
    if (len <= table_bits) {
#if VEMO_FAST_DECODE
      // Four slots per store, then the rest one at a time.
      const uint32_t stop = end < size ? end : size;
      uint32_t e = k;
      const uint64_t four = 0x0001000100010001ull * (uint16_t)s;
      for (; e + 4 <= stop; e += 4) memcpy(&table[e], &four, 8);
      for (; e < stop; ++e) table[e] = (uint16_t)s;
#else
      for (uint32_t e = k; e < end && e < size; ++e) table[e] = (uint16_t)s;
#endif
    } else {
      uint16_t* slot = &table[(k & 0xFFFF) >> shift];
      uint32_t bit = 1u << (15 - table_bits);
      bool placed = true;
      for (int32_t step = len - table_bits; step > 0; --step, bit >>= 1) {
        uint32_t node = *slot;
        // Only nodes made by this build are followed; anything else in the
        // slot (NO_CODE, or a leaf of an over-full code) gets a fresh node.
        if (node < (uint32_t)n || node >= next_node) {
          if (next_node >= (uint32_t)TREE_SIZE) {
            placed = false;
            break;
          }
          node = next_node++;
          g_left[node] = NO_CODE;
          g_right[node] = NO_CODE;
          *slot = (uint16_t)node;
        }
        slot = (k & bit) ? &g_right[node] : &g_left[node];
      }
      if (placed) *slot = (uint16_t)s;
    }
    start[len] = end & 0xFFFF;
  }
}

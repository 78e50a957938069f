// -lh3-: static Huffman codes sent in blocks, and the fixed position codes
// that -lh3- and -lh1- share.
#include <string.h>

#include "decode/bitio.h"
#include "decode/methods.h"
#include "decode/table.h"

const int32_t FIXED_POS_LH1[] = {3, 1, 4, 12, 24, 48, 0};
const int32_t FIXED_POS_LH3[] = {2, 1, 1, 3, 6, 13, 31, 78, 0};
uint32_t g_static_pos_symbols;
uint16_t g_static_block_left;

// Character/length symbols of -lh3-; the last one is the escape that is
// followed by 8 more bits of match length.
static const int32_t LH3_CHAR_SYMBOLS = 286;
static const int32_t LH3_ESCAPE = 285;
static const int32_t LH3_POS_SYMBOLS = 128;

void ExpandFixedLengths(const int32_t* steps) {
  uint8_t length = (uint8_t)steps[0];
  int32_t k = 1;
  for (uint32_t s = 0; s < g_static_pos_symbols; ++s) {
    while (steps[k] != 0 && steps[k] == (int32_t)s) {
      ++length;
      ++k;
    }
    g_pos_len[s] = length;
  }
}

void StartLh3() {
  g_static_pos_symbols = LH3_POS_SYMBOLS;
  g_static_block_left = 0;
  InitBits();
}

// Every character code of the block is v and takes no bits.
static void SetSingleChar(uint16_t v) {
  memset(g_char_len, 0, LH3_CHAR_SYMBOLS);
  for (int32_t i = 0; i < CHAR_TABLE_SIZE; ++i) g_char_table[i] = v;
}

// Every position code of the block is symbol v and takes no bits.
static void SetSinglePos(uint16_t v) {
  memset(g_pos_len, 0, LH3_POS_SYMBOLS);
  for (int32_t i = 0; i < POS_TABLE_SIZE; ++i) g_pos_table[i] = v;
}

// Sum of 2^(16 - length) over the symbols: above 65536 the lengths describe
// more codes than exist, and such a table must not be built.
static bool Overfull(const uint8_t* lengths, int32_t n) {
  uint32_t space = 0;
  for (int32_t i = 0; i < n; ++i)
    if (lengths[i] != 0) space += 1u << (16 - lengths[i]);
  return space > 0x10000u;
}

// One-value trees: a code with a single symbol would need a zero-bit code,
// which lengths alone cannot say. The header says it by starting the lengths
// with three 1-bit codes (impossible in a real code, which has at most two);
// the symbol itself follows (9 bits for characters, 10 for positions) and
// every code of the block is that symbol, taking no bits.
//
// The block header: code count, character lengths, position code. Damaged
// headers (over-full lengths, a single value outside the alphabet) turn the
// block into one whose codes are all symbol 0: decoding goes on to the
// member's end without touching anything outside the tables, and the
// member's CRC reports the damage.
static void ReadLh3Tables() {
  g_static_block_left = GetBits(16);
  bool single = false;
  for (int32_t i = 0; i < LH3_CHAR_SYMBOLS; ++i) {
    g_char_len[i] = GetBits(1) ? (uint8_t)(GetBits(4) + 1) : 0;
    if (i == 2 && g_char_len[0] == 1 && g_char_len[1] == 1 && g_char_len[2] == 1) {
      uint16_t v = GetBits(9);
      SetSingleChar(v < LH3_CHAR_SYMBOLS ? v : NO_CODE);
      single = true;
      break;
    }
  }
  if (!single) {
    if (Overfull(g_char_len, LH3_CHAR_SYMBOLS))
      SetSingleChar(0);
    else
      BuildDecodeTable(LH3_CHAR_SYMBOLS, g_char_len, 12, g_char_table);
  }

  if (GetBits(1)) {
    for (int32_t i = 0; i < LH3_POS_SYMBOLS; ++i) {
      g_pos_len[i] = (uint8_t)GetBits(4);
      if (i == 2 && g_pos_len[0] == 1 && g_pos_len[1] == 1 && g_pos_len[2] == 1) {
        uint16_t v = GetBits(10);
        SetSinglePos(v < LH3_POS_SYMBOLS ? v : NO_CODE);
        return;
      }
    }
    if (Overfull(g_pos_len, LH3_POS_SYMBOLS)) {
      SetSinglePos(0);
      return;
    }
  } else {
    ExpandFixedLengths(FIXED_POS_LH3);
  }
  BuildDecodeTable(LH3_POS_SYMBOLS, g_pos_len, 8, g_pos_table);
}

// Follows a code longer than the table below table entry j, using the bits
// after the table's (already consumed). The walk is bounded by the 16 bits at
// hand and by the tree arrays, so tree slots left over from other tables can
// neither loop nor index outside; a walk that reaches no symbol is damage
// and ends on symbol 0. Returns the
// symbol; *extra receives the bits to consume.
static uint16_t WalkOverflow(uint16_t j, uint32_t symbols, int32_t table_bits,
                             const uint8_t* lengths, uint8_t* extra) {
  uint16_t bits = g_bit_buf;
  for (int32_t depth = 0; j >= symbols; ++depth) {
    if (depth == 16 || j >= TREE_SIZE) {
      MarkDamaged();
      j = 0;
      break;
    }
    j = (bits & 0x8000) ? g_right[j] : g_left[j];
    bits = (uint16_t)(bits << 1);
  }
  *extra = lengths[j] > table_bits ? (uint8_t)(lengths[j] - table_bits) : 0;
  return j;
}

uint16_t DecodeCharLh3() {
  if (g_static_block_left == 0) ReadLh3Tables();
  --g_static_block_left;
  uint16_t j = g_char_table[g_bit_buf >> 4];
  if (j < LH3_CHAR_SYMBOLS) {
    FillBits(g_char_len[j]);
  } else {
    FillBits(12);
    uint8_t extra;
    j = WalkOverflow(j, LH3_CHAR_SYMBOLS, 12, g_char_len, &extra);
    FillBits(extra);
  }
  if (j == LH3_ESCAPE) j = (uint16_t)(j + GetBits(8));
  return j;
}

uint16_t DecodePosStatic() {
  uint16_t j = g_pos_table[g_bit_buf >> 8];
  if (j < g_static_pos_symbols) {
    FillBits(g_pos_len[j]);
  } else {
    FillBits(8);
    uint8_t extra;
    j = WalkOverflow(j, g_static_pos_symbols, 8, g_pos_len, &extra);
    FillBits(extra);
  }
  return (uint16_t)((j << 6) + GetBits(6));
}

// -lh3-: static Huffman codes sent in blocks, and the fixed position codes
// that -lh3- and -lh1- share.
#include <string.h>

#include "decode/bitio.h"
#include "decode/member.h"
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

// One-value trees: a code with a single symbol would need a zero-bit code,
// which lengths alone cannot say. The header says it by starting the lengths
// with three 1-bit codes (impossible in a real code, which has at most two);
// the symbol itself follows (9 bits for characters, 10 for positions) and
// every code of the block is that symbol, taking no bits.
//
// The block header: code count, character lengths, position code. Damaged
// headers (over-full lengths, a single value outside the alphabet) are
// judged as every method's are (BuildCode, SetSingleCode); false: the header
// is damaged.
static bool ReadLh3Tables() {
  g_static_block_left = GetBits(16);
  bool single = false;
  for (int32_t i = 0; i < LH3_CHAR_SYMBOLS; ++i) {
    g_char_len[i] = GetBits(1) ? (uint8_t)(GetBits(4) + 1) : 0;
    if (i == 2 && g_char_len[0] == 1 && g_char_len[1] == 1 && g_char_len[2] == 1) {
      SetSingleCode(LH3_CHAR_SYMBOLS, g_char_len, 12, g_char_table, GetBits(9));
      single = true;
      break;
    }
  }
  if (!single && !BuildCode(LH3_CHAR_SYMBOLS, g_char_len, 12, g_char_table)) return false;

  if (GetBits(1)) {
    for (int32_t i = 0; i < LH3_POS_SYMBOLS; ++i) {
      g_pos_len[i] = (uint8_t)GetBits(4);
      if (i == 2 && g_pos_len[0] == 1 && g_pos_len[1] == 1 && g_pos_len[2] == 1) {
        SetSingleCode(LH3_POS_SYMBOLS, g_pos_len, 8, g_pos_table, GetBits(10));
        return true;
      }
    }
  } else {
    ExpandFixedLengths(FIXED_POS_LH3);
  }
  return BuildCode(LH3_POS_SYMBOLS, g_pos_len, 8, g_pos_table);
}

uint32_t DecodeCharLh3() {
  if (g_static_block_left == 0 && !ReadLh3Tables()) return CODE_DAMAGED;
  --g_static_block_left;
  uint32_t j = DecodeSymbol(g_char_table, g_char_len, 12, LH3_CHAR_SYMBOLS);
  if (j == LH3_ESCAPE) j += GetBits(8);
  return j;
}

// A damaged symbol (CODE_DAMAGED) stays above every distance.
uint32_t DecodePosStatic() {
  const uint32_t j = DecodeSymbol(g_pos_table, g_pos_len, 8, g_static_pos_symbols);
  return (j << 6) + GetBits(6);
}

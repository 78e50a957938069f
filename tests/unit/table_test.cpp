// BuildDecodeTable against an independent canonical-code reference.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "decode/table.h"

namespace {

// Decodes the 16-bit window through the table and tree as the decoders do;
// returns the symbol and sets *nodes to the tree nodes passed.
uint32_t Lookup(uint32_t window, int32_t n, int32_t table_bits, const uint16_t* table,
                std::vector<uint32_t>* nodes = nullptr) {
  uint32_t j = table[window >> (16 - table_bits)];
  for (uint32_t mask = 1u << (15 - table_bits); j >= (uint32_t)n; mask >>= 1) {
    if (nodes) nodes->push_back(j);
    if (mask == 0 || j >= (uint32_t)TREE_SIZE) return 0xFFFF;
    j = (window & mask) ? g_right[j] : g_left[j];
  }
  return j;
}

// The canonical code, computed directly: codes by increasing length, within
// a length by increasing symbol. Returns the symbol whose code starts the
// window, or -1 when none does (a free code).
struct Canonical {
  std::vector<uint32_t> code, len;
  explicit Canonical(const std::vector<uint8_t>& lengths) : code(lengths.size()), len(lengths.size()) {
    uint32_t next = 0;
    for (uint32_t l = 1; l <= 16; ++l) {
      for (size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s] == l) {
          code[s] = next;
          len[s] = l;
          ++next;
        }
      next <<= 1;
    }
  }
  int32_t Decode(uint32_t window) const {
    for (size_t s = 0; s < code.size(); ++s)
      if (len[s] && (window >> (16 - len[s])) == code[s]) return (int32_t)s;
    return -1;
  }
};

// Random lengths 0 to max_len that fit the code space (complete or not).
std::vector<uint8_t> RandomLengths(std::mt19937& rng, int32_t n, uint32_t max_len, bool complete) {
  std::vector<uint8_t> lengths(n);
  for (;;) {
    uint64_t space = 0;  // in units of 2^-16
    for (uint8_t& l : lengths) {
      l = rng() % 4 == 0 ? 0 : (uint8_t)(1 + rng() % max_len);
      if (l) space += 1u << (16 - l);
    }
    // Lengthen codes until they fit.
    while (space > 65536) {
      uint32_t s = rng() % n;
      if (lengths[s] && lengths[s] < max_len) {
        space -= 1u << (16 - lengths[s]);
        ++lengths[s];
        space += 1u << (16 - lengths[s]);
      }
    }
    // Shorten codes while that still fits, towards a complete code.
    for (int tries = 0; complete && space < 65536 && tries < 100000; ++tries) {
      uint32_t s = rng() % n;
      if (lengths[s] > 1 && space + (1u << (16 - lengths[s])) <= 65536) {
        space += 1u << (16 - lengths[s]);
        --lengths[s];
      }
    }
    if (space > 0 && (!complete || space == 65536)) return lengths;
  }
}

// Every window decodes to the canonical code's symbol; a free code reaches
// no symbol (0xFFFF, damage).
void ExpectCanonical(const std::vector<uint8_t>& lengths, int32_t table_bits, const uint16_t* table) {
  Canonical ref(lengths);
  const int32_t n = (int32_t)lengths.size();
  for (uint32_t window = 0; window < 65536; ++window) {
    int32_t want = ref.Decode(window);
    uint32_t got = Lookup(window, n, table_bits, table);
    ASSERT_EQ(got, (uint32_t)(want < 0 ? 0xFFFF : want)) << "window " << window << " n " << n;
  }
}

// As puff's construct(), the builder says what it built: the code space
// left, in units of 2^-16. Over-full codes and lengths above 16 build
// nothing: every slot then reaches no symbol.
TEST(BuildDecodeTable, ReportsTheCodeSpaceLeft) {
  const struct {
    std::vector<uint8_t> lengths;
    int32_t left;
  } cases[] = {
      {{1, 1}, 0},           {{1, 2, 2}, 0},         {{2, 1}, 16384},     {{0, 0, 0}, 65536},
      {{16, 0, 16}, 65534},  {{1, 1, 1}, -32768},    {{1, 2, 2, 16}, -1}, {{1, 17}, -1},
      {{2, 2, 2, 2, 9}, -128},
  };
  for (const auto& c : cases) {
    for (int32_t e = 0; e < 256; ++e) g_pos_table[e] = 0x3333;
    EXPECT_EQ(BuildDecodeTable((int32_t)c.lengths.size(), c.lengths.data(), 8, g_pos_table), c.left);
    for (int32_t e = 0; e < 256 && c.left < 0; ++e) ASSERT_EQ(g_pos_table[e], NO_CODE);
  }
}

TEST(BuildDecodeTable, ThreeShortCodes) {
  std::vector<uint8_t> lengths(19, 0);
  lengths[0] = 2;
  lengths[5] = 2;
  lengths[7] = 3;
  for (int32_t e = 0; e < 256; ++e) g_pos_table[e] = 0x3333;
  BuildDecodeTable(19, lengths.data(), 8, g_pos_table);
  for (int32_t e = 0; e < 256; ++e) {
    uint16_t want = e < 64 ? 0 : e < 128 ? 5 : e < 160 ? 7 : NO_CODE;
    ASSERT_EQ(g_pos_table[e], want) << e;
  }
}

TEST(BuildDecodeTable, CompleteShortCodeFillsTheTableAndMakesNoNode) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    std::vector<uint8_t> lengths = RandomLengths(rng, 17, 8, true);
    for (int32_t i = 0; i < TREE_SIZE; ++i) g_left[i] = g_right[i] = 0xABCD;
    for (int32_t e = 0; e < 256; ++e) g_pos_table[e] = 0xFFFF;
    BuildDecodeTable(17, lengths.data(), 8, g_pos_table);
    for (int32_t e = 0; e < 256; ++e) ASSERT_LT(g_pos_table[e], 17);
    for (int32_t i = 0; i < TREE_SIZE; ++i) ASSERT_EQ(g_left[i], 0xABCD);
    ExpectCanonical(lengths, 8, g_pos_table);
  }
}

TEST(BuildDecodeTable, SixteenBitCodeWalksFourNodes) {
  // 510 symbols: 0 to 254 with 9 bits... a complete code whose last two
  // symbols have 16-bit codes: 1 x 1 bit, then 2..15, then two of 16.
  std::vector<uint8_t> lengths(510, 0);
  for (int32_t l = 1; l <= 15; ++l) lengths[l * 30] = (uint8_t)l;
  lengths[500] = 16;
  lengths[509] = 16;
  BuildDecodeTable(510, lengths.data(), 12, g_char_table);
  std::vector<uint32_t> nodes;
  // Symbol 509 has the last code, sixteen 1 bits.
  EXPECT_EQ(Lookup(0xFFFF, 510, 12, g_char_table, &nodes), 509u);
  ASSERT_EQ(nodes.size(), 4u);
  for (uint32_t node : nodes) {
    EXPECT_GE(node, 510u);
    EXPECT_LT(node, (uint32_t)TREE_SIZE);
  }
  nodes.clear();
  EXPECT_EQ(Lookup(0xFFFE, 510, 12, g_char_table, &nodes), 500u);
  EXPECT_EQ(nodes.size(), 4u);
  ExpectCanonical(lengths, 12, g_char_table);
}

struct Alphabet {
  int32_t n;
  int32_t table_bits;
};

TEST(BuildDecodeTable, RandomCodesAreCanonical) {
  const Alphabet alphabets[] = {{19, 8}, {14, 8}, {17, 8}, {64, 8}, {128, 8}, {286, 12}, {510, 12}};
  std::mt19937 rng(11);
  for (const Alphabet& a : alphabets) {
    for (int round = 0; round < 6; ++round) {
      std::vector<uint8_t> lengths = RandomLengths(rng, a.n, 16, round % 2 == 0);
      uint16_t* table = a.table_bits == 8 ? g_pos_table : g_char_table;
      BuildDecodeTable((int16_t)a.n, lengths.data(), a.table_bits, table);
      ExpectCanonical(lengths, a.table_bits, table);
    }
  }
}

// The code-length code and then the position code share g_pos_table: no node
// or entry of the first build can be reached through the second.
TEST(BuildDecodeTable, SuccessiveBuildsLeaveNoTrace) {
  std::mt19937 rng(21);
  for (int round = 0; round < 30; ++round) {
    std::vector<uint8_t> first = RandomLengths(rng, 19, 16, round % 2 == 0);
    BuildDecodeTable(19, first.data(), 8, g_pos_table);
    std::vector<uint8_t> second = RandomLengths(rng, 17, 16, round % 3 == 0);
    BuildDecodeTable(17, second.data(), 8, g_pos_table);
    ExpectCanonical(second, 8, g_pos_table);
  }
}

// A code with no lengths reaches no symbol, whatever the table held.
TEST(BuildDecodeTable, AllLengthsZeroReachNoSymbol) {
  std::vector<uint8_t> zero(510, 0);
  for (int32_t e = 0; e < CHAR_TABLE_SIZE; ++e) g_char_table[e] = (uint16_t)(e % 509);
  BuildDecodeTable(510, zero.data(), 12, g_char_table);
  for (uint32_t window = 0; window < 65536; window += 16) ASSERT_EQ(Lookup(window, 510, 12, g_char_table), 0xFFFFu);
}

// Damaged lengths: above 16, over-full, only long codes over stale entries.
// Nothing may be written outside the arrays (ASan checks the writes), and
// every entry must lead to a symbol or a node inside the tree.
TEST(BuildDecodeTable, DamagedLengthsStayInBounds) {
  std::mt19937 rng(31);
  for (int round = 0; round < 300; ++round) {
    const Alphabet a = round % 2 ? Alphabet{510, 12} : Alphabet{19, 8};
    uint16_t* table = a.table_bits == 8 ? g_pos_table : g_char_table;
    for (int32_t e = 0; e < (1 << a.table_bits); ++e) table[e] = (uint16_t)rng();
    std::vector<uint8_t> lengths(a.n);
    for (uint8_t& l : lengths) l = round % 3 == 0 ? (uint8_t)rng() : (uint8_t)(rng() % 21);
    if (round % 5 == 0)
      for (uint8_t& l : lengths) l = (uint8_t)(l % 8 + a.table_bits + 1);
    const bool refused = BuildDecodeTable((int16_t)a.n, lengths.data(), a.table_bits, table) < 0;
    for (uint32_t window = 0; window < 65536; window += 1 + rng() % 7) {
      // Every slot is written: it leads to a symbol or to none (damage).
      uint32_t s = Lookup(window, a.n, a.table_bits, table);
      ASSERT_TRUE(s < (uint32_t)a.n || s == 0xFFFFu) << round;
      ASSERT_TRUE(!refused || s == 0xFFFFu) << round;
    }
  }
}

}  // namespace

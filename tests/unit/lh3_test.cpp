// -lh3- and the fixed position codes: block headers, exact code values,
// damaged headers, and archives of an independent archiver.
#include <gtest/gtest.h>

#include "decode/member.h"
#include "decode/methods.h"
#include "decode/table.h"
#include "method_harness.h"

using namespace methods_test;

namespace {

const int32_t METHOD_LH1 = 1;
const int32_t METHOD_LH3 = 3;

// Block header pieces, in stream order.
void CharLengths(BitWriter* w, const std::vector<uint8_t>& lengths) {
  for (int i = 0; i < 286; ++i) {
    uint8_t len = i < (int)lengths.size() ? lengths[i] : 0;
    w->PutBit(len != 0);
    if (len) w->Put(len - 1u, 4);
  }
}
void SingleChar(BitWriter* w, uint32_t v) {
  w->Put("10000 10000 10000");
  w->Put(v, 9);
}
void PosLengths(BitWriter* w, const std::vector<uint8_t>& lengths) {
  w->PutBit(1);
  for (int i = 0; i < 128; ++i) w->Put(i < (int)lengths.size() ? lengths[i] : 0, 4);
}
void SinglePos(BitWriter* w, uint32_t v) {
  w->Put("1 0001 0001 0001");
  w->Put(v, 10);
}
void FixedPos(BitWriter* w) { w->PutBit(0); }

void StartLh3From(const BitWriter& w) {
  LoadInput(w.bytes());
  StartLh3();
}

TEST(FixedPositions, StepTablesExpandToCompleteCodes) {
  struct Case {
    const int32_t* steps;
    uint32_t symbols;
    std::vector<std::pair<uint32_t, uint8_t>> first_of_length;  // symbol where a length starts
  } cases[] = {
      {FIXED_POS_LH1, 64, {{0, 3}, {1, 4}, {4, 5}, {12, 6}, {24, 7}, {48, 8}}},
      {FIXED_POS_LH3, 128, {{0, 2}, {1, 4}, {3, 5}, {6, 6}, {13, 7}, {31, 8}, {78, 9}}},
  };
  for (const Case& c : cases) {
    memset(g_pos_len, 0xEE, POS_LEN_SIZE);
    g_static_pos_symbols = c.symbols;
    ExpandFixedLengths(c.steps);
    uint32_t space = 0;
    for (uint32_t s = 0; s < c.symbols; ++s) {
      uint8_t expected = 0;
      for (auto& f : c.first_of_length)
        if (s >= f.first) expected = f.second;
      ASSERT_EQ(g_pos_len[s], expected) << c.symbols << " symbols, symbol " << s;
      space += 0x10000u >> g_pos_len[s];
    }
    EXPECT_EQ(space, 0x10000u) << "the code space is filled exactly";
    if (c.symbols < (uint32_t)POS_LEN_SIZE) {
      EXPECT_EQ(g_pos_len[c.symbols], 0xEE) << "nothing past the symbols";
    }
  }
}

TEST(FixedPositions, Lh3CodeValues) {
  struct Case {
    const char* bits;  // position code, then its 6 low bits
    uint16_t value;
  } cases[] = {
      {"111001110 000101", 4997},  // symbol 78, through the overflow tree
      {"00 000001", 1},
      {"111111111 111111", 8191},  // symbol 127
      {"0100 000000", 64},
      {"0101 000000", 128},
      {"01100 111111", 255},
      {"11100110 000000", 77 * 64},  // the last 8-bit code
  };
  const int n = sizeof cases / sizeof cases[0];
  BitWriter w;
  w.Put(n, 16);
  SingleChar(&w, 256);  // every character code is a 3-byte match, costing no bits
  FixedPos(&w);
  for (const Case& c : cases) w.Put(c.bits);
  w.Put("1010");  // not consumed
  StartLh3From(w);
  for (const Case& c : cases) {
    ASSERT_EQ(DecodeCharLh3(), 256);
    EXPECT_EQ(DecodePosStatic(), c.value) << c.bits;
  }
  EXPECT_EQ(BitString(g_bit_buf, 4), "1010");
}

TEST(FixedPositions, Lh1CodeValues) {
  struct Case {
    const char* bits;
    uint16_t value;
  } cases[] = {
      {"000 000111", 7}, {"0010 000000", 64}, {"0100 000000", 3 * 64}, {"01010 000001", 4 * 64 + 1},
      {"11111111 111111", 4095}};
  for (const Case& c : cases) {
    BitWriter w;
    w.Put(c.bits);
    LoadInput(w.bytes());
    g_dict_bits = 12;
    StartLh1();
    EXPECT_EQ(DecodePosStatic(), c.value) << c.bits;
    EXPECT_EQ(g_bit_buf, 0) << c.bits;
  }
}

TEST(Lh3, SingleCodesAndEscape) {
  // Escape 285 as the only character code: each code is 285 plus 8 bits.
  BitWriter w;
  w.Put(3, 16);
  SingleChar(&w, 285);
  SinglePos(&w, 77);  // every position symbol is 77; only the low 6 bits follow
  w.Put("11111111 000011  00000000 111111  10000000");
  StartLh3From(w);
  EXPECT_EQ(DecodeCharLh3(), 540);
  EXPECT_EQ(DecodePosStatic(), 77 * 64 + 3);
  EXPECT_EQ(DecodeCharLh3(), 285);
  EXPECT_EQ(DecodePosStatic(), 77 * 64 + 63);
  EXPECT_EQ(DecodeCharLh3(), 285 + 128);
}

TEST(Lh3, TransmittedLengthsUpToSixteenBits) {
  // Lengths 1 to 15 for 'A' to 'O', 16 for 'P' and the match code 256: the
  // 16-bit codes hang four levels below the 12-bit table.
  std::vector<uint8_t> chars(286, 0);
  for (int k = 0; k < 15; ++k) chars['A' + k] = (uint8_t)(k + 1);
  chars['P'] = 16;
  chars[256] = 16;
  std::vector<uint8_t> pos = {1, 2, 3, 3};
  BitWriter w;
  w.Put(5, 16);
  CharLengths(&w, chars);
  PosLengths(&w, pos);
  w.Put("0");                                // A
  w.Put("1111111111111110");                 // P
  w.Put("1111111111111111 110 000010");      // 256, position symbol 2
  w.Put("11111111111110");                   // N
  w.Put("1111111111111111 0 111111");        // 256, position symbol 0
  w.Put("1");                                // not consumed
  StartLh3From(w);
  EXPECT_EQ(DecodeCharLh3(), 'A');
  EXPECT_EQ(DecodeCharLh3(), 'P');
  EXPECT_EQ(DecodeCharLh3(), 256);
  EXPECT_EQ(DecodePosStatic(), 2 * 64 + 2);
  EXPECT_EQ(DecodeCharLh3(), 'N');
  EXPECT_EQ(DecodeCharLh3(), 256);
  EXPECT_EQ(DecodePosStatic(), 63);
  EXPECT_EQ(BitString(g_bit_buf, 1), "1");
}

TEST(Lh3, BlockCountZeroMeans65536Codes) {
  BitWriter w;
  w.Put(0, 16);
  SingleChar(&w, 'x');
  FixedPos(&w);
  w.Put(1, 16);  // the next block, right after the 65536 codes that took no bits
  SingleChar(&w, 'y');
  FixedPos(&w);
  Bytes expected(65536, 'x');
  expected.push_back('y');
  Decoded d = DecodeBytes(METHOD_LH3, w.bytes(), (uint32_t)expected.size());
  EXPECT_EQ(d.out, expected);
  EXPECT_EQ(d.crc, Crc16(expected));
}

TEST(Lh3, EachMemberStartsWithAFreshHeader) {
  // The first member stops with 8 codes of its block left.
  BitWriter first;
  first.Put(10, 16);
  SingleChar(&first, 'a');
  FixedPos(&first);
  EXPECT_EQ(DecodeBytes(METHOD_LH3, first.bytes(), 2).out, Bytes(2, 'a'));
  BitWriter second;
  second.Put(10, 16);
  SingleChar(&second, 'b');
  FixedPos(&second);
  EXPECT_EQ(DecodeBytes(METHOD_LH3, second.bytes(), 2).out, Bytes(2, 'b'));
}

// Three lengths of 1 at the start of a code's lengths, and only those, say
// "one value, no bits" (a real code has at most two codes of one bit). Each
// case gives the first lengths (the rest 0) of the character code (position
// code fixed) or of the position code (every character the match code 256),
// then 8 bits of data; the expected codes, or damage for lengths that do not
// fit. The last case follows a block whose lengths start 0, 1, 1: the rule
// looks at the block's own lengths only, never at what is left of those.
TEST(Lh3, ThreeOneBitLengthsAndNothingElseMeanOneValue) {
  // The one value, sent after the three lengths: 0x5A as a character, 9 as
  // a position.
  const uint32_t ONE = 0xFFFFFFFF;
  struct Case {
    std::vector<uint8_t> lengths;
    std::vector<uint32_t> expected;  // decoded symbols; empty: damage
  } cases[] = {
      {{1, 1, 1}, {ONE, ONE}}, {{1, 1, 0}, {1, 0}}, {{0, 1, 1}, {2, 1}}, {{1, 0, 1}, {2, 0}},
      {{1, 1, 2}, {}},         {{2, 1, 1}, {}},     {{1, 2, 1}, {}},
  };
  for (bool after_011 : {false, true}) {
    for (const bool position : {false, true}) {
      for (Case c : cases) {
        for (uint32_t& symbol : c.expected)
          if (symbol == ONE) symbol = position ? 9 : 0x5A;
        const bool single = c.lengths == std::vector<uint8_t>{1, 1, 1};
        BitWriter w;
        if (after_011) {
          // A block of one code whose lengths start 0, 1, 1.
          w.Put(1, 16);
          if (position) {
            SingleChar(&w, 256);
            PosLengths(&w, {0, 1, 1});
            w.Put("0 000000");
          } else {
            CharLengths(&w, {0, 1, 1});
            FixedPos(&w);
            w.Put("0");
          }
        }
        w.Put((uint32_t)c.expected.size() + 1, 16);
        if (position) {
          SingleChar(&w, 256);
          if (single) {
            SinglePos(&w, 9);
          } else {
            PosLengths(&w, c.lengths);
          }
        } else if (single) {
          SingleChar(&w, 0x5A);
          FixedPos(&w);
        } else {
          CharLengths(&w, c.lengths);
          FixedPos(&w);
        }
        // Codes of one bit: "1" then "0"; a position's 6 low bits are 000011.
        if (position)
          w.Put(single ? "000011 000011" : "1 000011 0 000011");
        else
          w.Put(single ? "" : "1 0");
        w.Put(0xBEEF, 16);
        StartLh3From(w);
        const std::string what = std::string(position ? "position" : "character") + " lengths " +
                                 std::to_string(c.lengths[0]) + std::to_string(c.lengths[1]) +
                                 std::to_string(c.lengths[2]) + (after_011 ? " after 0 1 1" : "");
        if (after_011) {
          ASSERT_EQ(DecodeCharLh3(), position ? 256u : 1u) << what;
          if (position) {
            ASSERT_EQ(DecodePosStatic(), 64u) << what;
          }
        }
        if (c.expected.empty()) {
          EXPECT_GE(DecodeCharLh3(), CODE_DAMAGED) << what;
          continue;
        }
        for (uint32_t symbol : c.expected) {
          if (position) {
            ASSERT_EQ(DecodeCharLh3(), 256u) << what;
            EXPECT_EQ(DecodePosStatic(), symbol * 64 + 3) << what;
          } else {
            EXPECT_EQ(DecodeCharLh3(), symbol) << what;
          }
        }
        EXPECT_EQ(GetBits(16), 0xBEEF) << what;
      }
    }
  }
}

// Damaged headers must neither reach outside the tables nor hang: the member
// ends at its size, with output its CRC will not match.
TEST(Lh3, DamagedHeadersEndTheMemberSafely) {
  // Leave tree nodes of a long code behind, for the damaged builds to meet.
  std::vector<uint8_t> chars(286, 0);
  for (int k = 0; k < 15; ++k) chars['A' + k] = (uint8_t)(k + 1);
  chars['P'] = 16;
  chars[256] = 16;
  BitWriter setup;
  setup.Put(1, 16);
  CharLengths(&setup, chars);
  FixedPos(&setup);
  DecodeBytes(METHOD_LH3, setup.bytes(), 1);

  struct Case {
    const char* what;
    void (*header)(BitWriter*);
    int32_t status;
  } cases[] = {
      {"over-full character lengths",
       [](BitWriter* w) { CharLengths(w, std::vector<uint8_t>(286, 2)); FixedPos(w); }, DECODE_DAMAGED},
      {"single character 511", [](BitWriter* w) { SingleChar(w, 511); FixedPos(w); }, DECODE_DAMAGED},
      {"single character 286", [](BitWriter* w) { SingleChar(w, 286); FixedPos(w); }, DECODE_DAMAGED},
      {"single position 1023", [](BitWriter* w) { SingleChar(w, 256); SinglePos(w, 1023); }, DECODE_DAMAGED},
      {"single position 128", [](BitWriter* w) { SingleChar(w, 300 - 15); SinglePos(w, 128); }, DECODE_DAMAGED},
      {"over-full position lengths",
       [](BitWriter* w) { SingleChar(w, 256); PosLengths(w, std::vector<uint8_t>(128, 3)); }, DECODE_DAMAGED},
      {"single position 77", [](BitWriter* w) { SingleChar(w, 256); SinglePos(w, 77); }, DECODE_DONE},
      {"only long character codes",
       [](BitWriter* w) {
         std::vector<uint8_t> c(286, 0);
         c[256] = 13;
         c[257] = 13;
         CharLengths(w, c);
         PosLengths(w, {0, 0, 0, 9, 9});
       }, DECODE_DAMAGED},
      {"no character lengths", [](BitWriter* w) { CharLengths(w, {}); FixedPos(w); }, DECODE_DAMAGED},
  };
  for (const Case& c : cases) {
    BitWriter w;
    w.Put(0, 16);
    c.header(&w);
    for (int i = 0; i < 2048; ++i) w.Put(0xFFFF, 16);
    // 5001: whole matches of 3 bytes end there.
    Decoded d = DecodeBytes(METHOD_LH3, w.bytes(), 5001);
    EXPECT_EQ(d.status, c.status) << c.what;
    if (c.status == DECODE_DONE) {
      EXPECT_EQ(d.out.size(), 5001u) << c.what;
    } else {
      EXPECT_LT(d.out.size(), 5001u) << c.what;
    }
  }
}

// Arbitrary bytes as data of each method: whatever the headers and trees
// make of them, decoding ends at the member's size (a last match may pass it)
// or, where the bytes run out first, stops as damaged.
TEST(Methods, ArbitraryDataEndsAtTheMemberSize) {
  const int32_t methods[] = {METHOD_LH1, 2, METHOD_LH3, METHOD_LZS, 9};
  for (int32_t method : methods) {
    for (uint32_t seed = 1; seed <= 25; ++seed) {
      Bytes packed(1500 + seed * 37);
      uint32_t s = seed * 2654435761u;
      for (uint8_t& b : packed) {
        s = s * 1103515245u + 12345u;
        b = (uint8_t)(s >> 24);
      }
      Decoded d = DecodeBytes(method, packed, 20000);
      if (d.status == DECODE_DAMAGED) {
        ASSERT_LT(d.out.size(), 20000u) << method << " seed " << seed;
        continue;
      }
      ASSERT_GE(d.out.size(), 20000u) << method << " seed " << seed;
      ASSERT_LT(d.out.size(), 20000u + 288) << method << " seed " << seed;
    }
  }
}

// jlha's library writes -lh3- that no other decoder here reads; that it
// decodes to its input here, CRC included, speaks for both.
TEST(Lh3, IndependentArchivesDecodeToTheirInputs) {
  struct Case {
    const char* archive;
    const char* input;
  } cases[] = {{"text.lh3.lzh", "text.txt"}, {"runs.lh3.lzh", "runs.bin"}};
  for (const Case& c : cases) {
    Bytes original = ReadFile(FixturePath(c.input));
    ASSERT_FALSE(original.empty()) << c.input;
    std::vector<ArchiveMember> members = DecodeArchive(FixturePath(c.archive));
    ASSERT_EQ(members.size(), 1u) << c.archive;
    EXPECT_EQ(memcmp(members[0].header.method, "-lh3-", 5), 0) << c.archive;
    EXPECT_EQ(members[0].decoded.out, original) << c.archive;
    EXPECT_EQ(members[0].decoded.crc, members[0].header.crc) << c.archive;
  }
}

}  // namespace

// -lzs- and -lz5-: slot addressing, the -lz5- preset dictionary, and archives
// written by an independent archiver.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "decode/member.h"
#include "decode/methods.h"
#include "method_harness.h"

using namespace methods_test;

namespace {

const int32_t METHOD_LZ5 = 9;

// One -lzs- item: a literal, or a match of slot and length (2 to 17).
void LzsLiteral(BitWriter* w, uint8_t c) {
  w->PutBit(1);
  w->Put(c, 8);
}
void LzsMatch(BitWriter* w, uint32_t slot, uint32_t length) {
  w->PutBit(0);
  w->Put(slot, 11);
  w->Put(length - 2, 4);
}

Bytes Repeat(uint8_t c, size_t n) { return Bytes(n, c); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Lzs, SlotsAreDictionaryPositionsSeventeenAhead) {
  struct Case {
    const char* what;
    void (*items)(BitWriter*);
    Bytes expected;
  } cases[] = {
      // Slot 0 is position 17 of the space-filled dictionary.
      {"slot 0 first", [](BitWriter* w) { LzsMatch(w, 0, 3); }, Repeat(' ', 3)},
      // Slot 2031 is position 0: the member's first byte, repeated as it is written.
      {"slot 2031", [](BitWriter* w) { LzsLiteral(w, 'Q'); LzsMatch(w, 2031, 4); }, Repeat('Q', 5)},
      {"shortest match",
       [](BitWriter* w) { LzsLiteral(w, 'a'); LzsLiteral(w, 'b'); LzsMatch(w, 2031, 2); LzsLiteral(w, 'c'); },
       {'a', 'b', 'a', 'b', 'c'}},
      {"longest match", [](BitWriter* w) { LzsLiteral(w, 'x'); LzsMatch(w, 2031, 17); }, Repeat('x', 18)},
  };
  for (const Case& c : cases) {
    BitWriter w;
    c.items(&w);
    Decoded d = DecodeBytes(METHOD_LZS, w.bytes(), (uint32_t)c.expected.size());
    EXPECT_EQ(d.out, c.expected) << c.what;
    EXPECT_EQ(d.crc, Crc16(c.expected)) << c.what;
  }
}

TEST(Lzs, SlotsFollowTheWritePositionAroundTheDictionary) {
  // 2100 literals wrap the 2048-byte dictionary; slot (p - 17) mod 2048 then
  // names the byte written at position p of the second lap.
  BitWriter w;
  Bytes expected;
  for (int i = 0; i < 2100; ++i) {
    uint8_t c = (uint8_t)(i * 7 + i / 256);
    LzsLiteral(&w, c);
    expected.push_back(c);
  }
  uint32_t source = 2048 + 14;  // output byte 2062 sits at position 14
  LzsMatch(&w, (14 - 17) & 0x7FF, 5);
  for (int k = 0; k < 5; ++k) expected.push_back(expected[source + k]);
  Decoded d = DecodeBytes(METHOD_LZS, w.bytes(), (uint32_t)expected.size());
  EXPECT_EQ(d.out, expected);
}

Bytes PresetLz5() {
  Bytes dict(4096, ' ');
  for (int i = 0; i < 18; ++i) dict[i] = 0;
  for (int v = 0; v < 256; ++v)
    for (int k = 0; k < 13; ++k) dict[18 + 13 * v + k] = (uint8_t)v;
  for (int v = 0; v < 256; ++v) dict[3346 + v] = (uint8_t)v;
  for (int v = 0; v < 256; ++v) dict[3602 + v] = (uint8_t)(255 - v);
  for (int i = 3858; i < 3986; ++i) dict[i] = 0;
  return dict;
}

TEST(Lz5, StartPresetsTheDictionary) {
  g_dict = (uint8_t*)malloc(4096);
  memset(g_dict, ' ', 4096);
  g_flag_count = 5;
  StartLz5();
  EXPECT_EQ(Bytes(g_dict, g_dict + 4096), PresetLz5());
  EXPECT_EQ(g_flag_count, 0);
  free(g_dict);
  g_dict = nullptr;
}

TEST(Lz5, ItemsUnderFlagBytes) {
  struct Case {
    const char* what;
    Bytes packed;
    Bytes expected;
  } cases[] = {
      // Slot 845, length 18: position 863 = 18 + 13 * 0x41 + 0, the last
      // thirteen 0x41 of the preset run and five 0x42.
      {"preset match 4D 3F", {0x00, 0x4D, 0x3F}, Concat(Repeat(0x41, 13), Repeat(0x42, 5))},
      {"eight literals", {0xFF, '1', '2', '3', '4', '5', '6', '7', '8'},
       {'1', '2', '3', '4', '5', '6', '7', '8'}},
      // Eight matches of three bytes from the ascending ramp (slot 3328 =
      // position 3346) and a second flag byte for the ninth item.
      {"eight matches",
       {0x00, 0x00, 0xD0, 0x00, 0xD0, 0x00, 0xD0, 0x00, 0xD0, 0x00, 0xD0, 0x00, 0xD0, 0x00, 0xD0, 0x00,
        0xD0, 0x01, 'z'},
       Concat(Bytes{0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}, {'z'})},
      // Slot 4078 is position 0, the member's first byte; the copy overlaps
      // the bytes it writes and repeats them.
      {"slot 4078 overlapping", {0xFB, 'a', 'b', 0xEE, 0xF5}, Concat({'a', 'b'}, {'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b'})},
      // Positions 0 to 17 hold zeros until written.
      {"zeros before the preset", {0x00, 0xFC, 0xF1}, Repeat(0, 4)},
  };
  for (const Case& c : cases) {
    Decoded d = DecodeBytes(METHOD_LZ5, c.packed, (uint32_t)c.expected.size());
    EXPECT_EQ(d.out, c.expected) << c.what;
    EXPECT_EQ(d.crc, Crc16(c.expected)) << c.what;
  }
}

TEST(Lz5, LongOverlappingMatchRepeatsTheLastBytes) {
  // "xyz" then slot 4078 + 1 (position 1) length 18: copies y z y z ... one
  // byte at a time from two behind.
  Decoded d = DecodeBytes(METHOD_LZ5, {0xF7, 'x', 'y', 'z', 0xEF, 0xFF}, 21);
  Bytes expected = {'x', 'y', 'z'};
  for (int k = 0; k < 18; ++k) expected.push_back(k % 2 ? 'z' : 'y');
  EXPECT_EQ(d.out, expected);
}

// A hand-made member whose matches read positions 0 to 17 before they are
// written, against lhasa's output (tests/fixtures/methods/make-lz5-preset.py).
TEST(Lz5, PresetZerosAsLhasaDecodesThem) {
  std::vector<ArchiveMember> members = DecodeArchive(FixturePath("preset.lz5.lzh"));
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].decoded.out, ReadFile(FixturePath("preset.lz5.lhasa.bin")));
  EXPECT_EQ(members[0].decoded.crc, members[0].header.crc);
}

// Archives written by jlha's library (see tests/fixtures/methods/make-fixtures.sh).
TEST(LzsLz5, IndependentArchivesDecodeToTheirInputs) {
  const char* inputs[] = {"text.txt", "runs.bin"};
  const char* methods[] = {"lzs", "lz5"};
  for (const char* input : inputs) {
    Bytes original = ReadFile(FixturePath(input));
    ASSERT_FALSE(original.empty()) << input;
    for (const char* method : methods) {
      std::string name = std::string(input).substr(0, std::string(input).find('.')) + "." + method + ".lzh";
      std::vector<ArchiveMember> members = DecodeArchive(FixturePath(name.c_str()));
      ASSERT_EQ(members.size(), 1u) << name;
      EXPECT_EQ(memcmp(members[0].header.method, (std::string("-") + method + "-").c_str(), 5), 0) << name;
      EXPECT_EQ(members[0].decoded.out, original) << name;
      EXPECT_EQ(members[0].decoded.crc, members[0].header.crc) << name;
    }
  }
}

}  // namespace

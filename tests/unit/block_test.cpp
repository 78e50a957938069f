// -lh4- to -lh7-: jLHA's archives, hand-made blocks, and damaged data.
#include <gtest/gtest.h>

#include <random>

#include "decode/methods.h"
#include "decode/table.h"
#include "decode_support.h"

using namespace decode_test;

namespace {

// The code tables a member starts from: damaged data (and a block whose
// lengths are all 0) can reach what earlier members left in them.
struct Tables {
  uint8_t char_len[CHAR_SYMBOLS], pos_len[POS_LEN_SIZE];
  uint16_t char_table[CHAR_TABLE_SIZE], pos_table[POS_TABLE_SIZE], left[TREE_SIZE], right[TREE_SIZE];
  // Each copy beside its global, copied one way or the other.
  void Copy(bool to_globals) {
    struct Part {
      void* copy;
      void* global;
      size_t size;
    } parts[] = {{char_len, g_char_len, sizeof char_len},       {pos_len, g_pos_len, sizeof pos_len},
                 {char_table, g_char_table, sizeof char_table}, {pos_table, g_pos_table, sizeof pos_table},
                 {left, g_left, sizeof left},                   {right, g_right, sizeof right}};
    for (const Part& p : parts) memcpy(to_globals ? p.global : p.copy, to_globals ? p.copy : p.global, p.size);
  }
  void Save() { Copy(false); }
  void Restore() { Copy(true); }
};

// Every variant of this build, from the same tables.
template <typename F>
void ForEachLoop(F body) {
  static Tables start;
  start.Save();
  ForEachVariant([&](const Variant& v) {
    start.Restore();
    body(v);
  });
}

// Points the bit input at bytes in memory, as DecodeJob::Run does.
struct BitSource {
  Bytes data;
  explicit BitSource(Bytes bytes) : data(bytes) {
    data.resize(data.size() + 8);  // room the bulk loads may look at
    g_in_buf = data.data();
    g_in_buf_size = (uint32_t)data.size();
    g_in_buf_pos = 0;
    g_packed_left = (uint32_t)bytes.size();
    InitBits();
  }
};

TEST(BlockFixtures, JlhaArchivesDecodeToTheirInputs) {
  const char* inputs[] = {"text.txt", "data.bin"};
  for (const char* input : inputs) {
    Bytes original = ReadFileBytes(FixturePath(input));
    ASSERT_GT(original.size(), 80000u) << input;
    for (int m = 4; m <= 7; ++m) {
      std::string base(input);
      std::string name = base.substr(0, base.find('.')) + "-lh" + std::to_string(m) + ".lzh";
      Member member;
      ASSERT_TRUE(ReadLevel2Member(ReadFileBytes(FixturePath(name.c_str())), &member)) << name;
      ASSERT_EQ(FindMethod(member.method.c_str()), m) << name;
      ForEachLoop([&](const Variant& v) {
        ResetProgress(member.unpacked, 0);
        // What lies behind the member must not reach the output.
        Decoded d = v.Decode(member.packed, m, member.unpacked, Bytes(300, 0x5A));
        EXPECT_EQ(d.status, DECODE_DONE);
        ASSERT_TRUE(d.out == original) << name << " loop " << v.name;
        EXPECT_EQ(d.crc, member.crc) << name;
        EXPECT_EQ(ProgressLog().back(), 100u);
      });
    }
  }
}

// The host tool's -lhx-: matches from 2^19 and 2^19 - 44 bytes back, the
// farthest class, whose extra bits are more than one read takes.
TEST(BlockFixtures, LhxMatchesReachTheWholeDictionary) {
  Member member;
  ASSERT_TRUE(ReadLevel2Member(ReadFileBytes(std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/crafted/lhx.lzh"),
                               &member));
  ASSERT_EQ(FindMethod(member.method.c_str()), METHOD_LHX);
  ForEachLoop([&](const Variant& v) {
    ResetProgress(member.unpacked, 0);
    Decoded d = v.Decode(member.packed, METHOD_LHX, member.unpacked);
    EXPECT_EQ(d.status, DECODE_DONE) << v.name;
    ASSERT_EQ(d.out.size(), member.unpacked) << v.name;
    EXPECT_EQ(d.crc, member.crc) << v.name;
    const auto far = d.out.begin() + (1 << 19) + 200;
    EXPECT_TRUE(std::equal(d.out.begin() + 200, d.out.begin() + 456, far)) << v.name;
    EXPECT_TRUE(std::equal(d.out.begin() + 500, d.out.begin() + 700, far + 256)) << v.name;
  });
}

TEST(BlockMethod, SevenByteMember) {
  const Bytes seven = {0x00, 0x05, 0x00, 0x00, 0x04, 0x10, 0x00};
  ForEachLoop([&](const Variant& v) {
    ResetProgress(0, 0);
    EXPECT_EQ(v.Decode(seven, 5, 5).out, Bytes(5, 0x41));
    // Past its end the zero bits form a block of 65536 codes of symbol 0.
    Decoded d = v.Decode(seven, 5, 7, Bytes{0xFF, 0xFF, 0xFF});
    EXPECT_EQ(d.out, (Bytes{0x41, 0x41, 0x41, 0x41, 0x41, 0x00, 0x00}));
    EXPECT_EQ(d.crc, Crc16(d.out));
  });
}

// A stored count of 0 is a block of 65536 codes; the next header follows.
TEST(BlockMethod, CountZeroIsA65536CodeBlock) {
  BitWriter w;
  for (uint32_t ch : {'A', 'B'}) {
    w.Put(0, 16);
    w.Put(0, 5);
    w.Put(0, 5);  // code-length code: single value 0
    w.Put(0, 9);
    w.Put(ch, 9);  // character code: single value
    w.Put(0, 4);
    w.Put(0, 4);  // position code: single value 0
  }
  ForEachLoop([&](const Variant& v) {
    ResetProgress(0, 0);
    Decoded d = v.Decode(w.bytes, 5, 65536 + 10);
    Bytes expected(65536, 'A');
    expected.insert(expected.end(), 10, 'B');
    EXPECT_TRUE(d.out == expected);
  });
}

// A position code sent as a single class reads only that class's extra bits.
TEST(BlockMethod, SingleValuePositionCode) {
  for (uint32_t cls : {0u, 1u, 3u}) {
    BitWriter w;
    w.Put(4, 16);
    w.Put(0, 5);
    w.Put(11, 5);  // every character length 9
    w.Put(510, 9);
    w.Put(0, 4);
    w.Put(cls, 4);
    w.Put('a', 9);
    w.Put('b', 9);
    w.Put('c', 9);
    w.Put(256 + 2, 9);  // a match of 5 bytes
    if (cls == 3) w.Put(1, 2);  // distance value 4 + 1: from 6 back
    ForEachLoop([&](const Variant& v) {
      ResetProgress(0, 0);
      Decoded d = v.Decode(w.bytes, 5, 8);
      const char* expected = cls == 0 ? "abcccccc" : cls == 1 ? "abcbcbcb" : "abc   ab";
      EXPECT_EQ(std::string(d.out.begin(), d.out.end()), expected) << cls;
    });
  }
}

// -lh4-'s 14 classes reach 2^13 - 1, past its 2^12-byte dictionary: a
// distance beyond it counts modulo the dictionary. (Literals behind the
// match make the member long enough for the fast loop's bulk decoding.)
TEST(BlockMethod, Lh4DistancesPastItsDictionaryWrap) {
  BitWriter w;
  w.Put(4 + 64, 16);
  w.Put(0, 5);
  w.Put(11, 5);  // every character length 9
  w.Put(510, 9);
  w.Put(0, 4);
  w.Put(13, 4);  // one class: 13, 12 extra bits
  w.Put('a', 9);
  w.Put('b', 9);
  w.Put('c', 9);
  w.Put(256 + 2, 9);  // a match of 5 bytes
  w.Put(1, 12);       // distance value 4096 + 1: from 2 back
  for (int i = 0; i < 64; ++i) w.Put('z', 9);
  ForEachLoop([&](const Variant& v) {
    ResetProgress(0, 0);
    Decoded d = v.Decode(w.bytes, 4, 8 + 64);
    EXPECT_EQ(std::string(d.out.begin(), d.out.end()), "abcbcbcb" + std::string(64, 'z')) << v.name;
  });
}

TEST(BlockMethod, MatchLengthsOfSymbols256And509) {
  BitWriter w;
  PutFlatBlock(&w, {{false, 'q', 0}, {true, 3, 0}, {true, 256, 0}}, 3, 16);
  ForEachLoop([&](const Variant& v) {
    ResetProgress(0, 0);
    EXPECT_EQ(v.Decode(w.bytes, 7, 260).out, Bytes(260, 'q'));
  });
}

TEST(BlockMethod, MemberEndsInsideItsBlock) {
  std::vector<Item> items;
  for (uint32_t i = 0; i < 100; ++i) items.push_back({false, i, 0});
  BitWriter w;
  PutFlatBlock(&w, items, 100, 13);
  ResetProgress(0, 0);
  Decoded d = DecodeBytes(w.bytes, 5, 40);
  EXPECT_EQ(d.out, ExpandItems(std::vector<Item>(items.begin(), items.begin() + 40), 13));
}

// A code with no lengths decodes nothing: a member whose character code has
// none (or whose position code has none, once a match needs it) is damaged,
// alone or after a member that left a table of its own behind.
TEST(BlockMethod, CodeWithoutLengthsIsDamage) {
  BitWriter q;  // every character code is 'q'
  q.Put(50, 16);
  q.Put(0, 5);
  q.Put(0, 5);
  q.Put(0, 9);
  q.Put('q', 9);
  q.Put(0, 4);
  q.Put(0, 4);
  BitWriter no_chars;
  no_chars.Put(100, 16);
  no_chars.Put(0, 5);
  no_chars.Put(0, 5);  // code-length code: single value 0 (one zero length)
  no_chars.Put(1, 9);  // one character length, 0
  no_chars.Put(0, 4);
  no_chars.Put(0, 4);
  no_chars.Put(0x5A5A, 16);
  BitWriter no_positions;
  no_positions.Put(100, 16);
  no_positions.Put(0, 5);
  no_positions.Put(11, 5);  // every character length 9
  no_positions.Put(510, 9);
  no_positions.Put(14, 4);
  for (int i = 0; i < 14; ++i) no_positions.Put(0, 3);
  for (uint32_t sym : {97u, 98u, 99u, 256u}) no_positions.Put(sym, 9);
  no_positions.Put(0x5A5A, 16);
  ForEachLoop([&](const Variant& v) {
    for (bool after_q : {false, true}) {
      ResetProgress(0, 0);
      if (after_q) {
        ASSERT_EQ(v.Decode(q.bytes, 5, 50).out, Bytes(50, 'q'));
      }
      Decoded d = v.Decode(no_chars.bytes, 5, 100);
      EXPECT_EQ(d.status, DECODE_DAMAGED) << v.name << after_q;
      EXPECT_TRUE(d.out.empty());
      // Literals need no position code.
      EXPECT_EQ(v.Decode(no_positions.bytes, 5, 3).out, (Bytes{'a', 'b', 'c'}));
      EXPECT_EQ(v.Decode(no_positions.bytes, 5, 6).status, DECODE_DAMAGED) << v.name << after_q;
    }
  });
}

// The output stops at the declared size: a match that runs past it is
// damage, and nothing past it reaches the file.
TEST(BlockMethod, OutputPastTheDeclaredSizeIsDamage) {
  BitWriter w;
  PutFlatBlock(&w, {{false, 'q', 0}, {true, 10, 0}}, 2, 13);
  ForEachLoop([&](const Variant& v) {
    ResetProgress(0, 0);
    EXPECT_EQ(v.Decode(w.bytes, 5, 11).out, Bytes(11, 'q'));
    for (uint32_t declared : {2u, 10u}) {
      Decoded d = v.Decode(w.bytes, 5, declared);
      EXPECT_EQ(d.status, DECODE_DAMAGED) << v.name << " " << declared;
      EXPECT_LT(d.out.size(), declared);
    }
  });
}

// Codes wanted past the member's last byte are damage once the zero bits
// handed out there exceed the bit window's lookahead (OVERRUN_LIMIT bytes):
// here 40 codes of 9 bits, 45 bytes, are missing.
TEST(BlockMethod, CodesPastTheEndAreDamage) {
  std::vector<Item> items;
  for (uint32_t i = 0; i < 100; ++i) items.push_back({false, 'a' + i % 26, 0});
  BitWriter w;
  PutFlatBlock(&w, items, 140, 13);
  ForEachLoop([&](const Variant& v) {
    ResetProgress(0, 0);
    EXPECT_EQ(v.Decode(w.bytes, 5, 100).status, DECODE_DONE) << v.name;
    Decoded d = v.Decode(w.bytes, 5, 140);
    EXPECT_EQ(d.status, DECODE_DAMAGED) << v.name;
  });
}

// The exact limit: consuming OVERRUN_LIMIT bytes (64 bits) of the zeros
// past the member's end is no damage, one bit more is. A block of 9-bit
// literals cut after its first bytes: the codes past the cut read zeros.
TEST(BlockMethod, OverrunLimitIsExact) {
  for (uint32_t beyond : {64u, 65u}) {
    // A count of codes whose bits end "beyond" bits after a whole byte.
    bool found = false;
    for (uint32_t n = 100; n < 108 && !found; ++n) {
      BitWriter w;
      PutFlatBlock(&w, std::vector<Item>(n, Item{false, 'a', 0}), n, 13);
      if ((w.bits - beyond) % 8 != 0) continue;
      Bytes cut(w.bytes.begin(), w.bytes.begin() + (w.bits - beyond) / 8);
      ForEachLoop([&](const Variant& v) {
        ResetProgress(0, 0);
        Decoded d = v.Decode(cut, 5, n, Bytes(16, 0xFF));
        EXPECT_EQ(d.status, beyond == 64 ? DECODE_DONE : DECODE_DAMAGED) << v.name << " " << beyond;
      });
      found = true;
    }
    EXPECT_TRUE(found);
  }
}

struct PosLengthCase {
  const char* bits;  // the stream, as 0 and 1
  int16_t n;
  int32_t count_bits;
  int32_t special;
  std::vector<uint8_t> lengths;  // expected g_pos_len[0..n-1]
  uint32_t consumed;             // bits taken
};

Bytes BitsToBytes(const char* bits, uint32_t* count) {
  BitWriter w;
  for (const char* p = bits; *p; ++p)
    if (*p == '0' || *p == '1') w.Put(*p == '1', 1);
  *count = w.bits;
  return w.bytes;
}

TEST(BlockMethod, ReadPosLengthsCases) {
  const PosLengthCase cases[] = {
      // Count 5; after the third length two zero lengths, which end the count.
      {"00101 001 010 011 10", 19, 5, 3, {1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       5 + 9 + 2},
      // Lengths 7, 8 and 9: 1110, 11110, 111110.
      {"0011 1110 11110 111110", 14, 4, -1, {7, 8, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       4 + 15},
      // Count 15 for 14 classes: the fifteenth length is read and ignored.
      {"1111 001 001 010 011 100 100 100 100 101 101 101 101 110 110 110", 14, 4, -1,
       {1, 1, 2, 3, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6}, 4 + 45},
      // Count 0: a single value, no lengths.
      {"00000 01001", 19, 5, 3, std::vector<uint8_t>(19, 0), 10},
  };
  for (const PosLengthCase& c : cases) {
    uint32_t nbits;
    Bytes bytes = BitsToBytes(c.bits, &nbits);
    // A marker after the case's bits shows how many were consumed.
    BitWriter w;
    for (uint32_t i = 0; i < nbits; ++i) w.Put((bytes[i / 8] >> (7 - i % 8)) & 1, 1);
    w.Put(0xBEEF, 16);
    BitSource src(w.bytes);
    memset(g_pos_len, 0x77, sizeof g_pos_len);
    ReadPosLengths(c.n, c.count_bits, c.special);
    for (int16_t i = 0; i < c.n; ++i) EXPECT_EQ(g_pos_len[i], c.lengths[i]) << c.bits << " @" << i;
    ASSERT_EQ(nbits, c.consumed);
    EXPECT_EQ(GetBits(16), 0xBEEF) << c.bits;
  }
  // The single value fills the whole table.
  uint32_t nbits;
  BitSource src(BitsToBytes("00000 01001", &nbits));
  ReadPosLengths(19, 5, 3);
  for (int32_t e = 0; e < POS_TABLE_SIZE; ++e) ASSERT_EQ(g_pos_table[e], 9);
}

// Damaged members (-lh4- to -lh7-, -lhx-): random bytes and jLHA streams
// with bytes changed must end at their unpacked size without a fault
// (output past it is damage), and both loops must agree on every byte (run
// under ASan too).
TEST(BlockMethod, DamagedDataEndsAndBothLoopsAgree) {
  std::mt19937 rng(77);
  Member text;
  ASSERT_TRUE(ReadLevel2Member(ReadFileBytes(FixturePath("text-lh7.lzh")), &text));
  const int32_t methods[] = {4, 5, 6, 7, METHOD_LHX};
  for (int round = 0; round < 150; ++round) {
    int32_t method = methods[round % 5];
    Bytes packed;
    uint32_t unpacked;
    if (round % 3 == 0) {
      packed.resize(rng() % 3000);
      for (uint8_t& b : packed) b = (uint8_t)rng();
      unpacked = rng() % 200000;
    } else {
      packed = text.packed;
      int flips = 1 + rng() % 8;
      for (int i = 0; i < flips; ++i) packed[rng() % packed.size()] ^= (uint8_t)(1 + rng() % 255);
      if (round % 3 == 2) packed.resize(rng() % packed.size());
      unpacked = text.unpacked;
    }
    Decoded first;
    ForEachLoop([&](const Variant& v) {
      ResetProgress(0, 0);
      Decoded d = v.Decode(packed, method, unpacked);
      // Damage stops the member: only whole window areas before that point
      // were written (the loops write areas of different sizes, so one
      // loop's output is the start of another's).
      if (d.status == DECODE_DAMAGED) {
        ASSERT_LT(d.out.size(), unpacked);
      } else {
        ASSERT_EQ(d.status, DECODE_DONE);
        ASSERT_EQ(d.out.size(), unpacked);
      }
      ASSERT_EQ(d.crc, Crc16(d.out));
      if (&v == &Variants().front()) {
        first = d;
        return;
      }
      ASSERT_EQ(d.status, first.status) << "round " << round << " method " << method;
      const size_t common = std::min(d.out.size(), first.out.size());
      size_t at = 0;
      while (at < common && d.out[at] == first.out[at]) ++at;
      ASSERT_EQ(at, common) << "round " << round << " method " << method << " loop " << v.name;
    });
  }
}

// A character count of 511 sends one length more than the alphabet has: it
// is read (its bits consumed) and dropped. Here the code-length code has
// two 1-bit codes, "0" the length 8 and "1" the length 9; the 510 lengths
// are a complete code (symbols 0 and 1 of 8 bits, the rest of 9), so a
// 511th length that counted would make it over-full, and one not read
// would shift the position code after it.
TEST(BlockMethod, CharacterCount511ReadsTheLastLengthAndDropsIt) {
  std::vector<Item> items;
  for (uint32_t i = 0; i < 300; ++i) items.push_back(i % 3 ? Item{false, i & 0xFF, 0} : Item{true, 3 + i % 250, i % 7});
  BitWriter w;
  w.Put((uint32_t)items.size(), 16);
  w.Put(12, 5);  // code-length code: 12 lengths
  w.Put(0, 3);
  w.Put(0, 3);
  w.Put(0, 3);
  w.Put(3, 2);  // symbols 3 to 5: no code
  for (int i = 6; i < 10; ++i) w.Put(0, 3);
  w.Put(1, 3);  // symbol 10 (the length 8): "0"
  w.Put(1, 3);  // symbol 11 (the length 9): "1"
  w.Put(511, 9);
  w.Put(0, 2);
  for (int i = 2; i < 511; ++i) w.Put(1, 1);
  w.Put(14, 4);
  for (int i = 0; i < 14; ++i) w.Put(5, 3);  // position classes: 5 bits each
  for (const Item& it : items) {
    const uint32_t symbol = it.match ? 253 + it.value : it.value;
    if (symbol < 2)
      w.Put(symbol, 8);
    else
      w.Put(symbol + 2, 9);
    if (!it.match) continue;
    uint32_t cls = 0;
    while ((it.dist >> cls) != 0) ++cls;
    w.Put(cls, 5);
    if (cls > 1) w.Put(it.dist - (1u << (cls - 1)), cls - 1);
  }
  w.Put(0, 16);
  const Bytes expected = ExpandItems(items, 13);
  ForEachLoop([&](const Variant& v) {
    ResetProgress(0, 0);
    Decoded d = v.Decode(w.bytes, 5, (uint32_t)expected.size());
    EXPECT_EQ(d.status, DECODE_DONE) << v.name;
    EXPECT_TRUE(d.out == expected) << v.name;
  });
}

// Lengths no valid block has: a character count of 511, zero runs past entry
// 509, code lengths of 17 to 20 and single values outside their alphabets.
TEST(BlockMethod, OutOfRangeHeadersStayInBounds) {
  struct HeaderCase {
    const char* name;
    void (*write)(BitWriter*);
  } cases[] = {
      {"count 511 and a long zero run",
       [](BitWriter* w) {
         w->Put(0, 5);
         w->Put(2, 5);  // code-length code: single value 2 (a zero run of 20 + 9 bits)
         w->Put(511, 9);
         for (int i = 0; i < 40; ++i) w->Put(511, 9);
       }},
      {"code lengths up to 20",
       [](BitWriter* w) {
         w->Put(19, 5);
         for (int i = 0; i < 19; ++i) w->Put(0x1FFF0 >> (i % 4), 17);
       }},
      {"single values outside the alphabets",
       [](BitWriter* w) {
         w->Put(0, 5);
         w->Put(31, 5);
         w->Put(0, 9);
         w->Put(511, 9);
         w->Put(0, 5);
         w->Put(31, 5);
       }},
  };
  for (const HeaderCase& c : cases) {
    for (int32_t method : {5, 7}) {
      BitWriter w;
      w.Put(1000, 16);
      c.write(&w);
      for (int i = 0; i < 4000; ++i) w.Put(0x5A5A, 16);
      ForEachLoop([&](const Variant& v) {
        ResetProgress(0, 0);
        Decoded d = v.Decode(w.bytes, method, 3000);
        // Codes that take far more bits than they should run out of input.
        if (d.status != DECODE_DAMAGED) {
          EXPECT_GE(d.out.size(), 3000u) << c.name;
        }
      });
    }
  }
}

}  // namespace

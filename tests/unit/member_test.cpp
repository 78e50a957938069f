// The method table, the stored copy and the dictionary loop of DecodeMember.
#include <gtest/gtest.h>

#include <random>

#include "decode/format.h"
#include "decode/loop.h"
#include "decode/member.h"
#include "decode_support.h"

using namespace decode_test;

namespace {

TEST(MethodTable, EveryRowIsFoundAndCanDecode) {
  // What DecodeMember relies on once CheckMember has passed a member: each
  // row that is neither stored nor the directory has all its routines and a
  // dictionary (there is no default size), and FindMethod finds every row.
  for (int32_t i = 0; i < METHOD_COUNT; ++i) {
    const MethodRow& row = MethodTable[i];
    EXPECT_EQ(FindMethod(MethodName(i)), i) << MethodName(i);
    bool routines = row.decode_char && row.decode_pos && row.start;
    EXPECT_EQ(routines, !row.stored && i != METHOD_LHD) << MethodName(i);
    if (routines) {
      EXPECT_GE(row.dict_bits, 11) << MethodName(i);
      EXPECT_LE(row.dict_bits, BLOCK_DICT_BITS_MAX) << MethodName(i);
    }
  }
  // Exactly five bytes are compared; what follows does not matter.
  EXPECT_EQ(FindMethod("-lh5-xyz"), 5);
  EXPECT_EQ(FindMethod("-lh8-"), -1);
  EXPECT_EQ(FindMethod("-LH5-"), -1);
  EXPECT_EQ(FindMethod("-lh5\0"), -1);
}

// The stub's chunk: the compact variant's.
const uint32_t STORED_CHUNK = StoredChunk<false>();

TEST(StoredCopy, ChunksProgressAndCrc) {
  const uint32_t n = 2 * STORED_CHUNK + 904;
  Bytes data(n);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 7 + (i >> 8));
  for (int32_t method : {METHOD_LH0, METHOD_LZ4}) {
    ResetProgress(n, 0);
    // The packed size is not used: the copy takes the unpacked size.
    Decoded d = DecodeBytesWith(DecodeMemberCompact, data, method, n, Bytes(100, 0xEE));
    EXPECT_EQ(d.status, DECODE_DONE);
    EXPECT_EQ(d.out, data);
    EXPECT_EQ(d.crc, Crc16(data));
    EXPECT_EQ(d.in_pos, (long)n);
    EXPECT_EQ(d.writes, (std::vector<size_t>{STORED_CHUNK, STORED_CHUNK, 904}));
    // After each chunk.
    EXPECT_EQ(ProgressLog(), (std::vector<uint32_t>{(uint32_t)(STORED_CHUNK * 100ull / n),
                                                    (uint32_t)(2 * STORED_CHUNK * 100ull / n), 100}));
  }
}

TEST(StoredCopy, AbortStopsAfterTheChunk) {
  Bytes data(2 * STORED_CHUNK + 904, 'a');
  ResetProgress((uint32_t)data.size(), 0);
  static HostCallbacks callbacks;
  memset(&callbacks, 0, sizeof callbacks);
  callbacks.progress = [](uint32_t p) {
    ProgressLog().push_back(p);
    g_continue = 0;
  };
  HostSetCallbacks(&callbacks);
  Decoded d = DecodeBytesWith(DecodeMemberCompact, data, METHOD_LH0, (uint32_t)data.size(), Bytes());
  HostSetCallbacks(nullptr);
  g_continue = 1;
  EXPECT_EQ(d.status, DECODE_ABORTED);
  EXPECT_EQ(d.writes, (std::vector<size_t>{STORED_CHUNK}));
  EXPECT_EQ(d.crc, Crc16(Bytes(STORED_CHUNK, 'a')));
}

TEST(Crc, CheckValuesAndSlicedAgreesWithBytewise) {
  BuildCrcTable();
  EXPECT_EQ(g_crc_table[1], 0xC0C1);
  EXPECT_EQ(g_crc_table[128], 0xA001);
  EXPECT_EQ(g_crc_table[255], 0x4040);
  g_crc = 0;
  UpdateCrc((const uint8_t*)"123456789", 9);
  EXPECT_EQ(g_crc, 0xBB3D);
  std::mt19937 rng(5);
  Bytes data(3000);
  for (uint8_t& b : data) b = (uint8_t)rng();
  // Every length and alignment around the eight-byte steps, in pieces.
  for (uint32_t len = 0; len < 40; ++len) {
    for (uint32_t offset = 0; offset < 9; ++offset) {
      Bytes piece(data.begin() + offset, data.begin() + offset + len * 37);
      g_crc = 0;
      UpdateCrc(piece.data(), (uint32_t)(len * 20));
      UpdateCrc(piece.data() + len * 20, (uint32_t)(len * 17));
      ASSERT_EQ(g_crc, Crc16(piece)) << len << " " << offset;
    }
  }
}

struct LoopCase {
  int32_t method;
  int32_t dict_bits;
};

// Random literals and matches of every length at distances that cross the
// end of the dictionary, overlap the bytes being written or reach the whole
// dictionary back; both loops must give the byte-at-a-time result and write
// the output a whole window area (a dictionary in the stub) at a time.
TEST(DictionaryLoop, RandomItemsMatchTheByteAtATimeModel) {
  const LoopCase cases[] = {{4, 12}, {5, 13}, {6, 15}, {7, 16}};
  for (const LoopCase& c : cases) {
    std::mt19937 rng((uint32_t)c.dict_bits);
    const uint32_t size = 1u << c.dict_bits;
    std::vector<Item> items;
    uint32_t total = 0;
    while (total < WindowArea<kFastDecode>(size) * 3 + 1234) {
      uint32_t r = (uint32_t)(rng() % 100);
      Item it;
      if (r < 40) {
        it = {false, (uint32_t)(rng() % 256), 0};
      } else {
        uint32_t dist;
        if (r < 55)
          dist = (uint32_t)(rng() % 20);  // overlapping copies
        else if (r < 60)
          dist = (uint32_t)(size - 1 - rng() % 4);  // a whole dictionary back
        else
          dist = rng() % size;
        it = {true, (uint32_t)(3 + rng() % 254), dist};
      }
      items.push_back(it);
      total += it.match ? it.value : 1;
    }
    BitWriter w;
    PutFlatBlock(&w, items, (uint32_t)items.size(), c.dict_bits);
    Bytes expected = ExpandItems(items, c.dict_bits);
    ForEachVariant([&](const Variant& v) {
      const uint32_t chunk = v.fast ? WindowArea<true>(size) : WindowArea<false>(size);
      ResetProgress(0, 0);
      Decoded d = v.Decode(w.bytes, c.method, total);
      ASSERT_EQ(d.status, DECODE_DONE);
      ASSERT_EQ(d.out.size(), expected.size());
      ASSERT_TRUE(d.out == expected) << "method " << c.method << " " << v.name;
      EXPECT_EQ(d.crc, Crc16(expected));
      ASSERT_GE(d.writes.size(), 3u);
      for (size_t i = 0; i + 1 < d.writes.size(); ++i) EXPECT_EQ(d.writes[i], chunk);
      EXPECT_EQ(d.writes.back(), total % chunk == 0 ? chunk : total % chunk);
    });
  }
}

// A member's output depends on its own bytes only: decoding the same bytes
// after members that left different state behind (tables, trees, windows)
// gives the same result, for every compressed method, on jLHA's data and on
// arbitrary bytes.
TEST(DecodeMember, OutputDependsOnlyOnTheMembersOwnBytes) {
  Member text;
  ASSERT_TRUE(ReadLevel2Member(ReadFileBytes(FixturePath("text-lh5.lzh")), &text));
  std::mt19937 rng(9);
  for (int32_t method = 1; method <= 9; ++method) {
    for (int round = 0; round < 6; ++round) {
      Bytes packed(200 + rng() % 1500);
      for (uint8_t& b : packed) b = (uint8_t)rng();
      const uint32_t size = round == 0 ? text.unpacked : 1 + rng() % 40000;
      if (round == 0) packed = text.packed;
      Decoded first;
      for (int before = 0; before < 3; ++before) {
        ResetProgress(0, 0);
        // Something else first: the jLHA member, then arbitrary bytes.
        Bytes other = text.packed;
        for (int k = 0; k < before * 50; ++k) other[rng() % other.size()] = (uint8_t)rng();
        DecodeBytes(other, before == 2 ? 5 : method, text.unpacked);
        Decoded d = DecodeBytes(packed, method, size);
        if (before == 0) {
          first = d;
        } else {
          EXPECT_EQ(d.status, first.status) << method << " " << round;
          ASSERT_TRUE(d.out == first.out) << method << " " << round << " after " << before;
        }
      }
    }
  }
}

// Matches of 256 bytes, one byte back, without end; past a given number of
// codes the input "runs out".
struct EndlessRuns {
  static constexpr bool kRuns = false;
  uint32_t codes = 0;
  uint32_t Char() { return ++codes == 17000000 ? CODE_DAMAGED : 256 + MATCH_BIAS; }
  uint32_t Pos(uint32_t, uint32_t) { return 0; }
  bool Overrun() { return false; }
  void Finish() {}
};

// Members past 4 GiB of matches: one declaring 4 GiB + 256 bytes decodes
// whole (the host counts 64 bits); one declaring 4 GiB - 1 stops as damaged
// at the match that crosses its size, not going on while input lasts.
// (4 GiB of copies: the fast paths only.)
TEST(DictionaryLoop, CountsPast4GiB) {
  if (!kFastDecode) GTEST_SKIP() << "4 GiB through the compact paths take too long";
  const struct {
    uint64_t declared;
    DecodeStatus status;
    uint32_t codes;
  } cases[] = {{(1ull << 32) + 256, DECODE_DONE, (1u << 24) + 1}, {0xFFFFFFFFu, DECODE_DAMAGED, 1u << 24}};
  for (const auto& c : cases) {
    ResetProgress(0xFFFFFFFFu, 0);
    BuildCrcTable();
    g_out_stream = fopen("/dev/null", "wb");
    g_unpacked_size = c.declared;
    const uint32_t size = 1u << 13;
    std::vector<uint8_t> window(WindowAllocation<kFastDecode>(size) + WINDOW_SLACK, ' ');
    EndlessRuns d;
    EXPECT_EQ(DictionaryLoop<kFastDecode>(d, window.data(), size, MATCH_BIAS), c.status) << c.declared;
    EXPECT_EQ(d.codes, c.codes) << c.declared;
    fclose(g_out_stream);
  }
}

TEST(DictionaryLoop, SizeOfOneDictionaryIsOneWholeWrite) {
  Bytes input = ReadFileBytes(FixturePath("dict8192.txt"));
  Member m;
  ASSERT_TRUE(ReadLevel2Member(ReadFileBytes(FixturePath("dict8192-lh5.lzh")), &m));
  ASSERT_EQ(m.unpacked, 8192u);
  ResetProgress(0, 0);
  Decoded d = DecodeBytes(m.packed, 5, m.unpacked);
  EXPECT_EQ(d.out, input);
  EXPECT_EQ(d.writes, (std::vector<size_t>{8192}));
  EXPECT_EQ(d.crc, m.crc);
}

TEST(DictionaryLoop, FirstMatchCopiesSpacesAndCode256IsThreeBytes) {
  BitWriter w;
  PutFlatBlock(&w, {{true, 3, 4}, {false, 'x', 0}}, 2, 13);
  ResetProgress(0, 0);
  Decoded d = DecodeBytes(w.bytes, 5, 4);
  EXPECT_EQ(std::string(d.out.begin(), d.out.end()), "   x");
}

TEST(DictionaryLoop, EmptyMemberAndNoPackedBytes) {
  ResetProgress(0, 0);
  Decoded empty = DecodeBytes(Bytes{0x12, 0x34}, 5, 0);
  EXPECT_EQ(empty.status, DECODE_DONE);
  EXPECT_TRUE(empty.out.empty());
  EXPECT_TRUE(empty.writes.empty());
  EXPECT_EQ(empty.crc, 0);
  // With no compressed byte the input is zero bits: a block of 65536 codes
  // whose every code is the single value 0.
  Decoded zeros = DecodeBytes(Bytes(), 5, 7, Bytes(50, 0xFF));
  EXPECT_EQ(zeros.out, Bytes(7, 0));
}

TEST(DictionaryLoop, ProgressAfterEveryCodeAndAbort) {
  // 20000 literals: positions 1 to 100 of a 20000-byte total would all be
  // sent, one for every 200 codes; aborting at the first send stops the
  // member before any dictionary is written.
  std::vector<Item> items;
  for (int i = 0; i < 20000; ++i) items.push_back({false, (uint32_t)(i & 0x7F), 0});
  BitWriter w;
  PutFlatBlock(&w, items, (uint32_t)items.size(), 15);
  ForEachVariant([&](const Variant& v) {
    ResetProgress(20000, 0);
    Decoded d = v.Decode(w.bytes, 6, 20000);
    std::vector<uint32_t> all;
    for (uint32_t p = 1; p <= 100; ++p) all.push_back(p);
    EXPECT_EQ(ProgressLog(), all);

    ResetProgress(20000, 0);
    static HostCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.progress = [](uint32_t p) {
      ProgressLog().push_back(p);
      if (p == 3) g_continue = 0;
    };
    HostSetCallbacks(&callbacks);
    d = v.Decode(w.bytes, 6, 20000);
    HostSetCallbacks(nullptr);
    g_continue = 1;
    EXPECT_EQ(d.status, DECODE_ABORTED);
    EXPECT_TRUE(d.writes.empty());
    // Nothing after the code that made the third percent.
    EXPECT_EQ(ProgressLog(), (std::vector<uint32_t>{1, 2, 3})) << v.name;
  });
}

// UpdateProgressQuiet(n) sends what UpdateProgress(n) sends and promises that
// no count from there up to its result sends anything: a run over growing
// counts through it must send exactly what UpdateProgress sends when it is
// also called at counts inside every promised range.
TEST(Progress, QuietRangesSendNothing) {
  const uint32_t totals[] = {1, 7, 150, 999, 1000, 1001, 1099, 4096, 123457, 4000000000u};
  for (uint32_t total : totals) {
    for (uint32_t done : {0u, 1u, 400u, 4294967000u}) {
      std::mt19937 rng(total + done);
      std::vector<uint32_t> counts, ends;
      ResetProgress(total, done);
      for (uint32_t n = 0; counts.size() < 300 && n < 0xFFFFFF00u;) {
        uint32_t end = UpdateProgressQuiet(n);
        ASSERT_GT(end, n);
        counts.push_back(n);
        ends.push_back(end);
        uint32_t next = end + rng() % 3;
        if (next < end) break;
        n = next;
      }
      std::vector<uint32_t> quiet = ProgressLog();
      ResetProgress(total, done);
      for (size_t i = 0; i < counts.size(); ++i) {
        UpdateProgress(counts[i]);
        uint32_t n = counts[i], end = ends[i];
        for (uint32_t k : {n + 1, n + (end - n) / 2, end - 1})
          if (k > n && k < end) UpdateProgress(k);
      }
      ASSERT_EQ(ProgressLog(), quiet) << total << " " << done;
      EXPECT_FALSE(quiet.empty());
    }
  }
}

}  // namespace

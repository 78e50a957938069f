// The compressor, decoded by the core's own DecodeMember: awkward inputs for
// every method, a seeded property loop, and the code-length limit.
#include <gtest/gtest.h>

#include "pack/compress.h"
#include "pack/huffman.h"
#include "pack_support.h"

using namespace pack_test;

namespace {

struct MethodCase {
  const char* name;
  int dict_bits;
  int32_t index;
};
const MethodCase METHODS[] = {{"lh5", 13, 5}, {"lh6", 15, 6}, {"lh7", 16, 7}};

struct Input {
  const char* what;
  Bytes data;
  bool compressible;
};

std::vector<Input> AwkwardInputs() {
  Bytes all_values;
  for (int r = 0; r < 64; ++r)
    for (int v = 0; v < 256; ++v) all_values.push_back((uint8_t)v);
  // A random block repeated at exactly the largest distance of each method.
  Bytes far = Random(65535, 7);
  Bytes far_repeat = far;
  far_repeat.insert(far_repeat.end(), far.begin(), far.begin() + 5000);
  Bytes spaces(3000, ' ');  // the decoder's dictionary starts as spaces
  spaces.push_back('x');
  return {
      {"one byte", {'A'}, false},
      {"three bytes", {'a', 'a', 'a'}, false},
      {"8192 bytes of text", Words(8192, 1), true},
      {"8193 bytes of text", Words(8193, 2), true},
      {"65536 bytes of text", Words(65536, 3), true},
      {"65537 bytes of text", Words(65537, 4), true},
      {"a long run", Bytes(1 << 20, 'a'), true},
      {"a run of zeros", Bytes(200000, 0), true},
      {"spaces first", spaces, true},
      {"every byte value", all_values, true},
      {"period three", [] { Bytes b; for (int i = 0; i < 30000; ++i) b.push_back("abc"[i % 3]); return b; }(),
       true},
      {"structured", Structured(300000, 65535, 5), true},
      {"random then repeated far back", far_repeat, false},
      {"random", Random(100000, 6), false},
      {"text then random", [] { Bytes b = Words(150000, 8); Bytes r = Random(150000, 9);
                                b.insert(b.end(), r.begin(), r.end()); return b; }(), true},
  };
}

TEST(Compressor, AwkwardInputsRoundTripForEveryMethod) {
  for (const Input& in : AwkwardInputs()) {
    for (const MethodCase& m : METHODS) {
      for (int level = LEVEL_MIN; level <= LEVEL_MAX; ++level) {
        SCOPED_TRACE(std::string(in.what) + " " + m.name + " level " + std::to_string(level));
        Bytes packed;
        bool smaller = CompressMember(in.data.data(), in.data.size(), m.dict_bits, level, &packed);
        if (in.compressible) {
          EXPECT_TRUE(smaller);
        }
        if (!smaller) {
          // Refused output is never used; nothing more to check.
          continue;
        }
        EXPECT_LT(packed.size(), in.data.size());
        uint16_t crc = 0;
        Bytes back = DecodeWithCore(packed, m.index, (uint32_t)in.data.size(), &crc);
        ASSERT_EQ(back.size(), in.data.size());
        ASSERT_TRUE(back == in.data);
        EXPECT_EQ(crc, DataCrc16(in.data.data(), in.data.size()));
      }
    }
  }
}

// A repeat at exactly the largest distance must be found and decode right:
// a random block, then the same block again, the dictionary size later.
TEST(Compressor, ReachesTheLargestDistance) {
  for (const MethodCase& m : METHODS) {
    uint32_t reach = 1u << m.dict_bits;
    Bytes block = Random(reach, 11);
    Bytes data = block;
    data.insert(data.end(), block.begin(), block.end());
    Bytes packed;
    ASSERT_TRUE(CompressMember(data.data(), data.size(), m.dict_bits, LEVEL_DEFAULT, &packed)) << m.name;
    // The repeated block costs next to nothing.
    EXPECT_LT(packed.size(), block.size() + block.size() / 20) << m.name;
    uint16_t crc;
    EXPECT_TRUE(DecodeWithCore(packed, m.index, (uint32_t)data.size(), &crc) == data) << m.name;
  }
}

TEST(Compressor, RandomInputsOfRandomSizesComeBack) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 120; ++round) {
    const MethodCase& m = METHODS[rng() % 3];
    size_t size = rng() % 4 == 0 ? rng() % 64 : rng() % (rng() % 2 ? 5000 : 200000);
    Bytes data = rng() % 5 == 0 ? Random(size, rng()) : Structured(size, MaxDistance(m.dict_bits), rng());
    SCOPED_TRACE("round " + std::to_string(round) + " " + m.name + " size " + std::to_string(size));
    Bytes packed;
    if (!CompressMember(data.data(), data.size(), m.dict_bits, LEVEL_DEFAULT, &packed)) {
      EXPECT_TRUE(data.size() < 64 || packed.size() >= data.size() || packed.empty());
      continue;
    }
    uint16_t crc;
    Bytes back = DecodeWithCore(packed, m.index, (uint32_t)data.size(), &crc);
    ASSERT_TRUE(back == data);
    ASSERT_EQ(crc, DataCrc16(data.data(), data.size()));
  }
}

// Stretches of a short period compress some 300 times: a near-optimal
// parse that cuts a long match at each chunk's end came out larger than
// level 1's greedy one.
TEST(Compressor, NearOptimalLevelsNoLargerThanGreedyOnShortRepeats) {
  Bytes data;
  std::mt19937 rng(3);
  for (int k = 0; k < 100; ++k) {
    Bytes unit = Random(2 + rng() % 11, rng());
    for (size_t n = 0; n + unit.size() <= 20000; n += unit.size()) data.insert(data.end(), unit.begin(), unit.end());
  }
  Bytes greedy;
  ASSERT_TRUE(CompressMember(data.data(), data.size(), 13, 1, &greedy));
  for (int level = 5; level <= LEVEL_MAX; ++level) {
    Bytes packed;
    ASSERT_TRUE(CompressMember(data.data(), data.size(), 13, level, &packed));
    EXPECT_LE(packed.size(), greedy.size()) << "level " << level;
  }
}

// Blocks hold at most 65535 codes, so long inputs need several; a 0 count
// would mean 65536 to the decoder.
TEST(Compressor, ManyBlocksInOneMember) {
  Bytes data = Structured(3 << 20, 8191, 21);
  Bytes packed;
  ASSERT_TRUE(CompressMember(data.data(), data.size(), 13, LEVEL_DEFAULT, &packed));
  uint16_t crc;
  EXPECT_TRUE(DecodeWithCore(packed, 5, (uint32_t)data.size(), &crc) == data);
}

uint64_t KraftSum(const uint8_t* len, int n, int limit) {
  uint64_t sum = 0;
  for (int i = 0; i < n; ++i)
    if (len[i]) sum += 1ull << (limit - len[i]);
  return sum;
}

// An input longer than the compressor's sliding buffer, copies reaching
// back across each slide, fed in the pieces the compressor asks for.
TEST(Compressor, StreamsAnInputLongerThanItsBuffer) {
  Bytes data = Structured(9u << 20, 65535, 12);
  Bytes packed;
  ASSERT_TRUE(CompressMember(data.data(), data.size(), 16, LEVEL_DEFAULT, &packed));
  uint16_t crc = 0;
  Bytes back = DecodeWithCore(packed, 7, (uint32_t)data.size(), &crc);
  ASSERT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
}

TEST(CodeLengths, CompleteAndWithinTheLimit) {
  struct Case {
    const char* what;
    std::vector<uint32_t> freq;
  };
  std::vector<uint32_t> fib(40), two(510, 0), flat(510, 3), skew(510);
  fib[0] = fib[1] = 1;
  for (int i = 2; i < 40; ++i) fib[i] = fib[i - 1] + fib[i - 2];
  two[7] = 1;
  two[400] = 1000000;
  for (int i = 0; i < 510; ++i) skew[i] = i < 20 ? 100000 : 1;
  Case cases[] = {{"Fibonacci (unlimited depth 38)", fib}, {"two symbols", two},
                  {"flat", flat}, {"skewed", skew}};
  for (const Case& c : cases) {
    int n = (int)c.freq.size();
    uint8_t len[512];
    int used = MakeCodeLengths(c.freq.data(), n, MAX_CODE_BITS, len);
    int max = 0;
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(len[i] == 0, c.freq[i] == 0) << c.what << " symbol " << i;
      max = std::max(max, (int)len[i]);
    }
    EXPECT_LE(max, MAX_CODE_BITS) << c.what;
    EXPECT_EQ(used, (int)std::count_if(c.freq.begin(), c.freq.end(), [](uint32_t f) { return f > 0; }));
    // Complete: strict decoders refuse a code with unused room.
    EXPECT_EQ(KraftSum(len, n, MAX_CODE_BITS), 1ull << MAX_CODE_BITS) << c.what;
  }
}

// The lengths themselves, not only their soundness: the packer's output
// depends on which of equal frequencies gets the shorter code, and on how
// a tree too deep is flattened.
TEST(CodeLengths, ExactLengths) {
  struct Case {
    const char* what;
    std::vector<uint32_t> freq;
    std::vector<uint8_t> want;
  };
  std::vector<uint32_t> fib(30), ties;
  fib[0] = fib[1] = 1;
  for (int i = 2; i < 30; ++i) fib[i] = fib[i - 1] + fib[i - 2];
  // Over 24 used symbols, frequencies above 255, many of them equal.
  for (int i = 0; i < 40; ++i) ties.push_back(i % 7 == 3 ? 0 : i % 4 == 0 ? 300 + (i % 3) * 256 : 1 + i % 3);
  Case cases[] = {
      {"one symbol", {0, 0, 5, 0}, {0, 0, 1, 0}},
      {"all equal", std::vector<uint32_t>(12, 7), {4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3}},
      {"Fibonacci, flattened to 16 bits", fib,
       {16, 16, 16, 16, 14, 13, 13, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 8, 7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2}},
      {"ties", ties, {4, 9, 8, 0, 3, 8, 10, 9, 3, 10, 0, 8, 4, 9, 8, 9, 3, 0, 9, 9,
                      3, 9, 9, 8, 0, 9, 8, 9, 3, 8, 9, 0, 3, 9, 9, 8, 4, 9, 0, 9}},
  };
  for (const Case& c : cases) {
    uint8_t len[512];
    MakeCodeLengths(c.freq.data(), (int)c.freq.size(), MAX_CODE_BITS, len);
    EXPECT_EQ(std::vector<uint8_t>(len, len + c.freq.size()), c.want) << c.what;
  }
}

TEST(CodeLengths, CanonicalCodesArePrefixFree) {
  uint32_t freq[510];
  std::mt19937 rng(3);
  for (auto& f : freq) f = rng() % 3 ? rng() % 1000 : 0;
  uint8_t len[510];
  uint16_t code[510];
  MakeCodeLengths(freq, 510, MAX_CODE_BITS, len);
  MakeCanonicalCodes(len, 510, code);
  for (int a = 0; a < 510; ++a) {
    for (int b = 0; b < 510; ++b) {
      if (a == b || !len[a] || !len[b] || len[a] > len[b]) continue;
      uint32_t prefix = (uint32_t)code[b] >> (len[b] - len[a]);
      ASSERT_NE(prefix, code[a]) << a << " is a prefix of " << b;
    }
  }
}

}  // namespace

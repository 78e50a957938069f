// The block methods' farthest match: a distance value of the dictionary size
// minus one copies from the byte a whole dictionary back, the one the window
// is about to overwrite. The packer uses it (a repeat at exactly the window
// size), so every loop of every build must copy it right.
#include <gtest/gtest.h>

#include "decode_support.h"

using namespace decode_test;

namespace {

TEST(BlockWindow, MatchAtTheFullDictionarySize) {
  const struct {
    int32_t method, dict_bits;
  } methods[] = {{5, 13}, {6, 15}, {7, 16}};
  for (const auto& m : methods) {
    const uint32_t size = 1u << m.dict_bits;
    // A dictionary of literals of which no two neighbours repeat nearer,
    // then two copies of its first bytes from the full size back.
    // Two blocks: the literals (a count of 0 is 65536), then the copies.
    std::vector<Item> literals, copies = {{true, 256, size - 1}, {true, 3, size - 1}};
    for (uint32_t i = 0; i < size; ++i) literals.push_back({false, (i * 7 + i / 256) & 255, 0});
    BitWriter w;
    PutFlatBlock(&w, literals, size & 0xFFFF, m.dict_bits);
    PutFlatBlock(&w, copies, 2, m.dict_bits);
    std::vector<Item> items = literals;
    items.insert(items.end(), copies.begin(), copies.end());
    Bytes expected = ExpandItems(items, m.dict_bits);
    ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + 259, expected.begin() + size));
    ForEachVariant([&](const Variant& v) {
      ResetProgress(0, 0);
      Decoded d = v.Decode(w.bytes, m.method, (uint32_t)expected.size());
      EXPECT_EQ(d.status, DECODE_DONE) << m.method << " " << v.name;
      EXPECT_TRUE(d.out == expected) << m.method << " " << v.name;
    });
  }
}

}  // namespace

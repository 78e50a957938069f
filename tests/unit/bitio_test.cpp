// CRC-16 and the bit input over a member's compressed bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "decode/bitio.h"
#include "tests/unit/reader_support.h"

using namespace reader_test;

namespace {

uint16_t Crc(const std::string& s) { return Crc16(0, reinterpret_cast<const uint8_t*>(s.data()), (uint32_t)s.size()); }

TEST(Crc16, TableAndCheckValues) {
  BuildCrcTable();
  EXPECT_EQ(g_crc_table[0], 0x0000);
  EXPECT_EQ(g_crc_table[1], 0xC0C1);
  EXPECT_EQ(g_crc_table[128], 0xA001);
  EXPECT_EQ(g_crc_table[255], 0x4040);
  EXPECT_EQ(Crc("123456789"), 0xBB3D);
  EXPECT_EQ(Crc("abc"), 0x9738);
  EXPECT_EQ(Crc(""), 0x0000);
}

TEST(Crc16, RunsOnAcrossCallsAndWrites) {
  BuildCrcTable();
  g_crc = 0;
  UpdateCrc(reinterpret_cast<const uint8_t*>("1234"), 4);
  FILE* out = tmpfile();
  ASSERT_NE(out, nullptr);
  WriteWithCrc(reinterpret_cast<const uint8_t*>("56789"), 5, out);
  EXPECT_EQ(g_crc, 0xBB3D);
  EXPECT_EQ(ftell(out), 5);
  rewind(out);
  char back[6] = {0};
  ASSERT_EQ(fread(back, 1, 5, out), 5u);
  EXPECT_STREQ(back, "56789");
  fclose(out);
}

// The sliced and folded paths against one table step a byte, at every
// length up to past two 64-byte steps and at the lengths of window areas,
// whole and split where a call may end.
TEST(Crc16, EveryPathAgreesWithOneByteAtATime) {
  BuildCrcTable();
  std::mt19937 rng(5);
  Bytes data(300000);
  for (uint8_t& b : data) b = (uint8_t)rng();
  auto bytewise = [](uint16_t crc, const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) crc = (uint16_t)(g_crc_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8));
    return crc;
  };
  std::vector<uint32_t> lengths;
  for (uint32_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (uint32_t n : {255u, 256u, 257u, 4095u, 262144u, 262144u + 37u}) lengths.push_back(n);
  for (uint32_t n : lengths) {
    const uint8_t* p = data.data() + n % 13;
    const uint16_t want = bytewise(0, p, n);
    EXPECT_EQ(Crc16(0, p, n), want) << n;
    const uint32_t cut = n * 2 / 5;
    EXPECT_EQ(Crc16(Crc16(0, p, cut), p + cut, n - cut), want) << n << " cut at " << cut;
  }
}

// Bit input over a member of the given bytes. The buffer holds buffer_size
// bytes and is refilled from the stream, which also holds bytes behind the
// member that must never be taken.
class BitInput {
 public:
  BitInput(const Bytes& member, uint32_t buffer_size, const Bytes& behind = {0xEE, 0xEE, 0xEE, 0xEE})
      : stream_(Cat(member, behind)), buffer_(buffer_size, 0xCC) {
    g_in_stream = stream_.get();
    g_in_buf = buffer_.data();
    g_in_buf_size = buffer_size;
    g_in_buf_pos = buffer_size;  // empty: the first byte refills it
    g_packed_left = (uint32_t)member.size();
  }
  ~BitInput() {
    g_in_stream = nullptr;
    g_in_buf = nullptr;
    g_in_buf_size = 0;
    g_in_buf_pos = 0;
    g_packed_left = 0;
  }
  long StreamPos() const { return stream_.pos(); }

 private:
  MemStream stream_;
  Bytes buffer_;
};

TEST(BitInput, AcrossByteBoundaries) {
  BitInput input({0xA5, 0x0F}, 16);
  InitBits();
  EXPECT_EQ(g_bit_buf, 0xA50F);
  EXPECT_EQ(GetBits(3), 5);
  EXPECT_EQ(GetBits(6), 0x0A);
  EXPECT_EQ(GetBits(7), 0x0F);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(GetBits(16), 0) << i;
  EXPECT_EQ(g_packed_left, 0u);
}

TEST(BitInput, GetBitsZeroAndSixteen) {
  BitInput input({0x12, 0x34, 0x56, 0x78, 0x9A}, 16);
  InitBits();
  ASSERT_EQ(GetBits(1), 0);
  const uint16_t buf = g_bit_buf;
  const uint32_t left = g_packed_left;
  EXPECT_EQ(GetBits(0), 0);
  EXPECT_EQ(g_bit_buf, buf);
  EXPECT_EQ(g_packed_left, left);
  // 0x1234 0x5678 0x9A shifted by one bit.
  EXPECT_EQ(GetBits(16), 0x2468);
  EXPECT_EQ(GetBits(16), 0xACF1);
  EXPECT_EQ(GetBits(7), 0x1A);
}

TEST(BitInput, OneByteMember) {
  BitInput input({0xC3}, 16);
  InitBits();
  EXPECT_EQ(g_bit_buf, 0xC300);
  EXPECT_EQ(g_packed_left, 0u);
}

TEST(BitInput, NoReadAfterTheData) {
  // A buffer of 2 bytes: the member's 3 bytes come in two refills; the
  // second asks for a whole buffer and so takes one byte behind the member.
  BitInput input({0xF0, 0x0F, 0xAA}, 2);
  InitBits();
  EXPECT_EQ(GetBits(8), 0xF0);
  EXPECT_EQ(GetBits(8), 0x0F);
  EXPECT_EQ(GetBits(8), 0xAA);
  const long after = input.StreamPos();
  EXPECT_EQ(after, 4);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(GetBits(13), 0);
  EXPECT_EQ(ReadPackedByte(), 0);
  EXPECT_EQ(input.StreamPos(), after);
}

TEST(BitInput, SeventeenBitsLoseTheSurplus) {
  Bytes data = {0x81, 0x42, 0x24, 0x18, 0xFF};
  uint16_t once, twice;
  {
    BitInput input(data, 16);
    InitBits();
    FillBits(17);
    once = g_bit_buf;
  }
  {
    BitInput input(data, 16);
    InitBits();
    FillBits(16);
    FillBits(1);
    twice = g_bit_buf;
  }
  EXPECT_EQ(once, twice);
  EXPECT_EQ(once, 0x4831);  // the bits of 0x24 0x18 0xFF from the 18th on
}

TEST(BitInput, InitGoesOnFromTheBufferPosition) {
  BitInput input({1, 2, 3, 4}, 16);
  ASSERT_EQ(ReadPackedByte(), 1);
  InitBits();
  EXPECT_EQ(g_bit_buf, 0x0203);
  EXPECT_EQ(GetBits(16), 0x0203);
  EXPECT_EQ(g_bit_buf, 0x0400);
}

}  // namespace

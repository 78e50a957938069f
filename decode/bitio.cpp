// CRC-16 (the reflected 0x8005 polynomial, initial value 0, no final XOR) and
// the most-significant-bit-first input over a member's compressed bytes.
#include "decode/bitio.h"

#include <string.h>

#include "decode/fast.h"

#if VEMO_FAST_DECODE && defined(__x86_64__)
#include <immintrin.h>
#define VEMO_CLMUL_CRC 1
#else
#define VEMO_CLMUL_CRC 0
#endif

uint16_t g_crc_table[256];
uint16_t g_crc;
uint16_t g_bit_buf;
FILE* g_in_stream;
uint8_t* g_in_buf;
uint32_t g_in_buf_size;
uint32_t g_in_buf_pos;
MemberSize g_packed_left;
uint32_t g_overrun;
BitWindow g_bit_window;
uint32_t g_bit_avail;

// crc_slices[k][b]: the table entry of byte b followed by k + 1 zero bytes,
// so sixteen bytes are folded in with sixteen independent lookups (the fast
// paths only).
static uint16_t crc_slices[15][256];

#if VEMO_CLMUL_CRC
// Carry-less folding, 16 bytes a step. The CRC is the remainder of the
// message polynomial (times x^16) by P; a byte's bit 0 is its highest term.
// Loaded little-endian, a 16-byte block R holds L x^64 + H (L its first 8
// bytes); moving past the next block multiplies it by x^128, and
// L x^192 + H x^128 is congruent to L k1 + H k2 with k1 = x^192 mod P and
// k2 = x^128 mod P, a polynomial below degree 80 that the next block is
// XORed into. A carry-less product of two bit-reversed 64-bit values comes
// out one degree low in the 128-bit register, so the constants are x^191
// and x^127 mod P. The last folded block's own CRC (from 0) is the CRC of
// everything folded. Long runs keep four remainders, each folded over the
// 64 bytes to its next block (x^575 and x^511 mod P), so that the products
// of one step do not wait on each other; the four are folded into one at
// the end, each 16 bytes past the one before.
static __m128i crc_fold_keys;
static __m128i crc_fold4_keys;
static bool crc_clmul;

static uint64_t ReversedPowerModP(uint32_t n) {
  uint32_t r = 1;
  while (n--) {
    r <<= 1;
    if (r & 0x10000) r ^= 0x18005;
  }
  uint64_t reversed = 0;
  for (uint32_t d = 0; d < 16; ++d)
    if (r >> d & 1) reversed |= 1ull << (63 - d);
  return reversed;
}

__attribute__((target("pclmul,sse2"))) static inline __m128i Fold(__m128i r, __m128i keys, const __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(r, keys, 0x00), _mm_clmulepi64_si128(r, keys, 0x11)), next);
}

__attribute__((target("pclmul,sse2"))) static uint32_t FoldCrc(uint32_t crc, const uint8_t* data,
                                                               uint32_t blocks) {
  const __m128i* next = (const __m128i*)data;
  __m128i r = _mm_xor_si128(_mm_loadu_si128(next++), _mm_cvtsi32_si128((int)crc));
  uint32_t left = blocks - 1;  // blocks not yet taken
  const __m128i keys = crc_fold_keys;
  if (left >= 7) {
    __m128i r1 = _mm_loadu_si128(next), r2 = _mm_loadu_si128(next + 1), r3 = _mm_loadu_si128(next + 2);
    next += 3;
    left -= 3;
    const __m128i keys4 = crc_fold4_keys;
    for (; left >= 4; left -= 4, next += 4) {
      r = Fold(r, keys4, _mm_loadu_si128(next));
      r1 = Fold(r1, keys4, _mm_loadu_si128(next + 1));
      r2 = Fold(r2, keys4, _mm_loadu_si128(next + 2));
      r3 = Fold(r3, keys4, _mm_loadu_si128(next + 3));
    }
    r = Fold(Fold(Fold(r, keys, r1), keys, r2), keys, r3);
  }
  for (; left > 0; --left) r = Fold(r, keys, _mm_loadu_si128(next++));
  uint8_t last[16];
  _mm_storeu_si128((__m128i*)last, r);
  crc = last[0] | (uint32_t)last[1] << 8;
  return crc_slices[14][crc & 0xFF] ^ crc_slices[13][crc >> 8] ^ crc_slices[12][last[2]] ^
         crc_slices[11][last[3]] ^ crc_slices[10][last[4]] ^ crc_slices[9][last[5]] ^ crc_slices[8][last[6]] ^
         crc_slices[7][last[7]] ^ crc_slices[6][last[8]] ^ crc_slices[5][last[9]] ^ crc_slices[4][last[10]] ^
         crc_slices[3][last[11]] ^ crc_slices[2][last[12]] ^ crc_slices[1][last[13]] ^
         crc_slices[0][last[14]] ^ g_crc_table[last[15]];
}
#endif

void BuildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001u : r >> 1;
    g_crc_table[i] = (uint16_t)r;
  }
  for (uint32_t i = 0; kFastDecode && i < 256; ++i) {
    uint16_t r = g_crc_table[i];
    for (int k = 0; k < 15; ++k) {
      r = (uint16_t)(g_crc_table[r & 0xFF] ^ (r >> 8));
      crc_slices[k][i] = r;
    }
  }
#if VEMO_CLMUL_CRC
  crc_fold_keys = _mm_set_epi64x((long long)ReversedPowerModP(127), (long long)ReversedPowerModP(191));
  crc_fold4_keys = _mm_set_epi64x((long long)ReversedPowerModP(511), (long long)ReversedPowerModP(575));
  crc_clmul = __builtin_cpu_supports("pclmul");
#endif
}

uint16_t Crc16(uint16_t crc_in, const uint8_t* data, uint32_t len) {
  uint32_t crc = crc_in;
#if VEMO_CLMUL_CRC
  if (len >= 64 && crc_clmul) {
    crc = FoldCrc(crc, data, len / 16);
    data += len & ~15u;
    len &= 15;
  }
#endif
  while (kFastDecode && len >= 16) {
    uint32_t x = crc ^ (data[0] | (uint32_t)data[1] << 8);
    crc = crc_slices[14][x & 0xFF] ^ crc_slices[13][x >> 8] ^ crc_slices[12][data[2]] ^
          crc_slices[11][data[3]] ^ crc_slices[10][data[4]] ^ crc_slices[9][data[5]] ^
          crc_slices[8][data[6]] ^ crc_slices[7][data[7]] ^ crc_slices[6][data[8]] ^
          crc_slices[5][data[9]] ^ crc_slices[4][data[10]] ^ crc_slices[3][data[11]] ^
          crc_slices[2][data[12]] ^ crc_slices[1][data[13]] ^ crc_slices[0][data[14]] ^
          g_crc_table[data[15]];
    data += 16;
    len -= 16;
  }
  for (uint32_t i = 0; i < len; ++i) crc = g_crc_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return (uint16_t)crc;
}

void WriteWithCrc(const uint8_t* data, uint32_t len, FILE* out) {
  UpdateCrc(data, len);
  fwrite(data, 1, len, out);
}

uint8_t ReadPackedByte() {
  if (g_packed_left == 0) {
    ++g_overrun;
    return 0;
  }
  --g_packed_left;
  if (g_in_buf_pos == g_in_buf_size) {
    fread(g_in_buf, 1, g_in_buf_size, g_in_stream);
    g_in_buf_pos = 0;
  }
  return g_in_buf[g_in_buf_pos++];
}

// Past the member's compressed bytes ReadPackedByte supplies zeros without
// reading anything.
void RefillBitWindow() {
  if (kFastDecode && g_packed_left >= 8 && g_in_buf_size - g_in_buf_pos >= 8) {
    uint64_t v;
    memcpy(&v, g_in_buf + g_in_buf_pos, 8);
    v = __builtin_bswap64(v);
    uint32_t bytes = (WINDOW_FILL - g_bit_avail) >> 3;  // at least 1
    uint32_t bits = bytes * 8;
    g_bit_window |= (BitWindow)(v >> (64 - bits)) << (BIT_WINDOW_BITS - g_bit_avail - bits);
    g_bit_avail += bits;
    g_in_buf_pos += bytes;
    g_packed_left -= bytes;
    return;
  }
  while (g_bit_avail + 8 <= WINDOW_FILL) {
    g_bit_window |= (BitWindow)ReadPackedByte() << (BIT_WINDOW_BITS - 8 - g_bit_avail);
    g_bit_avail += 8;
  }
}

void FillBitsSlow(uint32_t n) {
  for (;;) {
    uint32_t room = g_bit_avail - 16;
    uint32_t m = n < room ? n : room;
    g_bit_window <<= m;
    g_bit_avail -= m;
    n -= m;
    if (n == 0) break;
    RefillBitWindow();
  }
  if (g_bit_avail + 8 <= WINDOW_FILL) RefillBitWindow();
  g_bit_buf = (uint16_t)(g_bit_window >> (BIT_WINDOW_BITS - 16));
}

void InitBits() {
  g_bit_buf = 0;
  // Sixteen zero bits stand for the empty g_bit_buf; shifting them out loads
  // the first two bytes.
  g_bit_window = 0;
  g_bit_avail = 16;
  FillBitsSlow(16);
}

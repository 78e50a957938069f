// CRC-16 (the reflected 0x8005 polynomial, initial value 0, no final XOR) and
// the most-significant-bit-first input over a member's compressed bytes.
#include "decode/bitio.h"

#include <string.h>

#include "decode/fast.h"
#include "decode/member.h"

uint16_t g_crc_table[256];
uint16_t g_crc;
uint16_t g_bit_buf;
FILE* g_in_stream;
uint8_t* g_in_buf;
uint32_t g_in_buf_size;
uint32_t g_in_buf_pos;
uint32_t g_packed_left;
uint32_t g_overrun;
BitWindow g_bit_window;
uint32_t g_bit_avail;

#if VEMO_FAST_DECODE
// crc_slices[k][b]: the table entry of byte b followed by k + 1 zero bytes,
// so eight bytes are folded in with eight independent lookups.
static uint16_t crc_slices[7][256];
#endif

void BuildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001u : r >> 1;
    g_crc_table[i] = (uint16_t)r;
  }
#if VEMO_FAST_DECODE
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t r = g_crc_table[i];
    for (int k = 0; k < 7; ++k) {
      r = (uint16_t)(g_crc_table[r & 0xFF] ^ (r >> 8));
      crc_slices[k][i] = r;
    }
  }
#endif
}

void UpdateCrc(const uint8_t* data, uint32_t len) {
  uint32_t crc = g_crc;
#if VEMO_FAST_DECODE
  while (len >= 8) {
    uint32_t x = crc ^ (data[0] | (uint32_t)data[1] << 8);
    crc = crc_slices[6][x & 0xFF] ^ crc_slices[5][x >> 8] ^ crc_slices[4][data[2]] ^
          crc_slices[3][data[3]] ^ crc_slices[2][data[4]] ^ crc_slices[1][data[5]] ^
          crc_slices[0][data[6]] ^ g_crc_table[data[7]];
    data += 8;
    len -= 8;
  }
#endif
  for (uint32_t i = 0; i < len; ++i) crc = g_crc_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  g_crc = (uint16_t)crc;
}

void WriteWithCrc(const uint8_t* data, uint32_t len, FILE* out) {
  UpdateCrc(data, len);
  fwrite(data, 1, len, out);
}

uint8_t ReadPackedByte() {
  if (g_packed_left == 0) {
    if (InputOverrun()) g_unpacked_size = 0;
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
#if VEMO_FAST_DECODE
  if (g_packed_left >= 8 && g_in_buf_size - g_in_buf_pos >= 8) {
    uint64_t v;
    memcpy(&v, g_in_buf + g_in_buf_pos, 8);
    v = __builtin_bswap64(v);
    uint32_t bytes = (BIT_WINDOW_BITS - g_bit_avail) >> 3;  // 1 to 6
    uint32_t bits = bytes * 8;
    g_bit_window |= (BitWindow)(v >> (64 - bits)) << (BIT_WINDOW_BITS - g_bit_avail - bits);
    g_bit_avail += bits;
    g_in_buf_pos += bytes;
    g_packed_left -= bytes;
    return;
  }
#endif
  while (g_bit_avail <= BIT_WINDOW_BITS - 8) {
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
  if (g_bit_avail <= BIT_WINDOW_BITS - 8) RefillBitWindow();
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

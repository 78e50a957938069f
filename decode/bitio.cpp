// CRC-16 (the reflected 0x8005 polynomial, initial value 0, no final XOR) and
// the most-significant-bit-first input over a member's compressed bytes.
#include "decode/bitio.h"

uint16_t g_crc_table[256];
uint16_t g_crc;
uint16_t g_bit_buf;
uint8_t g_sub_byte;
uint8_t g_sub_bits;
FILE* g_in_stream;
uint8_t* g_in_buf;
uint32_t g_in_buf_size;
uint32_t g_in_buf_pos;
uint32_t g_packed_left;

void BuildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001u : r >> 1;
    g_crc_table[i] = (uint16_t)r;
  }
}

void UpdateCrc(const uint8_t* data, uint32_t len) {
  uint16_t crc = g_crc;
  for (uint32_t i = 0; i < len; ++i) crc = (uint16_t)(g_crc_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
  g_crc = crc;
}

void WriteWithCrc(const uint8_t* data, uint32_t len, FILE* out) {
  UpdateCrc(data, len);
  fwrite(data, 1, len, out);
}

uint8_t ReadPackedByte() {
  if (g_packed_left == 0) return 0;
  --g_packed_left;
  if (g_in_buf_pos == g_in_buf_size) {
    fread(g_in_buf, 1, g_in_buf_size, g_in_stream);
    g_in_buf_pos = 0;
  }
  return g_in_buf[g_in_buf_pos++];
}

void FillBits(uint8_t n) {
  while (n > g_sub_bits) {
    n = (uint8_t)(n - g_sub_bits);
    g_bit_buf = (uint16_t)((g_bit_buf << g_sub_bits) + (g_sub_byte >> (8 - g_sub_bits)));
    g_sub_byte = ReadPackedByte();
    g_sub_bits = 8;
  }
  g_sub_bits = (uint8_t)(g_sub_bits - n);
  g_bit_buf = (uint16_t)((g_bit_buf << n) + (g_sub_byte >> (8 - n)));
  g_sub_byte = (uint8_t)(g_sub_byte << n);
}

uint16_t GetBits(uint8_t n) {
  uint16_t value = (uint16_t)(g_bit_buf >> (16 - n));
  FillBits(n);
  return value;
}

void InitBits() {
  g_bit_buf = 0;
  g_sub_byte = 0;
  g_sub_bits = 0;
  FillBits(16);
}

// -lzs- and -lz5-: plain sliding-dictionary codes without Huffman coding.
// Both name a match's source by a slot of a ring that runs a fixed offset
// ahead of the dictionary position: slot s is position s + 17 (-lzs-) or
// s + 18 (-lz5-).
#include <string.h>

#include "decode/bitio.h"
#include "decode/member.h"
#include "decode/methods.h"

int32_t g_match_pos;
int32_t g_flag_count;
int32_t g_flags;

void StartLzs() { InitBits(); }

// An item is a 1 bit and 8 literal bits, or a 0 bit, an 11-bit slot and a
// 4-bit length: a match fills the 16-bit window exactly.
uint16_t DecodeCharLzs() {
  uint16_t v = g_bit_buf;
  if (v & 0x8000) {
    FillBits(9);
    return (uint16_t)((v >> 7) & 0xFF);
  }
  g_match_pos = (v >> 4) & 0x7FF;
  FillBits(16);
  return (uint16_t)(256 + (v & 0xF));
}

uint16_t DecodePosLzs() { return (uint16_t)((g_dict_pos - (uint32_t)g_match_pos - 18) & 0x7FF); }

// The preset dictionary: 18 zeros, thirteen copies of each byte value, the
// values ascending, the values descending, 128 zeros and 110 spaces (those
// are left from the fill of the whole dictionary with spaces).
void StartLz5() {
  g_flag_count = 0;
  memset(g_dict, 0, 18);
  uint8_t* d = g_dict + 18;
  for (int32_t v = 0; v < 256; ++v, d += 13) memset(d, v, 13);
  for (int32_t v = 0; v < 256; ++v) {
    g_dict[3346 + v] = (uint8_t)v;
    g_dict[3602 + v] = (uint8_t)(255 - v);
  }
  memset(g_dict + 3858, 0, 128);
}

// Whole bytes: a flag byte before every eight items (bit 0 first; 1 is a
// literal), a literal byte, or two match bytes holding a 12-bit slot and a
// 4-bit length.
uint16_t DecodeCharLz5() {
  if (g_flag_count == 0) {
    g_flag_count = 8;
    g_flags = ReadPackedByte();
  }
  --g_flag_count;
  uint16_t c = ReadPackedByte();
  if ((g_flags & 1) == 0) {
    uint8_t d = ReadPackedByte();
    g_match_pos = c + ((d & 0xF0) << 4);
    c = (uint16_t)((d & 0x0F) + 256);
  }
  g_flags >>= 1;
  return c;
}

uint16_t DecodePosLz5() { return (uint16_t)((g_dict_pos - (uint32_t)g_match_pos - 19) & 0xFFF); }

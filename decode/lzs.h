// -lzs- and -lz5-: the per-code routines, inline so that the host's loop
// takes them into itself (the method table holds their addresses).
#pragma once
#include <stdint.h>

#include "decode/bitio.h"
#include "decode/member.h"
#include "decode/methods.h"

// An item is a 1 bit and 8 literal bits, or a 0 bit, an 11-bit slot and a
// 4-bit length: a match fills the 16-bit window exactly.
inline uint32_t DecodeCharLzs() {
  uint32_t v = g_bit_buf;
  if (v & 0x8000) {
    FillBits(9);
    return (v >> 7) & 0xFF;
  }
  g_match_pos = (v >> 4) & 0x7FF;
  FillBits(16);
  return 256 + (v & 0xF);
}

inline uint32_t DecodePosLzs() { return (g_dict_pos - (uint32_t)g_match_pos - 18) & 0x7FF; }

// Whole bytes: a flag byte before every eight items (bit 0 first; 1 is a
// literal), a literal byte, or two match bytes holding a 12-bit slot and a
// 4-bit length.
inline uint32_t DecodeCharLz5() {
  if (g_flag_count == 0) {
    g_flag_count = 8;
    g_flags = ReadPackedByte();
  }
  --g_flag_count;
  uint32_t c = ReadPackedByte();
  if ((g_flags & 1) == 0) {
    uint8_t d = ReadPackedByte();
    g_match_pos = c + ((d & 0xF0) << 4);
    c = (d & 0x0F) + 256;
  }
  g_flags >>= 1;
  return c;
}

inline uint32_t DecodePosLz5() { return (g_dict_pos - (uint32_t)g_match_pos - 19) & 0xFFF; }

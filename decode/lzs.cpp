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


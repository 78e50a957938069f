// The match copy of the dictionary loops.
#pragma once
#include <stdint.h>
#include <string.h>

#include "decode/bitio.h"
#include "decode/fast.h"
#include "decode/member.h"

// Copies a match of len bytes from dictionary position from to *pos with the
// result of a copy one byte at a time: where the source runs into the bytes
// being written they repeat. The whole dictionary goes to g_out_stream
// whenever the write position wraps.
inline void CopyMatch(uint8_t* dict, uint32_t* pos_io, uint32_t from, uint32_t len, uint32_t size) {
  uint32_t pos = *pos_io;
#if VEMO_FAST_DECODE
  if (pos + len < size && from + len <= size) {
    uint8_t* dst = dict + pos;
    const uint8_t* src = dict + from;
    *pos_io = pos + len;
    // Eight bytes at a time where every word read is already in place when
    // it is read: the source ahead of the destination, or 8 or more back.
    if (from > pos || pos - from >= 8) {
      for (; len >= 8; len -= 8, src += 8, dst += 8) {
        uint64_t word;
        memcpy(&word, src, 8);
        memcpy(dst, &word, 8);
      }
    } else if (pos - from == 1) {
      memset(dst, *src, len);
      return;
    }
    while (len-- > 0) *dst++ = *src++;
    return;
  }
#endif
  const uint32_t mask = size - 1;
  for (uint32_t k = 0; k < len; ++k) {
    dict[pos++] = dict[(from + k) & mask];
    if (pos == size) {
      WriteWithCrc(dict, size, g_out_stream);
      pos = 0;
    }
  }
  *pos_io = pos;
}

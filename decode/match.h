// The match copy of the dictionary loops.
#pragma once
#include <stdint.h>
#include <string.h>

#include "decode/bitio.h"
#include "decode/member.h"

// Copies a match of len bytes from dictionary position from to *pos with the
// result of a copy one byte at a time: where the source runs into the bytes
// being written they repeat. The whole dictionary goes to g_out_stream
// whenever the write position wraps.
inline void CopyMatch(uint8_t* dict, uint32_t* pos_io, uint32_t from, uint32_t len, uint32_t size) {
  uint32_t pos = *pos_io;
  if (pos + len < size && from + len <= size) {
    uint8_t* dst = dict + pos;
    const uint8_t* src = dict + from;
    *pos_io = pos + len;
    if (from >= pos || pos - from >= len) {
      // A source at or ahead of the destination is read before it is
      // written, so a forward copy of overlapping ranges is a plain move.
      memmove(dst, src, len);
    } else if (pos - from == 1) {
      memset(dst, *src, len);
    } else {
      // Steps of the distance, each reading only bytes already in place.
      const uint32_t step = pos - from;
      while (len > step) {
        memcpy(dst, src, step);
        dst += step;
        len -= step;
      }
      memcpy(dst, src, len);
    }
    return;
  }
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

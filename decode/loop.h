// The sliding-dictionary loop that every compressed method runs through,
// written once over a decoder type: the stub instantiates it with the method
// table's routines, the host with a block decoder that keeps its bit window
// in registers (block.cpp).
//
// The window: [0, size) holds the dictionary as it stood before the bytes
// being made now (at first the fill, or -lz5-'s preset), then an area of
// WindowArea(size) bytes of output, then WINDOW_SLACK bytes that a match
// crossing the area's end runs into. When the output reaches the area's end
// the area goes to the file and its last size bytes move down to become the
// history; what ran into the slack moves with them. A match dist bytes back is then always at
// pos - dist (dist is at most size), never wrapped, so copies can run a word
// at a time and overshoot into bytes not yet made. Flat offsets agree with
// ring positions modulo size: the position routines of -lzs- and -lz5- see
// pos in g_dict_pos and mask it themselves.
#pragma once
#include <stdint.h>
#include <string.h>

#include "decode/bitio.h"
#include "decode/fast.h"
#include "decode/member.h"
#include "platform/floor.h"

// Output counts are member sizes: 64 bits on the host; 32 in the stub, where
// the checks run before the count can pass the declared size by more than
// one match, so a count that wrapped past 4 GiB is below the bytes already
// flushed, and that is how the loop tells it.
typedef MemberSize LoopCount;

// The progress step at count (UpdateProgressQuiet): past 4 GiB - 1, which
// the progress's 32 bits do not count, there is none before the end.
inline LoopCount ProgressStep(LoopCount count) {
  if constexpr (sizeof(LoopCount) > 4) {
    if (count >= 0xFFFFFFFFu) {
      UpdateProgress(0xFFFFFFFFu);
      return ~(LoopCount)0;
    }
  }
  return UpdateProgressQuiet((uint32_t)count);
}

// Bytes written at a time: a dictionary in the compact loop; in the fast
// one at least 256 KiB, so that writes are large and the history moves down
// seldom. The window is allocated for the larger.
template <bool kFast>
inline uint32_t WindowArea(uint32_t size) {
  return kFast && size < (1u << 18) ? 1u << 18 : size;
}
template <bool kFast>
inline uint32_t WindowAllocation(uint32_t size) {
  return size + WindowArea<kFast>(size);
}

// Longest match of any method (an -lh1- escape reaches 315) and a word of
// overshoot, rounded up.
const uint32_t WINDOW_SLACK = 1024;

// On the host everything of the loop is inlined into one function per
// decoder; in the stub the loop stays a function of its own, which links
// smaller.
#if VEMO_FAST_DECODE
#define VEMO_LOOP_INLINE inline __attribute__((always_inline))
#define VEMO_LOOP_FUNCTION inline __attribute__((always_inline))
#else
#define VEMO_LOOP_INLINE inline
#define VEMO_LOOP_FUNCTION inline __attribute__((noinline))
#endif

// Copies len bytes from dist bytes back, with the result of a copy one byte
// at a time (a source that runs into the bytes being written repeats them).
// The fast loop copies eight bytes a step and may write up to 7 bytes past
// the match into bytes not yet made; at a distance of 8 or more a match's
// first two steps are taken without a loop. A distance below 8 first makes
// eight bytes of its pattern, four one at a time and four in one copy from where
// the pattern repeats them (lz4 does the same); the source then goes on a
// whole number of patterns, at least 8 bytes, behind.
template <bool kFast>
VEMO_LOOP_INLINE void CopyMatch(uint8_t* dst, uint32_t dist, uint32_t len) {
  const uint8_t* src = dst - dist;
  uint8_t* const end = dst + len;
  if (kFast) {
    if (dist < 8) {
      static const uint8_t kAhead[8] = {0, 1, 2, 1, 0, 4, 4, 4};
      static const uint8_t kPatterns[8] = {8, 8, 8, 9, 8, 10, 12, 14};
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
      dst[3] = src[3];
      memcpy(dst + 4, src + kAhead[dist], 4);
      dst += 8;
      src = dst - kPatterns[dist];
    } else {
      // Most matches are short: their first 16 bytes without a loop.
      uint64_t word;
      memcpy(&word, src, 8);
      memcpy(dst, &word, 8);
      if (len <= 8) return;
      memcpy(&word, src + 8, 8);
      memcpy(dst + 8, &word, 8);
      if (len <= 16) return;
      src += 16;
      dst += 16;
    }
    while (dst < end) {
      uint64_t word;
      memcpy(&word, src, 8);
      memcpy(dst, &word, 8);
      src += 8;
      dst += 8;
    }
    return;
  }
  do *dst++ = *src++;
  while (--len);
}

// What a decoder's Run (below) did: the window offset it reached, and
// whether it stopped at damaged data.
struct RunEnd {
  uint32_t pos;
  bool damaged;
};

// Decoder: Char() gives the next code (below 256 a literal, else a match of
// code - bias bytes); Pos(pos, count) the match's distance code, given the
// window offset and the output count; either returns CODE_DAMAGED or more
// for damaged data. Overrun() tells whether the input ran past its end
// (InputOverrun); Finish() hands its state back to the globals. Where
// kRuns, Run(window, pos, end, mask) decodes codes in bulk up to end.
// Returns the member's outcome, having written all its output unless it was
// aborted or damaged.
// kFast: the host's loop; otherwise the stub's compact one.
template <bool kFast, class Decoder>
VEMO_LOOP_FUNCTION DecodeStatus DictionaryLoop(Decoder& d, uint8_t* window, uint32_t size, uint32_t bias) {
  const uint32_t mask = size - 1;
  const uint32_t area = WindowArea<kFast>(size);
  uint32_t pos = size;
  LoopCount flushed = 0;  // bytes written before window[size]
  LoopCount quiet_end = 1;
  uint32_t limit = pos;  // the next offset where the checks run
  DecodeStatus result = DECODE_DONE;
  for (;;) {
    // The compact loop runs these checks after every code, the fast one only
    // where the window fills, a progress step comes or the size is reached.
    if (!kFast || pos >= limit) {
      const LoopCount count = flushed + pos - size;
      if (count >= quiet_end) quiet_end = ProgressStep(count);
      if (!g_continue) {
        result = DECODE_ABORTED;
        break;
      }
      // The output has reached the declared size, or wrapped past 4 GiB (the
      // stub's count), or the input has run out: the member ends here.
      // Output past the size is damage; nothing of it is written. Otherwise a
      // full area goes to the file and the history moves down; at the end,
      // what the window holds.
      const bool overrun = d.Overrun();
      const bool end = overrun || count >= g_unpacked_size || count < flushed;
      if (end && (overrun || count != g_unpacked_size)) {
        result = DECODE_DAMAGED;
        break;
      }
      if (end || pos >= size + area) {
        WriteWithCrc(window + size, end ? pos - size : area, g_out_stream);
        if (end) break;
        pos -= area;
        if (kFast)
          memmove(window, window + area, pos);
        else
          for (uint32_t i = 0; i < pos; ++i) window[i] = window[i + area];
        flushed += area;
      }
      if (kFast) {
        const LoopCount next = quiet_end < g_unpacked_size ? quiet_end : g_unpacked_size;
        const LoopCount ahead = next - flushed;
        limit = ahead < area ? (uint32_t)ahead + size : size + area;
      }
    }
    if constexpr (kFast && Decoder::kRuns) {
      const RunEnd run = d.Run(window, pos, limit, mask);
      pos = run.pos;
      if (run.damaged) {
        result = DECODE_DAMAGED;
        break;
      }
      if (pos >= limit) continue;
    }
    const uint32_t c = d.Char();
    if (c < 256) {
      window[pos++] = (uint8_t)c;
    } else {
      // A damaged code still asks for its distance: that reads on, but never
      // outside the input, and it spares a test on the way.
      const uint32_t code = d.Pos(pos, (uint32_t)(flushed + pos - size));
      if ((c | code) >= CODE_DAMAGED) {
        result = DECODE_DAMAGED;
        break;
      }
      const uint32_t len = c - bias;
      CopyMatch<kFast>(window + pos, (code & mask) + 1, len);
      pos += len;
    }
  }
  // An abort or damage leaves what waits in the window unwritten.
  d.Finish();
  return result;
}

// The decoder over a method's routines, which keep their state in globals:
// the stub's for every method (TableRoutines: the routines of the method
// table, one call per code), the host's for methods without a loop of their
// own (-lzs- and -lz5- with their routines inline: a class whose static
// Char and Pos call them, kInline set).
struct TableRoutines {
  static constexpr bool kInline = false;
  static uint32_t Char() { return 0; }
  static uint32_t Pos() { return 0; }
};

template <class Routines = TableRoutines>
struct RoutineDecoder {
  static constexpr bool kRuns = false;  // see BlockDecoder::Run
  DecodeRoutine decode_char;
  DecodeRoutine decode_pos;
  VEMO_LOOP_INLINE uint32_t Char() {
    if constexpr (Routines::kInline) return Routines::Char();
    return decode_char();
  }
  VEMO_LOOP_INLINE uint32_t Pos(uint32_t pos, uint32_t count) {
    g_dict_pos = pos;
    g_out_count = count;
    if constexpr (Routines::kInline) return Routines::Pos();
    return decode_pos();
  }
  VEMO_LOOP_INLINE bool Overrun() { return InputOverrun(); }
  VEMO_LOOP_INLINE void Finish() {}
};

// CRC-16 of the output and the bit input over a member's compressed bytes.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "decode/fast.h"
#include "decode/state.h"

// A member's compressed bytes come from the input buffer (state.h), refilled
// from the archive stream and cut at the member's end, after which they are
// zeros. The bit window takes them most significant bit first: its top 16
// bits are always g_bit_buf, which method routines peek at directly before
// they consume what they used with FillBits; g_bit_avail (at least 16)
// counts the bits of the window that are loaded, the rest are 0. Bytes enter
// the window ahead of use, so g_packed_left and g_in_buf_pos run ahead of the
// bits consumed by up to a window's worth of bytes. A member is read either
// as bits or as whole bytes (ReadPackedByte), never both.
const uint32_t BIT_WINDOW_BITS = sizeof(BitWindow) * 8;
// Refills load whole bytes up to this many bits: the word, but one bit less
// on the host, whose fast decoder shifts new bytes in by the bits loaded and
// so needs that count below 64.
const uint32_t WINDOW_FILL = kFastDecode ? BIT_WINDOW_BITS - 1 : BIT_WINDOW_BITS;

// Zero bytes handed out past the end (g_overrun) are no fault: the window
// loads up to a word ahead of the bits consumed. Consuming more than
// OVERRUN_LIMIT bytes of them is: the stream then wants data it does not
// have. InputOverrun() says so; the dictionary loop asks it wherever it
// checks the output count, and at the member's end. Counting consumed bits
// rather than loaded bytes makes the decision the same whichever way the
// window is filled.
const uint32_t OVERRUN_LIMIT = 8;

// True when more than OVERRUN_LIMIT bytes past the end were consumed: the
// zero bits loaded less those still waiting in a window of avail bits.
inline bool InputOverrun(uint32_t avail) { return g_overrun * 8 > avail + OVERRUN_LIMIT * 8; }
inline bool InputOverrun() { return InputOverrun(g_bit_avail); }

void BuildCrcTable();
// The CRC-16 of size bytes of data, going on from crc (0 to start): for
// every caller outside the decoders' loop (BuildCrcTable first).
uint16_t Crc16(uint16_t crc, const uint8_t* data, uint32_t size);
// The decoders' loop keeps the running CRC of a member's output in g_crc: a
// global there spares passing and returning it through every write.
inline void UpdateCrc(const uint8_t* data, uint32_t len) { g_crc = Crc16(g_crc, data, len); }
void WriteWithCrc(const uint8_t* data, uint32_t len, FILE* out);

// Loads whole bytes into the window while a byte fits below WINDOW_FILL.
void RefillBitWindow();
// Consumes n bits (any n; more than 16 reads and drops the surplus) when the
// window does not hold enough of them.
void FillBitsSlow(uint32_t n);

inline void FillBits(uint8_t n) {
  if (n + 16u <= g_bit_avail) {
    g_bit_avail -= n;
    g_bit_window <<= n;  // n < BIT_WINDOW_BITS here
    g_bit_buf = (uint16_t)(g_bit_window >> (BIT_WINDOW_BITS - 16));
    return;
  }
  FillBitsSlow(n);
}

inline uint16_t GetBits(uint8_t n) {
  uint16_t value = (uint16_t)(g_bit_buf >> (16 - n));
  FillBits(n);
  return value;
}

void InitBits();
uint8_t ReadPackedByte();

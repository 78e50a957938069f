// CRC-16 of the output and the bit input over a member's compressed bytes.
#pragma once
#include <stdint.h>
#include <stdio.h>

extern uint16_t g_crc_table[256];
extern uint16_t g_crc;

// The next 16 bits of compressed input, earliest bit in bit 15. Method
// routines peek at it directly and then consume what they used with FillBits.
extern uint16_t g_bit_buf;

extern FILE* g_in_stream;
extern uint8_t* g_in_buf;
extern uint32_t g_in_buf_size;
extern uint32_t g_in_buf_pos;
extern uint32_t g_packed_left;
// Zero bytes handed out past the member's compressed bytes. The bit window
// loads up to a word ahead of the bits consumed; a decoder that consumes
// more than OVERRUN_LIMIT bytes past the end reads a damaged stream:
// ReadPackedByte then cuts g_unpacked_size to 0, which ends the dictionary
// loop; DecodeJob::Run checks once more at the end, for the bits consumed
// after the last load. Counting consumed bits rather than loaded bytes makes
// the decision the same whichever way the window is filled.
extern uint32_t g_overrun;
const uint32_t OVERRUN_LIMIT = 8;

// The member's declared size. The dictionary loop ends where its output
// reaches it; output beyond it is damage, so the one way to report damage
// from inside a decoder is to cut it to 0 (MarkDamaged): the loop then
// stops and DecodeJob::Run reports the member damaged.
extern uint32_t g_unpacked_size;
inline void MarkDamaged() { g_unpacked_size = 0; }

// The bit window: the coming input bits, earliest bit topmost. Its top 16
// bits are always g_bit_buf; g_bit_avail (at least 16) counts the bits of the
// window that are loaded, the rest are 0. Bytes enter the window ahead of
// use, so g_packed_left and g_in_buf_pos run ahead of the bits consumed by up
// to a window's worth of bytes. A member is read either as bits or as whole
// bytes (ReadPackedByte), never both.
typedef uintptr_t BitWindow;
const uint32_t BIT_WINDOW_BITS = sizeof(BitWindow) * 8;
extern BitWindow g_bit_window;
extern uint32_t g_bit_avail;

// True when more than OVERRUN_LIMIT bytes past the end were consumed: the
// zero bits loaded less those still waiting in the window.
inline bool InputOverrun() { return g_overrun * 8 > g_bit_avail + OVERRUN_LIMIT * 8; }

void BuildCrcTable();
// The CRC-16 of size bytes of data, going on from crc (0 to start): for
// every caller outside the decoders' loop (BuildCrcTable first).
uint16_t Crc16(uint16_t crc, const uint8_t* data, uint32_t size);
// The decoders' loop keeps the running CRC of a member's output in g_crc: a
// global there spares passing and returning it through every write.
inline void UpdateCrc(const uint8_t* data, uint32_t len) { g_crc = Crc16(g_crc, data, len); }
void WriteWithCrc(const uint8_t* data, uint32_t len, FILE* out);

// Loads whole bytes into the window until fewer than 8 bits of it are free.
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

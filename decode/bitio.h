// CRC-16 of the output and the bit input over a member's compressed bytes.
#pragma once
#include <stdint.h>
#include <stdio.h>

extern uint16_t g_crc_table[256];
extern uint16_t g_crc;

// The next 16 bits of compressed input, earliest bit in bit 15. Method
// routines peek at it directly and then consume what they used with FillBits.
extern uint16_t g_bit_buf;
extern uint8_t g_sub_byte;
extern uint8_t g_sub_bits;

extern FILE* g_in_stream;
extern uint8_t* g_in_buf;
extern uint32_t g_in_buf_size;
extern uint32_t g_in_buf_pos;
extern uint32_t g_packed_left;

void BuildCrcTable();
void UpdateCrc(const uint8_t* data, uint32_t len);
void WriteWithCrc(const uint8_t* data, uint32_t len, FILE* out);

void FillBits(uint8_t n);
uint16_t GetBits(uint8_t n);
void InitBits();
uint8_t ReadPackedByte();

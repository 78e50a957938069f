// Canonical Huffman lookup tables shared by the Huffman-coded methods.
#pragma once
#include <stdint.h>

#include "decode/format.h"

const int32_t CHAR_TABLE_SIZE = 4096;
const int32_t POS_LEN_SIZE = 128;
const int32_t POS_TABLE_SIZE = 256;
// The nodes of a code tree over the character alphabet.
const int32_t TREE_SIZE = 2 * CHAR_SYMBOLS - 1;

// What a table slot or tree child that no code reaches holds: decoding a
// symbol through it is damage. It lies above every symbol and node.
const uint16_t NO_CODE = (uint16_t)TREE_SIZE;

extern uint8_t g_char_len[CHAR_SYMBOLS];
extern uint16_t g_char_table[CHAR_TABLE_SIZE];
extern uint8_t g_pos_len[POS_LEN_SIZE];
extern uint16_t g_pos_table[POS_TABLE_SIZE];
extern uint16_t g_left[TREE_SIZE];
extern uint16_t g_right[TREE_SIZE];

// n symbols with the given code lengths; table_bits is 8 or 12. Every slot
// is written: a code with no lengths at all leaves only NO_CODE.
void BuildDecodeTable(int16_t n, const uint8_t* lengths, int32_t table_bits, uint16_t* table);

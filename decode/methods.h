// The routines of every compressed method, as the method table names them.
#pragma once
#include <stdint.h>

// -lh4- to -lh7-: block Huffman.
extern uint16_t g_block_left;
extern int32_t g_pos_symbols;
extern int32_t g_pos_count_bits;
void StartBlockMethod();
uint16_t DecodeCharBlock();
uint16_t DecodePosBlock();
void ReadPosLengths(int16_t n, int32_t count_bits, int32_t special);
void ReadCharLengths();

// -lh3- and the fixed position codes shared with -lh1-.
extern const int32_t FIXED_POS_LH1[];
extern const int32_t FIXED_POS_LH3[];
extern uint32_t g_static_pos_symbols;
extern uint16_t g_static_block_left;
void StartLh3();
uint16_t DecodeCharLh3();
uint16_t DecodePosStatic();
void ExpandFixedLengths(const int32_t* steps);

// -lh1- and -lh2-: adaptive Huffman.
const int32_t TREE_NODES = 884;
void StartLh1();
void StartLh2();
uint16_t DecodeCharAdaptive();
uint16_t DecodePosAdaptive();

// -lzs- and -lz5-.
extern int32_t g_match_pos;
extern int32_t g_flag_count;
extern int32_t g_flags;
void StartLzs();
uint16_t DecodeCharLzs();
uint16_t DecodePosLzs();
void StartLz5();
uint16_t DecodeCharLz5();
uint16_t DecodePosLz5();

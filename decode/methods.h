// The routines of every compressed method, as the method table names them.
// Their state is in decode/state.h; each decode routine returns a code or a
// distance, or CODE_DAMAGED (decode/member.h).
#pragma once
#include <stdint.h>

#include "decode/state.h"

// -lh4- to -lh7-: block Huffman (decode/block.cpp). The compact variant of
// the block decoder; the read routines return false for a damaged header.
void StartBlockMethod();
uint32_t DecodeCharBlock();
uint32_t DecodePosBlock();
bool ReadPosLengths(int16_t n, int32_t count_bits, int32_t special);
bool ReadCharLengths();

// -lh3- and the fixed position codes shared with -lh1-.
extern const int32_t FIXED_POS_LH1[];
extern const int32_t FIXED_POS_LH3[];
void StartLh3();
uint32_t DecodeCharLh3();
uint32_t DecodePosStatic();
void ExpandFixedLengths(const int32_t* steps);

// -lh1- and -lh2-: adaptive Huffman. One set of node arrays holds both trees:
// the character tree from CHAR_ROOT (nodes 0 to 627) and the -lh2- position
// tree from POS_ROOT (nodes 628 to 883). Position symbol p is leaf symbol
// POS_SYMBOL_BASE + p.
const int32_t CHAR_ROOT = 0;
const int32_t POS_ROOT = 628;
const int32_t POS_SYMBOL_BASE = 314;
const int32_t LH1_CHAR_SYMBOLS = 314;
const int32_t LH2_CHAR_SYMBOLS = 286;
void StartLh1();
void StartLh2();
uint32_t DecodeCharAdaptive();
uint32_t DecodePosAdaptive();
void InitCharTree();
void RebuildTree(int32_t first, int32_t end);
int32_t BumpNode(int32_t p);
void AddPosLeaf(int32_t p);
void UpdatePosTree(int32_t p);

// -lzs- and -lz5- (DecodeCharLzs, DecodePosLzs, DecodeCharLz5, DecodePosLz5:
// decode/lzs.h).
void StartLzs();
void StartLz5();

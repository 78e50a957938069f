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

// -lh1- and -lh2-: adaptive Huffman. One set of node arrays holds both trees:
// the character tree from CHAR_ROOT (nodes 0 to 627) and the -lh2- position
// tree from POS_ROOT (nodes 628 to 883). Position symbol p is leaf symbol
// POS_SYMBOL_BASE + p.
const int32_t TREE_NODES = 884;
const int32_t CHAR_ROOT = 0;
const int32_t POS_ROOT = 628;
const int32_t POS_SYMBOL_BASE = 314;
const int32_t LEAF_SYMBOLS = 442;
const int32_t LH1_CHAR_SYMBOLS = 314;
const int32_t LH2_CHAR_SYMBOLS = 286;
extern uint16_t g_node_weight[TREE_NODES];
extern int16_t g_node_child[TREE_NODES];  // internal: higher child h (other h - 1); leaf: ~symbol
extern uint16_t g_node_parent[TREE_NODES];
extern uint16_t g_node_run[TREE_NODES];    // run id; 0 = no run
extern uint16_t g_run_leader[TREE_NODES];  // by run id: lowest node of the run
extern uint16_t g_free_runs[TREE_NODES];   // stack of run ids
extern uint16_t g_leaf_node[LEAF_SYMBOLS];
extern int32_t g_free_runs_top;
extern int32_t g_char_symbols;
extern uint16_t g_max_match;
extern int32_t g_escape_code;
extern int32_t g_pos_last_node;
extern uint16_t g_pos_total;
extern uint32_t g_pos_next_count;
extern int32_t g_pos_limit;
void StartLh1();
void StartLh2();
uint16_t DecodeCharAdaptive();
uint16_t DecodePosAdaptive();
void InitCharTree();
void RebuildTree(int32_t first, int32_t end);
int32_t BumpNode(int32_t p);
void AddPosLeaf(int32_t p);
void UpdatePosTree(int32_t p);

// -lzs- and -lz5-.
extern int32_t g_match_pos;
extern int32_t g_flag_count;
extern int32_t g_flags;
// (DecodeCharLzs, DecodePosLzs, DecodeCharLz5, DecodePosLz5: decode/lzs.h)
void StartLzs();
void StartLz5();

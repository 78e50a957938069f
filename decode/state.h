// The decoders' process-wide state, every variable in one list: what it
// holds and who writes it. One member is decoded at a time, on one thread,
// so the state exists once (in the stub, globals are also what links
// smallest). Nothing here carries an outcome: damage, an abort and the end
// of a member travel as return values (CODE_DAMAGED, DecodeStatus).
// DecodeJob::Run sets what a member starts from before its method's start
// routine runs; a member's output never depends on what an earlier member
// left behind.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "decode/format.h"
#include "platform/floor.h"

// Sizes of the code tables.
const int32_t CHAR_TABLE_SIZE = 4096;  // 12 bits of lookup
const int32_t POS_LEN_SIZE = 128;
const int32_t POS_TABLE_SIZE = 256;  // 8 bits of lookup
// The nodes of a code tree over the character alphabet.
const int32_t TREE_SIZE = 2 * CHAR_SYMBOLS - 1;
// The adaptive trees (-lh1-, -lh2-): one set of node arrays holds both.
const int32_t TREE_NODES = 884;
const int32_t LEAF_SYMBOLS = 442;

// The bit window of the bit input: a machine word of coming bits.
typedef uintptr_t BitWindow;

// --- CRC (decode/bitio.cpp) ---
// g_crc_table: the CRC-16 of each byte value; BuildCrcTable (the extraction
// run and the packer, once). g_crc: running CRC-16 of the member's output;
// reset by DecodeJob::Run and the stored copy, advanced by WriteWithCrc.
extern uint16_t g_crc_table[256];
extern uint16_t g_crc;

// --- Compressed input (decode/bitio.cpp; set up by DecodeJob::Run) ---
// g_in_stream: the archive stream. g_in_buf, g_in_buf_size: the input buffer
// and the size of every refill. g_in_buf_pos: next unread byte of it.
// g_packed_left: the member's compressed bytes not yet taken (64 bits on
// the host, like the declared size below). All four
// advance in ReadPackedByte and RefillBitWindow (and in a fast decoder's own
// window, which hands them back when it stops).
extern FILE* g_in_stream;
extern uint8_t* g_in_buf;
extern uint32_t g_in_buf_size;
extern uint32_t g_in_buf_pos;
extern MemberSize g_packed_left;
// Zero bytes handed out past the member's end; ReadPackedByte counts them,
// InputOverrun judges them (bitio.h).
extern uint32_t g_overrun;
// The bit window: g_bit_window holds the coming bits, earliest topmost;
// g_bit_avail (at least 16 between calls) counts those loaded; g_bit_buf is
// its top 16 bits, which the method routines peek at. InitBits, FillBits and
// RefillBitWindow write them (and a fast decoder, when it hands back).
extern BitWindow g_bit_window;
extern uint32_t g_bit_avail;
extern uint16_t g_bit_buf;

// --- The member and its dictionary (decode/member.cpp, DecodeJob::Run) ---
// g_out_stream: the member's output file. g_dict: the window (dictionary and
// output staging). g_dict_bits: the dictionary bits of the method, read by
// the start routines. g_unpacked_size: the declared size, where the loop ends.
// g_dict_pos and g_out_count: the window offset and the output count at the
// match being decoded, written by the loop just before each decode_pos call
// (the -lzs-/-lz5- distances and the -lh2- position tree read them).
extern FILE* g_out_stream;
extern uint8_t* g_dict;
extern uint16_t g_dict_bits;
extern MemberSize g_unpacked_size;
extern uint32_t g_dict_pos;
extern uint32_t g_out_count;

// --- Code tables (decode/table.cpp; built by the method routines) ---
// Code lengths and 12- or 8-bit lookup tables of the compact paths, and the
// tree below them for longer codes. g_char_len/g_char_table: the block's
// character/length code; g_pos_len/g_pos_table: the code-length code, then
// the position code (-lh4- to -lh7-, -lh3-) or the fixed -lh1- code.
extern uint8_t g_char_len[CHAR_SYMBOLS];
extern uint16_t g_char_table[CHAR_TABLE_SIZE];
extern uint8_t g_pos_len[POS_LEN_SIZE];
extern uint16_t g_pos_table[POS_TABLE_SIZE];
extern uint16_t g_left[TREE_SIZE];
extern uint16_t g_right[TREE_SIZE];

// --- -lh4- to -lh7- (decode/block.cpp) ---
// g_block_left: codes left in the block (0: a header comes next), counted
// down by DecodeCharBlock. g_pos_symbols, g_pos_count_bits: the position
// alphabet and its count width; StartBlockMethod, from g_dict_bits.
extern uint16_t g_block_left;
extern int32_t g_pos_symbols;
extern int32_t g_pos_count_bits;

// --- -lh3- and the fixed position codes (decode/lh3.cpp) ---
// g_static_pos_symbols: position symbols of the method (StartLh3, StartLh1).
// g_static_block_left: codes left in the -lh3- block (DecodeCharLh3).
extern uint32_t g_static_pos_symbols;
extern uint16_t g_static_block_left;

// --- -lh1- and -lh2- (decode/adaptive.cpp; the start routines build them,
// every decoded symbol updates them) ---
// The node arrays of both trees: weight, child (internal: the higher child
// h, the other is h - 1; leaf: ~symbol), parent, run id; by run id the
// run's leader; the stack of free run ids and its top; each symbol's leaf.
extern uint16_t g_node_weight[TREE_NODES];
extern int16_t g_node_child[TREE_NODES];
extern uint16_t g_node_parent[TREE_NODES];
extern uint16_t g_node_run[TREE_NODES];
extern uint16_t g_run_leader[TREE_NODES];
extern uint16_t g_free_runs[TREE_NODES];
extern uint16_t g_leaf_node[LEAF_SYMBOLS];
extern int32_t g_free_runs_top;
// Per method, set by StartLh1/StartLh2: the character alphabet, the longest
// match and the escape code.
extern int32_t g_char_symbols;
extern uint16_t g_max_match;
extern int32_t g_escape_code;
// The -lh2- position tree: its last node, its total weight, the output
// count at which the next position symbol joins, and the dictionary size
// past which none does (StartLh2, DecodePosAdaptive).
extern int32_t g_pos_last_node;
extern uint16_t g_pos_total;
extern uint32_t g_pos_next_count;
extern int32_t g_pos_limit;

// --- -lzs- and -lz5- (decode/lzs.cpp, decode/lzs.h) ---
// g_match_pos: the slot of the match just decoded, from decode_char to the
// decode_pos that follows. g_flag_count, g_flags: -lz5-'s flag byte and the
// items it still covers (StartLz5, DecodeCharLz5).
extern int32_t g_match_pos;
extern int32_t g_flag_count;
extern int32_t g_flags;

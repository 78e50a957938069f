// -lh3- and the fixed position codes (not implemented yet).
#include "decode/methods.h"

const int32_t FIXED_POS_LH1[] = {3, 1, 4, 12, 24, 48, 0};
const int32_t FIXED_POS_LH3[] = {2, 1, 1, 3, 6, 13, 31, 78, 0};
uint32_t g_static_pos_symbols;
uint16_t g_static_block_left;
void StartLh3() {}
uint16_t DecodeCharLh3() { return 0; }
uint16_t DecodePosStatic() { return 0; }
void ExpandFixedLengths(const int32_t*) {}

// -lzs- and -lz5- (not implemented yet).
#include "decode/methods.h"

int32_t g_match_pos;
int32_t g_flag_count;
int32_t g_flags;
void StartLzs() {}
uint16_t DecodeCharLzs() { return 0; }
uint16_t DecodePosLzs() { return 0; }
void StartLz5() {}
uint16_t DecodeCharLz5() { return 0; }
uint16_t DecodePosLz5() { return 0; }

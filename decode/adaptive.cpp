// -lh1- and -lh2- (not implemented yet).
#include "decode/methods.h"

void StartLh1() {}
void StartLh2() {}
uint16_t DecodeCharAdaptive() { return 0; }
uint16_t DecodePosAdaptive() { return 0; }

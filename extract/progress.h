// Progress counters and the abort flag shared by the run and the decoders.
#pragma once
#include <stdint.h>
#include "extract/payload.h"

extern uint32_t g_total_bytes;
extern uint32_t g_done_bytes;
extern uint32_t g_last_percent;
extern PlatHandle g_progress_bar;
// Nonzero: go on. The user interface clears it to stop the run; every poll
// reads it afresh from memory.
extern volatile int32_t g_continue;

// n: bytes of the current member produced so far.
void UpdateProgress(uint32_t n);

// Progress counters and the abort flag shared by the run and the decoders.
#pragma once
#include <stdint.h>
#include "extract/payload.h"

// Unpacked bytes of all members, and of the members finished so far.
extern uint64_t g_total_bytes;
extern uint64_t g_done_bytes;
extern uint32_t g_last_percent;
extern PlatHandle g_progress_bar;
// Nonzero: go on. The user interface clears it to stop the run; every poll
// reads it afresh from memory.
extern volatile int32_t g_continue;

// n: bytes of the current member produced so far.
void UpdateProgress(uint32_t n);
// UpdateProgress(n), returning the first count above n at which the position
// can change: for every count from n up to it UpdateProgress sends nothing,
// so a loop whose count only grows may skip those calls.
uint32_t UpdateProgressQuiet(uint32_t n);

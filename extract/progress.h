// Progress counters and the abort flag shared by the run and the decoders.
#pragma once
#include <stdint.h>
#include "extract/payload.h"

// Unpacked bytes of all members, and of the members finished so far.
extern uint64_t g_total_bytes;
extern uint64_t g_done_bytes;
extern uint32_t g_last_percent;
extern PlatHandle g_progress_bar;

// g_continue, UpdateProgress and UpdateProgressQuiet: platform/floor.h.

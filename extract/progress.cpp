// Progress as a percentage of all members' unpacked bytes, and the abort flag.
#include "extract/progress.h"

#include "platform/platform.h"

uint32_t g_total_bytes;
uint32_t g_done_bytes;
uint32_t g_last_percent;
PlatHandle g_progress_bar;
volatile int32_t g_continue = 1;

void UpdateProgress(uint32_t n) {
  if (g_total_bytes == 0) return;
  uint32_t done = g_done_bytes + n;
  // Small totals keep precision by multiplying first; large ones divide by a
  // truncated hundredth, which can run past 100 near the end (the bar clamps).
  uint32_t p = g_total_bytes <= 1000 ? done * 100 / g_total_bytes : done / (g_total_bytes / 100);
  if (p == g_last_percent) return;
  g_last_percent = p;
  PlatSetProgress(g_progress_bar, p);
}

// Progress as a percentage of all members' unpacked bytes, and the abort flag.
#include "extract/progress.h"

#include "platform/platform.h"

uint32_t g_total_bytes;
uint32_t g_done_bytes;
uint32_t g_last_percent;
PlatHandle g_progress_bar;
#if defined(_WIN32)
// Zero-filled like every variable the stub writes, so that its code section
// can stay read-only; the front end sets it before starting the run.
volatile int32_t g_continue;
#else
volatile int32_t g_continue = 1;
#endif

// Small totals keep precision by multiplying first (in 32 bits, as the count
// has always been computed); large ones divide by a truncated hundredth, which
// can run past 100 near the end (the bar clamps).
static uint32_t PercentOf(uint32_t done) {
  return g_total_bytes <= 1000 ? done * 100 / g_total_bytes : done / (g_total_bytes / 100);
}

void UpdateProgress(uint32_t n) {
  if (g_total_bytes == 0) return;
  uint32_t p = PercentOf(g_done_bytes + n);
  if (p == g_last_percent) return;
  g_last_percent = p;
  PlatSetProgress(g_progress_bar, p);
}

uint32_t UpdateProgressQuiet(uint32_t n) {
  if (g_total_bytes == 0) return 0xFFFFFFFFu;
  UpdateProgress(n);
  const uint64_t done = (uint32_t)(g_done_bytes + n);
  const uint64_t p = g_last_percent;
  // The first done value with a higher percentage, while the percentage only
  // grows: up to 2^32 for large totals (done wraps there), and while done * 100
  // fits 32 bits for small ones.
  uint64_t change, limit;
  if (g_total_bytes > 1000) {
    change = (p + 1) * (g_total_bytes / 100);
    limit = 0x100000000ull;
  } else {
    // The same as ((p + 1) * total + 99) / 100, with 32-bit divisions only:
    // a 64-bit one would bring a large library routine into the stub.
    const uint32_t p32 = (uint32_t)p;
    change = (uint64_t)(p32 / 100) * g_total_bytes + ((p32 % 100 + 1) * g_total_bytes + 99) / 100;
    limit = 0xFFFFFFFFull / 100 + 1;
  }
  if (change > limit) change = limit;
  if (change <= done) return n + 1;
  uint64_t end = n + (change - done);
  return end > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)end;
}

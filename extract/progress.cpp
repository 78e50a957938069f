// Progress as a percentage of all members' unpacked bytes, and the abort flag.
#include "extract/progress.h"

#include "platform/platform.h"

uint64_t g_total_bytes;
uint64_t g_done_bytes;
uint32_t g_last_percent;
PlatHandle g_progress_bar;
#if defined(_WIN32)
// Zero-filled like every variable the stub writes, so that its code section
// can stay read-only; the front end sets it before starting the run.
volatile int32_t g_continue;
#else
volatile int32_t g_continue = 1;
#endif

namespace {

// Totals are counted in 64 bits (many members of up to 4 GiB - 1 each) and
// scaled down by a power of two until below 2^25, so that the percentage is
// computed in 32 bits: scaled done * 100 and (p + 1) * scaled total + 99 both
// fit, and a 64-bit division (a large library routine) is never needed.
// Scaling keeps the order of counts, so the bar only moves forward.
const uint32_t SCALED_LIMIT = 1u << 25;

uint32_t ScaleShift() {
  uint32_t shift = 0;
  while ((g_total_bytes >> shift) >= SCALED_LIMIT) ++shift;
  return shift;
}

}  // namespace

void UpdateProgress(uint32_t n) {
  if (g_total_bytes == 0) return;
  uint32_t shift = ScaleShift();
  uint32_t total = (uint32_t)(g_total_bytes >> shift);
  uint64_t done = (g_done_bytes + n) >> shift;
  // A count past the total (damaged sizes) stays at the end.
  uint32_t p = done >= total ? 100 : (uint32_t)done * 100 / total;
  if (p == g_last_percent) return;
  g_last_percent = p;
  PlatSetProgress(g_progress_bar, p);
}

uint32_t UpdateProgressQuiet(uint32_t n) {
  if (g_total_bytes == 0) return 0xFFFFFFFFu;
  UpdateProgress(n);
  const uint32_t p = g_last_percent;
  if (p >= 100) return 0xFFFFFFFFu;
  // The first scaled count with a higher percentage is the least k with
  // k * 100 >= (p + 1) * total; the first byte count is k shifted back.
  uint32_t shift = ScaleShift();
  uint32_t total = (uint32_t)(g_total_bytes >> shift);
  uint64_t change = (uint64_t)(((p + 1) * total + 99) / 100) << shift;
  uint64_t done = g_done_bytes + n;
  if (change <= done) return n + 1;
  uint64_t end = n + (change - done);
  return end > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)end;
}

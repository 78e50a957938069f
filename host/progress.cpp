#include "host/progress.h"

#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "decode/bitio.h"
#include "extract/progress.h"
#include "extract/walk.h"
#include "host/input.h"

namespace {

// One line for the whole process: extract and test run one archive each.
bool g_show = false;
std::string g_label;
uint32_t g_percent = 0;

void Draw() {
  struct winsize size;
  unsigned columns = 80;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
  const unsigned BAR = 30;
  unsigned shown = g_percent > 100 ? 100 : g_percent;
  unsigned filled = shown * BAR / 100;
  std::string bar(filled, '#');
  bar.append(BAR - filled, '.');
  // Room for the name: the line must not wrap, or "\r" would not return to it.
  std::string name = g_label;
  size_t room = columns > BAR + 10 ? columns - BAR - 10 : 0;
  if (name.size() > room) {
    size_t cut = room;
    while (cut > 0 && (name[cut] & 0xC0) == 0x80) --cut;  // whole UTF-8 characters only
    name.resize(cut);
  }
  fprintf(stderr, "\r\033[K%3u%% [%s] %s", shown, bar.c_str(), name.c_str());
  fflush(stderr);
}

// The core reports a percentage only when it changes (g_last_percent), so
// each report is drawn at once.
void OnProgress(uint32_t percent) {
  if (!g_show) return;
  g_percent = percent;
  Draw();
}

}  // namespace

void StartProgress(HostCallbacks* callbacks, bool show) {
  g_show = show && isatty(STDERR_FILENO) != 0;
  g_percent = 0;
  callbacks->progress = OnProgress;
  HostSetCallbacks(callbacks);
}

// The pre-scan reads the headers only (it seeks past each member's data),
// so it costs little next to the decoding; standard input cannot be read
// twice, so there the total grows as the headers come (MemberSeen).
void StartCount(SfxState* state, int64_t end) {
  BuildCrcTable();
  g_done_bytes = 0;
  g_last_percent = 0;
  FailureKind damaged = FAILURE_NONE;  // the walk itself tells the damage
  g_total_bytes = SumUnpackedSizes(state, end, &damaged);
}

void MemberSeen(const MemberHeader* header, int64_t end) {
  if (end < 0) g_total_bytes += header->unpacked_size;
}

void MemberPassed(const MemberHeader* header) { g_done_bytes += header->unpacked_size; }

void ShowMember(const char* name) {
  if (!g_show) return;
  g_label = Utf8(name);
  Draw();
}

void ClearLine() {
  if (g_show) fputs("\r\033[K", stderr);
}

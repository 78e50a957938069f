// The core's extraction run inside the Windows build: ExtractionWorker on its
// own thread (_beginthread through the platform layer), talking to a window
// on the main thread by the real messages: the label is sent, the outcome
// posted.
//
//   extracttwin extract ARCHIVE DEST   extracts ARCHIVE into DEST (made if
//                                      missing); prints the outcome; exit 0
//                                      only when done
//   extracttwin readonly ARCHIVE DEST  ARCHIVE's first member is a/b/c.txt;
//                                      a read-only (and locked) file of that
//                                      name in DEST must make the run fail,
//                                      and stay as it was
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "extract/payload.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "platform/platform.h"
#include "platform/win32_messages.h"

namespace {

UINT g_final_message;
WPARAM g_final_kind;
int g_labels;
int g_finals;

LRESULT CALLBACK Receiver(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SFX_SETLABEL:
      ++g_labels;
      return 0;
    case WM_SFX_DONE:
    case WM_SFX_ABORTED:
    case WM_SFX_FAILED:
      ++g_finals;
      g_final_message = message;
      g_final_kind = wparam;
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

// Runs the worker on a thread while this thread pumps messages; returns the
// final message. state->failure and failure_name are final by then.
UINT RunWorker(SfxState* state) {
  WNDCLASSA window_class;
  memset(&window_class, 0, sizeof window_class);
  window_class.lpfnWndProc = Receiver;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "ExtractTwinReceiver";
  RegisterClassA(&window_class);
  HWND window = CreateWindowExA(0, window_class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                window_class.hInstance, nullptr);
  if (!window) return 0;
  state->main_window = window;
  if (!PlatStartThread(ExtractionWorker, state)) return 0;
  MSG msg;
  DWORD deadline = GetTickCount() + 30000;
  while (GetTickCount() < deadline) {
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT) == WAIT_TIMEOUT) continue;
    bool quit = false;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) quit = true;
      DispatchMessageA(&msg);
    }
    if (quit) break;
  }
  // Anything posted after the final message would be a second outcome.
  Sleep(200);
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  DestroyWindow(window);
  return g_final_message;
}

bool Prepare(SfxState* state, const char* archive, const char* dest) {
  CreateDirectoryA(dest, nullptr);
  if (!SetCurrentDirectoryA(dest)) {
    printf("cannot enter %s\n", dest);
    return false;
  }
  InitSfxState(state, GetModuleHandleA(nullptr));
  // In the Windows build the abort flag starts cleared; a front end sets it
  // before each run, as the stub does.
  g_continue = 1;
  state->archive = fopen(archive, "rb");
  if (!state->archive || !UseDefaultConfig(state)) {
    printf("cannot open %s\n", archive);
    return false;
  }
  return true;
}

const char* MessageName(UINT message) {
  return message == WM_SFX_DONE ? "done" : message == WM_SFX_ABORTED ? "aborted" : message == WM_SFX_FAILED ? "failed" : "none";
}

int Extract(const char* archive, const char* dest) {
  SfxState state;
  if (!Prepare(&state, archive, dest)) return 2;
  UINT final_message = RunWorker(&state);
  printf("outcome %s, kind %u, name \"%s\", labels %d, final messages %d, total %u, done %u\n",
         MessageName(final_message), (unsigned)g_final_kind, state.failure_name, g_labels, g_finals,
         (unsigned)g_total_bytes, (unsigned)g_done_bytes);
  FreeSfxState(&state);
  return final_message == WM_SFX_DONE && g_finals == 1 && g_done_bytes == g_total_bytes ? 0 : 1;
}

int ReadOnly(const char* archive, const char* dest) {
  CreateDirectoryA(dest, nullptr);
  char path[MAX_PATH];
  snprintf(path, sizeof path, "%s\\a", dest);
  CreateDirectoryA(path, nullptr);
  snprintf(path, sizeof path, "%s\\a\\b", dest);
  CreateDirectoryA(path, nullptr);
  snprintf(path, sizeof path, "%s\\a\\b\\c.txt", dest);
  FILE* old = fopen(path, "wb");
  if (!old) return 2;
  fputs("old", old);
  fclose(old);
  SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY);
  // Wine leaves the read-only attribute to the Unix permissions, which do
  // not hold for root; a handle that shares nothing refuses removal and
  // opening on every Windows, so the run meets the same refusals.
  HANDLE lock = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

  SfxState state;
  if (!Prepare(&state, archive, dest)) return 2;
  UINT final_message = RunWorker(&state);
  if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
  char content[16] = {0};
  FILE* in = fopen(path, "rb");
  if (in) {
    fread(content, 1, sizeof content - 1, in);
    fclose(in);
  }
  bool ok = final_message == WM_SFX_FAILED && g_final_kind == FAILURE_CREATE &&
            !strcmp(state.failure_name, "a/b/c.txt") && !strcmp(content, "old") && g_finals == 1;
  printf("read-only: outcome %s, kind %u, name \"%s\", content \"%s\": %s\n", MessageName(final_message),
         (unsigned)g_final_kind, state.failure_name, content, ok ? "ok" : "WRONG");
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  FreeSfxState(&state);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && !strcmp(argv[1], "extract")) return Extract(argv[2], argv[3]);
  if (argc == 4 && !strcmp(argv[1], "readonly")) return ReadOnly(argv[2], argv[3]);
  printf("usage: extracttwin extract|readonly ARCHIVE DEST\n");
  return 2;
}

// Entry point, start-up, the popup window and the message loop.
#include <windows.h>
#include <commctrl.h>
#include <process.h>
#include <string.h>

#include "extract/payload.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "platform/platform.h"
#include "platform/win32_messages.h"
#include "ui/ui.h"

namespace {

const wchar_t CLASS_NAME[] = L"VEMOSFXCLASS";
const DWORD POPUP_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU;

// The state record of the popup, from its creation parameters.
SfxState* g_window_state;
// Set once the worker has started, cleared when it has reported its outcome:
// while set, the worker may still be using the archive stream.
bool g_worker_running;
// The process's exit status (ui.h): EXIT_DONE until the run ends otherwise.
int g_exit_status;

// The failure messages, by FailureKind; each but the first is followed by
// the member's name.
const char* const FAILURE_TEXTS[] = {
    nullptr,
    "書庫が壊れています",
    "ファイルが壊れています: ",
    "不正なパスです: ",
    "展開できない形式です: ",
    "ファイルを作成できません: ",
    nullptr,  // FAILURE_UNKNOWN_HEADER: the reader has shown its own message
    "メモリが足りません: ",
    "ファイルを書き込めません: ",
    "不正なパスです: ",  // FAILURE_LINK: a link or junction on the path
    "不正なパスです: ",  // FAILURE_SAME_FILE: one file with an earlier member on Windows
};
// One text for every kind, FAILURE_SAME_FILE the last: a kind added after it
// needs its text here.
static_assert(sizeof FAILURE_TEXTS / sizeof FAILURE_TEXTS[0] == FAILURE_SAME_FILE + 1,
              "a failure kind without its message");

void ShowFailure(HWND window, SfxState* state, WPARAM kind) {
  if (kind >= sizeof FAILURE_TEXTS / sizeof FAILURE_TEXTS[0] || !FAILURE_TEXTS[kind]) return;
  char text[64 + PATH_BUFFER_SIZE];
  strcpy(text, FAILURE_TEXTS[kind]);
  if (kind != FAILURE_DAMAGED) {
    state->failure_name[PATH_MAX_BYTES] = 0;
    strcat(text, state->failure_name);
  }
  PlatShowError(window, text, state->title);
}

// Libraries that are not among the system's known DLLs and that the stub, or
// the system and shell parts it uses (the common controls, themes, the
// folder browser, shell links), may load after the entry point. Loaded
// early by full path, so that a later load by name finds them already in
// the process instead of looking in the package's folder.
const char LATE_LIBRARIES[] =
    "\\msimg32.dll\0\\uxtheme.dll\0\\dwmapi.dll\0\\propsys.dll\0\\cryptbase.dll\0"
    "\\userenv.dll\0\\apphelp.dll\0\\oleacc.dll\0\\clbcatq.dll\0";

// Loads a library from the system directory by its full path; name is
// "\\file.dll". Null when it is missing or the path does not fit.
HMODULE LoadSystemLibrary(const char* name) {
  char path[MAX_PATH + 16];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (!length || length >= MAX_PATH) return nullptr;
  return LoadLibraryA(strcat(path, name));
}

void RemovePartialFile(SfxState* state) {
  if (state->output_path[0]) PlatRemoveFile(state->output_path);
}

// The start sequence: the destination dialog when configured, then the worker.
void StartRun(HWND window, SfxState* state) {
  if (state->has_config) {
    INT_PTR result = DialogBoxParamW((HINSTANCE)state->instance, MAKEINTRESOURCEW(IDD_DESTINATION),
                                     window, DestDlgProc, (LPARAM)state);
    if (result != EXIT_DONE) {
      // -1: the dialog could not be made.
      g_exit_status = result == EXIT_CANCELLED ? EXIT_CANCELLED : EXIT_FAILED;
      DestroyWindow(window);
      return;
    }
  }
  g_continue = 1;
  g_worker_running = PlatStartThread(ExtractionWorker, state);
  if (!g_worker_running) {
    g_exit_status = EXIT_FAILED;
    DestroyWindow(window);
    return;
  }
  SetText(window, state->title);
  ShowWindow(window, SW_SHOW);
}

// The popup below the cursor, centred on it, but inside the work area of the
// monitor the cursor is on.
// The abort box fills the client area, as its template sizes it.
void PlacePopup(HWND popup, HWND box) {
  POINT cursor = {0, 0};
  GetCursorPos(&cursor);
  RECT size;
  GetClientRect(box, &size);
  AdjustWindowRectEx(&size, POPUP_STYLE, FALSE, 0);
  LONG width = size.right - size.left, height = size.bottom - size.top;
  MONITORINFO monitor;
  ZeroMemory(&monitor, sizeof monitor);
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& work = monitor.rcWork;
  LONG x = cursor.x - width / 2, y = cursor.y + 32;
  if (x > work.right - width) x = work.right - width;
  if (x < work.left) x = work.left;
  if (y > work.bottom - height) y = work.bottom - height;
  if (y < work.top) y = work.top;
  MoveWindow(popup, x, y, width, height, FALSE);
}

}  // namespace

void SetText(HWND window, const char* text) {
  PlatWidePath wide;
  PlatWideText(text, wide);
  SetWindowTextW(window, wide);
}

LRESULT CALLBACK SfxWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  SfxState* state = g_window_state;
  switch (message) {
    case WM_CREATE:
      g_window_state = (SfxState*)((CREATESTRUCTW*)lparam)->lpCreateParams;
      return 0;
    case WM_USER:
      StartRun(window, state);
      return 0;
    case WM_SFX_SETLABEL:
      SetText((HWND)state->label_window, (const char*)lparam);
      return 0;
    case WM_SFX_DONE:
      g_worker_running = false;
      RunAfterExtraction(state);
      DestroyWindow(window);
      return 0;
    case WM_SFX_FAILED:
    case WM_SFX_ABORTED:
      // The worker has ended (cleared first: the failure's message box runs
      // a message loop of its own). Its unfinished file goes.
      g_worker_running = false;
      if (message == WM_SFX_FAILED) {
        g_exit_status = EXIT_FAILED;
        ShowFailure(window, state, wparam);
      } else {
        g_exit_status = EXIT_CANCELLED;
      }
      RemovePartialFile(state);
      DestroyWindow(window);
      return 0;
    case WM_ACTIVATE:
      // The keyboard goes to the abort button (Space or Enter presses it,
      // Escape aborts), also after the window was left and came back.
      if (LOWORD(wparam) != WA_INACTIVE) SetFocus(GetDlgItem((HWND)state->abort_box, IDCANCEL));
      return 0;
    case WM_ENDSESSION:
      if (!wparam) return 0;
      [[fallthrough]];
    case WM_CLOSE:
      // The close box, Alt+F4, logging off or shutting down during a run:
      // an abort. The worker stops at its next poll and reports it, and the
      // file it was writing is removed before anything ends; the session
      // ends as soon as WM_ENDSESSION returns, so the end is awaited here.
      if (!g_worker_running) {
        if (message == WM_CLOSE) DestroyWindow(window);
        return 0;
      }
      g_continue = 0;
      {
        MSG next;
        while (g_worker_running && GetMessageW(&next, nullptr, 0, 0) > 0) DispatchMessageW(&next);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool SfxStartUp(SfxState* state) {
  HINSTANCE instance = (HINSTANCE)state->instance;
  if (!OpenPayload(state)) return false;

  WNDCLASSEXW window_class;
  ZeroMemory(&window_class, sizeof window_class);
  window_class.cbSize = sizeof window_class;
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = SfxWndProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_PACKAGE));
  window_class.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
  window_class.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
  window_class.lpszClassName = CLASS_NAME;
  if (!RegisterClassExW(&window_class)) return false;

  // Hidden, and placed once its size is known.
  HWND popup = CreateWindowExW(0, CLASS_NAME, nullptr, POPUP_STYLE, 0, 0, 0, 0, nullptr, nullptr,
                               instance, state);
  if (!popup) return false;
  state->main_window = popup;
  // The progress bar's class comes from the common controls library, which
  // is not one of the system's known DLLs: it is loaded by its full path in
  // the system directory, never from the package's folder.
  typedef BOOL(WINAPI * InitControls)(const INITCOMMONCONTROLSEX*);
  InitControls init = (InitControls)(void*)GetProcAddress(LoadSystemLibrary("\\comctl32.dll"),
                                                          "InitCommonControlsEx");
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  if (init) init(&controls);
  HWND box = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_ABORT_BOX), popup, AbortDlgProc,
                                (LPARAM)state);
  if (!box) return false;
  state->abort_box = box;
  state->label_window = GetDlgItem(box, IDC_LABEL);
  g_progress_bar = GetDlgItem(box, IDC_PROGRESS);
  PlacePopup(popup, box);

  ShowWindow(popup, SW_HIDE);
  UpdateWindow(popup);
  SendMessageW(popup, WM_USER, 0, 0);
  return true;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  SfxState state;
  InitSfxState(&state, instance);
  int status = EXIT_FAILED;
  if (SfxStartUp(&state)) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      // The abort box's keyboard: Tab, Space, Enter and Escape.
      if (IsDialogMessageW((HWND)state.abort_box, &message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    status = g_exit_status;
  }
  // The popup went while the worker runs: it may hold the archive stream
  // (and the runtime's lock on it), and it uses the state record on this
  // stack. End the process at once, leaving both alone.
  // (HANDLE)-1 is the current process's pseudo handle, as GetCurrentProcess
  // returns it.
  if (g_worker_running) TerminateProcess((HANDLE)-1, EXIT_FAILED);
  FreeSfxState(&state);
  return status;
}

// The process entry: no runtime start-up code runs before it. Before any
// DLL is loaded on demand, the search for DLLs named without a path is
// restricted to the system directory, so that a DLL planted beside the
// package (in a downloads folder, say) is never loaded; where that call is
// missing, at least the current directory is taken out of the search. Then
// the libraries loaded later by name are loaded from the system directory.
extern "C" void __stdcall SfxEntry() {
  HMODULE kernel = GetModuleHandleA("kernel32");
  typedef BOOL(WINAPI * SetDefaultDirectories)(DWORD);
  typedef BOOL(WINAPI * SetDirectory)(LPCSTR);
  SetDefaultDirectories set_default =
      (SetDefaultDirectories)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories");
  SetDirectory set_directory = (SetDirectory)(void*)GetProcAddress(kernel, "SetDllDirectoryA");
  if (set_default) {
    set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  } else if (set_directory) {
    set_directory("");
  }
  for (const char* name = LATE_LIBRARIES; *name; name += strlen(name) + 1) LoadSystemLibrary(name);
  ExitProcess((UINT)WinMain(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT));
}

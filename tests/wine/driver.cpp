// Drives a package under Wine: starts it, finds its windows, reads their
// texts and states, types, clicks and waits. Every check prints "ok: ..." or
// "FAIL: ..."; the exit code is the number of failed checks.
//
//   driver plain PKG DIR X Y LABEL        no dialog; popup at the cursor X,Y;
//                                         the label shows LABEL mid-run
//   driver dialog PKG DIR TITLE DEST OPTS ACTION [TEXT]
//                                         the destination dialog: caption,
//                                         folder box, checkboxes (OPTS: three
//                                         option bytes, e.g. 3,2,1), texts;
//                                         ACTION ok | ok-fail | cancel | browse
//                                         | toggle (untick the ticked enabled
//                                         boxes, tick the unticked ones)
//   driver abort PKG DIR LABEL            click the abort button while LABEL runs
//   driver close PKG DIR LABEL            close the popup while LABEL runs
//   driver escape PKG DIR LABEL           press Escape while LABEL runs
//   driver hold PKG DIR LABEL FLAG        stop the run while LABEL runs until
//                                         the file FLAG exists
//   driver failure PKG DIR TITLE TEXT     the failure message box
//   driver link LNK TARGET WORKDIR        read a shell link back
//   driver watch PKG DIR                  no dialog; the progress bar's
//                                         positions until the package ends
//   driver settle NAME                    wait until no process NAME runs
//   driver warm-up                        show and close one window (takes
//                                         the start-up stall of a new prefix)
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

int g_failures;
PROCESS_INFORMATION g_process;
// Long enough for one of Wine's start-up stalls (about 10 s) on top of a
// normal start; the time a first window took is printed.
const DWORD WAIT_LIMIT_MS = 30000;
DWORD g_started;
bool g_window_seen;

// Prints, once per run, how long the package took to show a window.
void NoteFirstWindow() {
  if (g_window_seen) return;
  g_window_seen = true;
  printf("note: first window after %lu ms\n", (unsigned long)(GetTickCount() - g_started));
  fflush(stdout);
}

void Check(bool good, const wchar_t* what, const wchar_t* detail = L"") {
  char line[2048];
  wchar_t text[1024];
  _snwprintf(text, 1024, L"%ls: %ls%ls%ls", good ? L"ok" : L"FAIL", what, *detail ? L": " : L"", detail);
  text[1023] = 0;
  WideCharToMultiByte(CP_UTF8, 0, text, -1, line, sizeof line, nullptr, nullptr);
  printf("%s\n", line);
  fflush(stdout);
  if (!good) ++g_failures;
}

void CheckText(const wchar_t* what, const wchar_t* got, const wchar_t* want) {
  wchar_t detail[1024];
  _snwprintf(detail, 1024, L"\"%ls\" (wanted \"%ls\")", got, want);
  detail[1023] = 0;
  Check(wcscmp(got, want) == 0, what, detail);
}

void CheckNumber(const wchar_t* what, long got, long want) {
  wchar_t detail[64];
  _snwprintf(detail, 64, L"%ld (wanted %ld)", got, want);
  Check(got == want, what, detail);
}

[[noreturn]] void GiveUp(const wchar_t* what) {
  DWORD code = STILL_ACTIVE;
  if (g_process.hProcess) GetExitCodeProcess(g_process.hProcess, &code);
  wchar_t detail[96];
  _snwprintf(detail, 96, code == STILL_ACTIVE ? L"the package still runs after %lu ms"
                                               : L"the package ended after %lu ms with code %lu",
             (unsigned long)(GetTickCount() - g_started), (unsigned long)code);
  Check(false, what, detail);
  if (g_process.hProcess) TerminateProcess(g_process.hProcess, 99);
  exit(100 + g_failures);
}

// Waits for the package to end; checks its exit code: VEMO_EXPECT_EXIT from
// the environment, else 0.
void WaitExit() {
  if (WaitForSingleObject(g_process.hProcess, WAIT_LIMIT_MS) != WAIT_OBJECT_0) {
    GiveUp(L"the package ends");
  }
  DWORD code = 1;
  GetExitCodeProcess(g_process.hProcess, &code);
  const char* expected = getenv("VEMO_EXPECT_EXIT");
  CheckNumber(L"exit code", (long)code, expected ? atol(expected) : 0);
}

// The window that has the keyboard focus in the package's window thread.
HWND FocusOf(HWND window) {
  GUITHREADINFO info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
  return info.hwndFocus;
}

struct Search {
  DWORD pid;
  const wchar_t* window_class;
  const wchar_t* title;  // null: any
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  Search* search = (Search*)param;
  DWORD pid = 0;
  wchar_t name[64], title[256];
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->pid || !IsWindowVisible(window)) return TRUE;
  GetClassNameW(window, name, 64);
  GetWindowTextW(window, title, 256);
  if (wcscmp(name, search->window_class) != 0) return TRUE;
  if (search->title && wcscmp(title, search->title) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindVisible(const wchar_t* window_class, const wchar_t* title = nullptr) {
  Search search = {g_process.dwProcessId, window_class, title, nullptr};
  EnumWindows(MatchWindow, (LPARAM)&search);
  return search.found;
}

void Start(const wchar_t* package, const wchar_t* folder) {
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  wchar_t command[600];
  _snwprintf(command, 600, L"\"%ls\"", package);
  // The driver's own first window search can stall in Wine for about 10 s;
  // done before the package starts, it cannot let a short run go unseen.
  DWORD before = GetTickCount();
  FindVisible(L"#32770");
  g_started = GetTickCount();
  if (g_started - before > 1000) {
    printf("note: the driver's first window search took %lu ms\n", (unsigned long)(g_started - before));
  }
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                      &g_process)) {
    GiveUp(L"start the package");
  }
}

// Polls for a visible top-level window of the package; gives up when the
// package ends first or after the wait limit.
HWND WaitVisible(const wchar_t* window_class, const wchar_t* title = nullptr) {
  for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += 10) {
    HWND window = FindVisible(window_class, title);
    if (window) {
      NoteFirstWindow();
      return window;
    }
    if (WaitForSingleObject(g_process.hProcess, 10) == WAIT_OBJECT_0) break;
  }
  wchar_t what[128];
  _snwprintf(what, 128, L"a %ls window appears", window_class);
  GiveUp(what);
}

void ReadText(HWND window, wchar_t* text, int size) {
  text[0] = 0;
  SendMessageW(window, WM_GETTEXT, size, (LPARAM)text);
}

// Suspends or resumes every thread of the package but the one that owns its
// windows: the worker stands still while its state is read.
void SetWorkerRunning(HWND window, bool running) {
  DWORD ui_thread = GetWindowThreadProcessId(window, nullptr);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != g_process.dwProcessId || entry.th32ThreadID == ui_thread) continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
    if (!thread) continue;
    if (running) {
      ResumeThread(thread);
    } else {
      SuspendThread(thread);
    }
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  // Let the window thread finish what a stopped sender had handed it.
  DWORD_PTR result;
  SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &result);
}

HWND AbortBox(HWND popup) { return FindWindowExW(popup, nullptr, L"#32770", nullptr); }
// A child of the popup, or of the abort box, which lays them out.
HWND PopupChild(HWND popup, const wchar_t* window_class) {
  HWND child = FindWindowExW(popup, nullptr, window_class, nullptr);
  return child ? child : FindWindowExW(AbortBox(popup), nullptr, window_class, nullptr);
}
HWND Label(HWND popup) { return PopupChild(popup, L"Static"); }
HWND ProgressBar(HWND popup) { return PopupChild(popup, PROGRESS_CLASSW); }

// Waits for the popup; a destination dialog on the way is confirmed as it
// stands.
HWND WaitPopup() {
  HWND popup = nullptr;
  for (DWORD waited = 0; !popup; waited += 10) {
    popup = FindVisible(L"VEMOSFXCLASS");
    // Only the destination dialog (it has the folder box) is confirmed: a
    // failure message that comes up at once is a #32770 window too, and is
    // left for the caller to read.
    HWND dialog = popup ? nullptr : FindVisible(L"#32770");
    if (dialog && GetDlgItem(dialog, 1000)) SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    if (popup || dialog) NoteFirstWindow();
    if (!popup && (waited > WAIT_LIMIT_MS || WaitForSingleObject(g_process.hProcess, 10) == WAIT_OBJECT_0)) {
      GiveUp(L"the popup appears");
    }
  }
  return popup;
}

// Waits until the label shows the text, then stops the worker there.
HWND StopAtLabel(const wchar_t* label) {
  HWND popup = WaitPopup();
  wchar_t text[300];
  for (DWORD waited = 0;; waited += 5) {
    ReadText(Label(popup), text, 300);
    if (wcscmp(text, label) == 0) break;
    if (waited > WAIT_LIMIT_MS || WaitForSingleObject(g_process.hProcess, 5) == WAIT_OBJECT_0) {
      GiveUp(L"the label shows the large member");
    }
  }
  SetWorkerRunning(popup, false);
  Sleep(300);  // a worker that was not stopped would move on meanwhile
  ReadText(Label(popup), text, 300);
  CheckText(L"label while the member runs", text, label);
  LRESULT position = SendMessageW(ProgressBar(popup), PBM_GETPOS, 0, 0);
  Check(position < 100, L"progress bar not yet full");
  return popup;
}

// A window's pixels as the screen shows them (32-bit, top-down rows).
struct Shot {
  int width, height;
  DWORD* pixels;
};

// Sets the control's text (unless null), lets it repaint and grabs it.
Shot Grab(HWND control, const wchar_t* text) {
  if (text) SendMessageW(control, WM_SETTEXT, 0, (LPARAM)text);
  RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  DWORD_PTR result;
  SendMessageTimeoutW(control, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &result);
  Sleep(200);  // until the window's drawing has reached the screen
  RECT rect;
  GetWindowRect(control, &rect);
  Shot shot = {rect.right - rect.left, rect.bottom - rect.top, nullptr};
  BITMAPINFO info;
  ZeroMemory(&info, sizeof info);
  info.bmiHeader = {sizeof info.bmiHeader, shot.width, -shot.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, shot.width, shot.height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  shot.pixels = (DWORD*)malloc(sizeof(DWORD) * shot.width * shot.height);
  memcpy(shot.pixels, bits, sizeof(DWORD) * shot.width * shot.height);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return shot;
}

// What a control really shows, read from the screen: its text must draw
// something, and no part of it may be the box that the control draws for a
// character its font (with the fonts the system links to it) lacks: that
// box is learnt from the same control showing a noncharacter, which no font
// maps, against the control showing nothing.
void CheckShown(const wchar_t* what, HWND control) {
  wchar_t text[400];
  ReadText(control, text, 400);
  Shot shown = Grab(control, nullptr), blank = Grab(control, L""), missing = Grab(control, L"\xFDD0");
  free(Grab(control, text).pixels);
  int left = shown.width, top = shown.height, right = -1, bottom = -1;
  bool drawn = false;
  for (int y = 0; y < shown.height; ++y) {
    for (int x = 0; x < shown.width; ++x) {
      int at = y * shown.width + x;
      drawn |= shown.pixels[at] != blank.pixels[at];
      if (missing.pixels[at] == blank.pixels[at]) continue;
      left = x < left ? x : left, right = x > right ? x : right;
      top = y < top ? y : top, bottom = y > bottom ? y : bottom;
    }
  }
  wchar_t detail[600];
  _snwprintf(detail, 600, L"\"%ls\" draws something", text);
  Check(drawn, what, detail);
  if (right < 0) {
    Check(false, what, L"a missing character draws nothing to compare with");
    right = left - 1;  // no box to look for
  }
  int boxes = 0;
  for (int y = 0; right >= left && y + bottom - top < shown.height; ++y) {
    for (int x = 0; x + right - left < shown.width; ++x) {
      bool same = true;
      for (int v = top; same && v <= bottom; ++v) {
        for (int u = left; same && u <= right; ++u) {
          same = shown.pixels[(y + v - top) * shown.width + x + u - left] == missing.pixels[v * shown.width + u];
        }
      }
      boxes += same;
    }
  }
  _snwprintf(detail, 600, L"\"%ls\": %d missing-character boxes", text, boxes);
  Check(boxes == 0, what, detail);
  free(shown.pixels), free(blank.pixels), free(missing.pixels);
}

void Plain(wchar_t** args) {
  Start(args[0], args[1]);
  HWND popup = StopAtLabel(args[4]);
  Check(FindVisible(L"#32770") == nullptr, L"no destination dialog");
  wchar_t text[300];
  GetWindowTextW(popup, text, 300);
  CheckText(L"popup title", text, L"Vemo SFX");
  RECT rect;
  GetWindowRect(popup, &rect);
  int x = _wtoi(args[2]), y = _wtoi(args[3]);
  // Centred below the cursor, but inside the work area.
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  LONG width = rect.right - rect.left, height = rect.bottom - rect.top;
  LONG left = x - width / 2, top = y + 32;
  left = left > work.right - width ? work.right - width : left;
  top = top > work.bottom - height ? work.bottom - height : top;
  CheckNumber(L"popup left", rect.left, left < work.left ? work.left : left);
  CheckNumber(L"popup top", rect.top, top < work.top ? work.top : top);
  Check(rect.left >= work.left && rect.top >= work.top && rect.right <= work.right && rect.bottom <= work.bottom,
        L"popup inside the work area");
  LONG style = GetWindowLongW(popup, GWL_STYLE);
  Check((style & (WS_POPUP | WS_CAPTION | WS_SYSMENU)) == (WS_POPUP | WS_CAPTION | WS_SYSMENU),
        L"popup style");
  HWND button = GetDlgItem(AbortBox(popup), IDCANCEL);
  ReadText(button, text, 300);
  CheckText(L"abort button", text, L"中止");
  Check(FocusOf(popup) == button, L"the abort button has the keyboard focus");
  Check(IsWindowVisible(button) && IsWindowEnabled(button), L"abort button visible and enabled");
  // The abort button lies inside the popup's client area (the frame would
  // cut it otherwise), which ends with the abort box.
  RECT client, box_rect, button_rect;
  GetClientRect(popup, &client);
  MapWindowPoints(popup, nullptr, (POINT*)&client, 2);
  GetWindowRect(AbortBox(popup), &box_rect);
  GetWindowRect(button, &button_rect);
  wchar_t detail[160];
  _snwprintf(detail, 160, L"client %ld-%ld, box %ld-%ld, button %ld-%ld, window height %ld", client.top,
             client.bottom, box_rect.top, box_rect.bottom, button_rect.top, button_rect.bottom,
             rect.bottom - rect.top);
  Check(button_rect.top >= client.top && button_rect.bottom < client.bottom, L"abort button inside the popup", detail);
  // (Box and client height are rounded from dialog units apart.)
  Check(abs(client.bottom - box_rect.bottom) <= 2, L"popup ends at the abort box", detail);
  Check(button_rect.right <= client.right, L"abort button within the popup's width", detail);
  // The label grows with the DPI (its font does), and stays inside too.
  RECT label_rect;
  GetWindowRect(Label(popup), &label_rect);
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  _snwprintf(detail, 160, L"%d DPI: label %ld-%ld (%ld high), client %ld-%ld", dpi, label_rect.top,
             label_rect.bottom, label_rect.bottom - label_rect.top, client.top, client.bottom);
  Check((label_rect.bottom - label_rect.top) * 96 >= 16 * dpi && label_rect.top >= client.top &&
            label_rect.right <= client.right,
        L"label tall enough for its font at this DPI", detail);
  CheckShown(L"label drawn with its glyphs", Label(popup));
  CheckShown(L"abort button drawn with its glyphs", button);
  SetWorkerRunning(popup, true);
  WaitExit();
}

struct Control {
  int id;
  const wchar_t* text;
};

const Control DIALOG_TEXTS[] = {
    {IDOK, L"OK"},
    {IDCANCEL, L"ｷｬﾝｾﾙ"},
    {1001, L"参照(&R)"},
    {1002, L"ｽﾀｰﾄﾒﾆｭｰに登録する"},
    {1003, L"ﾃﾞｽｸﾄｯﾌﾟにｼｮｰﾄｶｯﾄを作成する"},
    {1004, L"「送る」に登録する"},
};

// Reads the message box of the package that is owned by owner and closes it.
void CheckMessageBox(HWND owner, const wchar_t* caption, const wchar_t* text, int icon_id) {
  HWND box = nullptr;
  for (DWORD waited = 0; !box && waited < WAIT_LIMIT_MS; waited += 10) {
    Sleep(10);
    HWND found = FindVisible(L"#32770");
    if (found && found != owner && GetWindow(found, GW_OWNER) == owner) box = found;
  }
  if (!box) GiveUp(L"the message box appears, owned by the expected window");
  wchar_t got[300];
  GetWindowTextW(box, got, 300);
  CheckText(L"message box caption", got, caption);
  GetDlgItemTextW(box, 0xFFFF, got, 300);
  CheckText(L"message box text", got, text);
  HICON shown = (HICON)SendDlgItemMessageW(box, 0x440, STM_GETICON, 0, 0);
  // Under Wine each process loads its own copy of a system icon, so the
  // handle cannot be compared with this process's IDI_* icon: only that the
  // box shows an icon is checked.
  (void)icon_id;
  Check(shown != nullptr, L"message box shows an icon");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
}

void Dialog(wchar_t** args, int count) {
  Start(args[0], args[1]);
  const wchar_t* title = args[2];
  HWND dialog = WaitVisible(L"#32770", title);
  Check(FindVisible(L"VEMOSFXCLASS") == nullptr, L"popup hidden while the dialog runs");
  Check(FocusOf(dialog) == GetDlgItem(dialog, 1000), L"the folder field has the focus first");
  wchar_t text[400];
  GetWindowTextW(dialog, text, 400);
  CheckText(L"dialog caption", text, title);
  GetDlgItemTextW(dialog, 1000, text, 400);
  CheckText(L"folder box", text, args[3]);
  for (const Control& control : DIALOG_TEXTS) {
    GetDlgItemTextW(dialog, control.id, text, 400);
    CheckText(L"dialog text", text, control.text);
  }
  HWND label = FindWindowExW(dialog, nullptr, L"Static", nullptr);
  ReadText(label, text, 400);
  CheckText(L"folder label", text, L"解凍先ﾌｫﾙﾀﾞ(&D)");
  // What the Japanese texts look like. The focus goes to OK first, so that
  // the folder field shows its text without the selection and the blinking
  // caret.
  SendMessageW(dialog, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(dialog, IDOK), TRUE);
  CheckShown(L"folder box drawn with its glyphs", GetDlgItem(dialog, 1000));
  CheckShown(L"folder label drawn with its glyphs", label);
  for (const Control& control : DIALOG_TEXTS) {
    if (control.id != IDOK) CheckShown(L"dialog text drawn with its glyphs", GetDlgItem(dialog, control.id));
  }
  int options[3] = {0, 0, 0};
  swscanf(args[4], L"%d,%d,%d", &options[0], &options[1], &options[2]);
  for (int i = 0; i < 3; ++i) {
    HWND box = GetDlgItem(dialog, 1002 + i);
    wchar_t what[64];
    _snwprintf(what, 64, L"checkbox %d ticked", 1002 + i);
    CheckNumber(what, (long)SendMessageW(box, BM_GETCHECK, 0, 0), (options[i] & 2) ? 1 : 0);
    _snwprintf(what, 64, L"checkbox %d enabled", 1002 + i);
    CheckNumber(what, IsWindowEnabled(box) ? 1 : 0, (options[i] & 1) ? 1 : 0);
  }

  const wchar_t* action = args[5];
  if (count > 6) SetDlgItemTextW(dialog, 1000, args[6]);
  if (wcscmp(action, L"toggle") == 0) {
    for (int i = 0; i < 3; ++i) {
      HWND box = GetDlgItem(dialog, 1002 + i);
      if (IsWindowEnabled(box)) SendMessageW(box, BM_CLICK, 0, 0);
    }
    action = L"ok";
  }
  if (wcscmp(action, L"browse") == 0) {
    PostMessageW(GetDlgItem(dialog, 1001), BM_CLICK, 0, 0);
    HWND browser = nullptr;
    for (DWORD waited = 0; !browser && waited < WAIT_LIMIT_MS; waited += 10) {
      Sleep(10);
      HWND found = FindVisible(L"#32770");
      if (found && found != dialog) browser = found;
    }
    if (!browser) GiveUp(L"the folder browser appears");
    Check(GetWindow(browser, GW_OWNER) == dialog, L"folder browser owned by the dialog");
    Check(!IsWindowEnabled(dialog), L"dialog disabled behind the folder browser");
    GetDlgItemTextW(browser, 14146, text, 400);
    CheckText(L"folder browser title line", text, L"解凍先フォルダの指定");
    PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
    for (DWORD waited = 0; !IsWindowEnabled(dialog) && waited < WAIT_LIMIT_MS; waited += 10) Sleep(10);
    GetDlgItemTextW(dialog, 1000, text, 400);
    CheckText(L"folder box after a cancelled browser", text, args[3]);
    action = L"cancel";
  }
  if (wcscmp(action, L"cancel") == 0) {
    PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
  } else {
    PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    if (wcscmp(action, L"ok-fail") == 0) {
      CheckMessageBox(dialog, L"エラー", L"フォルダを作成できません", (int)(INT_PTR)IDI_WARNING);
    }
  }
  WaitExit();
}

void AbortOrClose(wchar_t** args, bool abort, bool escape = false) {
  Start(args[0], args[1]);
  HWND popup = StopAtLabel(args[2]);
  if (escape) {
    // Escape where the keyboard is: the abort button, as the dialog manager
    // handles it.
    HWND focus = FocusOf(popup);
    Check(focus == GetDlgItem(AbortBox(popup), IDCANCEL), L"the abort button has the keyboard focus");
    PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  } else if (abort) {
    HWND box = AbortBox(popup);
    HWND button = GetDlgItem(box, IDCANCEL);
    // Posted: a fault in the package's handler then ends the package (and
    // shows in its exit code) instead of being swallowed by a sent message.
    PostMessageW(button, BM_CLICK, 0, 0);
    DWORD_PTR result;
    SendMessageTimeoutW(popup, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &result);
    // The click changes nothing on the screen.
    Check(IsWindowVisible(button) && IsWindowEnabled(button), L"abort button stays");
  } else {
    PostMessageW(popup, WM_CLOSE, 0, 0);
    for (DWORD waited = 0; IsWindow(popup) && waited < WAIT_LIMIT_MS; waited += 10) Sleep(10);
  }
  SetWorkerRunning(popup, true);
  WaitExit();
}

// Stops the worker while LABEL runs, so that the popup stands still for a
// screenshot, until the file FLAG exists; then lets the run end.
void Hold(wchar_t** args) {
  Start(args[0], args[1]);
  HWND popup = StopAtLabel(args[2]);
  for (DWORD waited = 0; GetFileAttributesW(args[3]) == INVALID_FILE_ATTRIBUTES; waited += 50) {
    if (waited > 2 * WAIT_LIMIT_MS) GiveUp(L"the screenshot is taken");
    Sleep(50);
  }
  SetWorkerRunning(popup, true);
  WaitExit();
}

// Reads the bar's position every few milliseconds for the whole run: it must
// never move back, must take many steps and must end full (or one short of
// it, when the popup closes before the last position is read).
void Watch(wchar_t** args) {
  Start(args[0], args[1]);
  HWND popup = WaitPopup();
  HWND bar = ProgressBar(popup);
  long last = 0, changes = 0;
  wchar_t detail[128] = L"";
  for (DWORD waited = 0; WaitForSingleObject(g_process.hProcess, 2) == WAIT_TIMEOUT; waited += 2) {
    if (waited > 20 * WAIT_LIMIT_MS) GiveUp(L"the package ends while the bar is watched");
    HWND box = waited % 100 == 0 ? FindVisible(L"#32770") : nullptr;
    if (box) {
      wchar_t text[300];
      GetDlgItemTextW(box, 0xFFFF, text, 300);
      Check(false, L"no message during the run", text);
      GiveUp(L"the run ends without a message");
    }
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &got)) continue;
    long position = (long)got;
    if (position < last && !detail[0]) _snwprintf(detail, 128, L"from %ld to %ld", last, position);
    if (position != last) ++changes;
    last = position;
  }
  Check(!detail[0], L"the bar never moves back", detail);
  _snwprintf(detail, 128, L"%ld positions, the last %ld", changes, last);
  Check(changes >= 50 && last >= 99, L"the bar moves in steps from the start to the end", detail);
  WaitExit();
}

void Failure(wchar_t** args) {
  Start(args[0], args[1]);
  HWND popup = WaitPopup();
  CheckMessageBox(popup, args[2], args[3], (int)(INT_PTR)IDI_ERROR);
  WaitExit();
}

// Read back through the UTF-16 interface, so that names outside the system's
// code page compare as they are.
void Link(wchar_t** args) {
  CoInitialize(nullptr);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              (void**)&link)) ||
      FAILED(link->QueryInterface(IID_IPersistFile, (void**)&file))) {
    GiveUp(L"make a shell link object");
  }
  Check(SUCCEEDED(file->Load(args[0], STGM_READ)), L"link file loads", args[0]);
  wchar_t got[MAX_PATH];
  int icon = -1;
  struct {
    const wchar_t* what;
    const wchar_t* want;
  } rows[] = {{L"link target", args[1]}, {L"link working folder", args[2]}, {L"link icon", args[1]}};
  for (int i = 0; i < 3; ++i) {
    got[0] = 0;
    // The target by the link's item list (Wine answers GetPath from the
    // code-page copy of the path that a link file also holds).
    if (i == 0) {
      LPITEMIDLIST items = nullptr;
      if (SUCCEEDED(link->GetIDList(&items)) && items) {
        SHGetPathFromIDListW(items, got);
        CoTaskMemFree(items);
      }
    }
    if (i == 1) link->GetWorkingDirectory(got, MAX_PATH);
    if (i == 2) link->GetIconLocation(got, MAX_PATH, &icon);
    CheckText(rows[i].what, got, rows[i].want);
  }
  CheckNumber(L"link icon index", icon, 0);
  file->Release();
  link->Release();
  CoUninitialize();
}

void Settle(const wchar_t* name) {
  for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += 20) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
      if (_wcsicmp(entry.szExeFile, name) == 0) running = true;
    }
    CloseHandle(snapshot);
    if (!running) return;
    Sleep(20);
  }
  GiveUp(L"the launched program ends");
}

void WarmUp() {
  HWND window = CreateWindowExW(0, L"STATIC", L"warm-up", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10,
                                nullptr, nullptr, nullptr, nullptr);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  DestroyWindow(window);
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (count < 2) {
    fprintf(stderr, "usage: driver COMMAND ARGS...\n");
    return 100;
  }
  const wchar_t* command = args[1];
  int rest = count - 2;
  wchar_t** a = args + 2;
  if (!wcscmp(command, L"plain") && rest == 5) {
    Plain(a);
  } else if (!wcscmp(command, L"dialog") && (rest == 6 || rest == 7)) {
    Dialog(a, rest);
  } else if (!wcscmp(command, L"abort") && rest == 3) {
    AbortOrClose(a, true);
  } else if (!wcscmp(command, L"close") && rest == 3) {
    AbortOrClose(a, false);
  } else if (!wcscmp(command, L"hold") && rest == 4) {
    Hold(a);
  } else if (!wcscmp(command, L"escape") && rest == 3) {
    AbortOrClose(a, false, true);
  } else if (!wcscmp(command, L"failure") && rest == 4) {
    Failure(a);
  } else if (!wcscmp(command, L"link") && rest == 3) {
    Link(a);
  } else if (!wcscmp(command, L"watch") && rest == 2) {
    Watch(a);
  } else if (!wcscmp(command, L"warm-up") && rest == 0) {
    WarmUp();
  } else if (!wcscmp(command, L"settle") && rest == 1) {
    Settle(a[0]);
  } else {
    fprintf(stderr, "driver: unknown command or wrong argument count\n");
    return 100;
  }
  return g_failures > 99 ? 99 : g_failures;
}

// The destination dialog (resource 103) and the abort box (resource 101).
#include <windows.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>

#include "extract/payload.h"
#include "extract/progress.h"
#include "ui/ui.h"

namespace {

SfxState* g_dialog_state;
PlatWidePath g_dialog_text;

const int OPTION_BOXES[3] = {IDC_START_MENU, IDC_DESKTOP, IDC_SEND_TO};

void GetOptions(SfxState* state, uint8_t** options) {
  options[0] = &state->start_menu_option;
  options[1] = &state->desktop_option;
  options[2] = &state->send_to_option;
}

// The dialog-item helpers through the calls the stub imports anyway: every
// imported name costs room in the stub.
void SetFolderText(HWND dialog, const wchar_t* text) {
  SetWindowTextW(GetDlgItem(dialog, IDC_FOLDER), text);
}

LRESULT BoxMessage(HWND dialog, int box, UINT message, WPARAM wparam) {
  return SendMessageW(GetDlgItem(dialog, box), message, wparam, 0);
}

// The dialog manager asks for the template's face in the default character
// set; where the face is missing, as on many non-Japanese systems, the font
// mapper then picks a face of the system's own code page, and every
// Japanese character shows as a box. The same font asked for in the
// Shift_JIS set falls back to a face that has the glyphs, and is the very
// font the template names wherever that face exists (on a Japanese system
// the default set is Shift_JIS already).
void UseJapaneseFont(HWND dialog) {
  LOGFONTW font;
  GetObjectW((HFONT)SendMessageW(dialog, WM_GETFONT, 0, 0), sizeof font, &font);
  font.lfCharSet = SHIFTJIS_CHARSET;
  HFONT japanese = CreateFontIndirectW(&font);
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    SendMessageW(child, WM_SETFONT, (WPARAM)japanese, 0);
  }
}

void InitDestDialog(HWND dialog, SfxState* state) {
  UseJapaneseFont(dialog);
  g_dialog_state = state;
  SetText(dialog, state->title);
  // The destination as a full path: the core holds it relative to the
  // current directory unless it is under Program Files.
  if (!PlatFullPath(state->destination, g_dialog_text)) PlatWideText(state->destination, g_dialog_text);
  SetFolderText(dialog, g_dialog_text);
  uint8_t* options[3];
  GetOptions(state, options);
  for (int i = 0; i < 3; ++i) {
    if (*options[i] & OPTION_CREATE) BoxMessage(dialog, OPTION_BOXES[i], BM_SETCHECK, BST_CHECKED);
    if (!(*options[i] & OPTION_ENABLED)) EnableWindow(GetDlgItem(dialog, OPTION_BOXES[i]), FALSE);
  }
}

// OK: the typed folder (relative to the current directory, or absolute)
// becomes the current directory, made with every missing level; the
// checkboxes become the choices. From here on the current directory is the
// destination.
void ConfirmDestination(HWND dialog, SfxState* state) {
  g_dialog_text[0] = 0;
  GetDlgItemTextW(dialog, IDC_FOLDER, g_dialog_text, PATH_BUFFER_SIZE);
  if (!SetCurrentDirectoryW(g_dialog_text)) {
    PlatWidePath full;
    // The shell's call makes each missing level in turn, and wants the
    // full path.
    if (GetFullPathNameW(g_dialog_text, PATH_BUFFER_SIZE, full, nullptr) - 1u >= PATH_MAX_BYTES ||
        (SHCreateDirectoryExW(nullptr, full, nullptr), !SetCurrentDirectoryW(full))) {
      MessageBoxW(dialog, L"フォルダを作成できません", nullptr, MB_OK | MB_ICONWARNING);
      EndDialog(dialog, EXIT_FAILED);
      return;
    }
  }
  uint8_t* options[3];
  GetOptions(state, options);
  for (int i = 0; i < 3; ++i) {
    if (BoxMessage(dialog, OPTION_BOXES[i], BM_GETCHECK, 0) == BST_CHECKED) {
      *options[i] |= OPTION_CREATE;
    } else {
      *options[i] &= (uint8_t)~OPTION_CREATE;
    }
  }
  EndDialog(dialog, EXIT_DONE);
}

// The folder browser, owned by the dialog so that the dialog waits for it.
void BrowseForFolder(HWND dialog) {
  PlatWidePath display_name;
  BROWSEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.hwndOwner = dialog;
  info.pszDisplayName = display_name;
  info.lpszTitle = L"解凍先フォルダの指定";
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  LPITEMIDLIST items = SHBrowseForFolderW(&info);
  if (items) {
    g_dialog_text[0] = 0;
    SHGetPathFromIDListW(items, g_dialog_text);
    SetFolderText(dialog, g_dialog_text);
    // The shell's allocator is the task allocator.
    CoTaskMemFree(items);
  }
}

}  // namespace

INT_PTR CALLBACK DestDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    InitDestDialog(dialog, (SfxState*)lparam);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (wparam) {
    case IDOK:
      ConfirmDestination(dialog, g_dialog_state);
      break;
    case IDCANCEL:
      EndDialog(dialog, EXIT_CANCELLED);
      break;
    case IDC_BROWSE:
      BrowseForFolder(dialog);
      break;
  }
  return TRUE;
}

// Cancel is the abort button "中止", also Escape through the dialog manager.
INT_PTR CALLBACK AbortDlgProc(HWND box, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND) {
    if (wparam == IDCANCEL) g_continue = 0;
    return TRUE;
  }
  if (message != WM_INITDIALOG) return FALSE;
  UseJapaneseFont(box);
  return TRUE;
}

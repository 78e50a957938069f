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
char g_dialog_text[PATH_BUFFER_SIZE];

const int OPTION_BOXES[3] = {IDC_START_MENU, IDC_DESKTOP, IDC_SEND_TO};

void GetOptions(SfxState* state, uint8_t** options) {
  options[0] = &state->start_menu_option;
  options[1] = &state->desktop_option;
  options[2] = &state->send_to_option;
}

// "C:\..." or "\..." (a root or a network path); anything else is relative.
bool IsAbsolutePath(const char* path) {
  return path[0] == '\\' || (path[0] && path[1] == ':' && path[2] == '\\');
}

// The dialog-item helpers through the calls the stub imports anyway: every
// imported name costs room in the stub.
void SetFolderText(HWND dialog, const char* text) {
  SetWindowTextA(GetDlgItem(dialog, IDC_FOLDER), text);
}

LRESULT BoxMessage(HWND dialog, int box, UINT message, WPARAM wparam) {
  return SendMessageA(GetDlgItem(dialog, box), message, wparam, 0);
}

void InitDestDialog(HWND dialog, SfxState* state) {
  g_dialog_state = state;
  SetWindowTextA(dialog, state->title);
  ZeroMemory(g_dialog_text, sizeof g_dialog_text);
  lstrcpynA(g_dialog_text, state->destination, PATH_BUFFER_SIZE);
  SetFolderText(dialog, g_dialog_text);
  uint8_t* options[3];
  GetOptions(state, options);
  for (int i = 0; i < 3; ++i) {
    if (*options[i] & OPTION_CREATE) BoxMessage(dialog, OPTION_BOXES[i], BM_SETCHECK, BST_CHECKED);
    if (!(*options[i] & OPTION_ENABLED)) EnableWindow(GetDlgItem(dialog, OPTION_BOXES[i]), FALSE);
  }
}

// OK: the typed folder becomes the destination and the current directory
// (created when its parent exists); the checkboxes become the choices.
void ConfirmDestination(HWND dialog, SfxState* state) {
  ZeroMemory(g_dialog_text, sizeof g_dialog_text);
  UINT length = GetDlgItemTextA(dialog, IDC_FOLDER, g_dialog_text, PATH_BUFFER_SIZE);
  if (length > PATH_MAX_BYTES) length = PATH_MAX_BYTES;
  char* typed = (char*)calloc(length + 1, 1);
  if (!typed) {
    EndDialog(dialog, 1);
    return;
  }
  lstrcpynA(typed, g_dialog_text, (int)length + 1);
  free(state->destination);
  state->destination = typed;

  if (!SetCurrentDirectoryA(typed)) {
    if (!CreateDirectoryA(typed, nullptr)) {
      MessageBoxA(dialog, "フォルダを作成できません", nullptr, MB_OK | MB_ICONWARNING);
      EndDialog(dialog, 1);
      return;
    }
    SetCurrentDirectoryA(typed);
  }
  // A relative text names a folder under the directory that was current at
  // the OK; the shortcuts and the launch need it as the full path.
  if (!IsAbsolutePath(typed) && GetCurrentDirectoryA(PATH_BUFFER_SIZE, g_dialog_text) - 1u <
                                    PATH_MAX_BYTES) {
    char* full = (char*)calloc(strlen(g_dialog_text) + 1, 1);
    if (full) {
      strcpy(full, g_dialog_text);
      free(state->destination);
      state->destination = full;
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
  EndDialog(dialog, 0);
}

// The folder browser, owned by the dialog so that the dialog waits for it.
void BrowseForFolder(HWND dialog) {
  char display_name[PATH_BUFFER_SIZE];
  BROWSEINFOA info;
  ZeroMemory(&info, sizeof info);
  info.hwndOwner = dialog;
  info.pszDisplayName = display_name;
  info.lpszTitle = "解凍先フォルダの指定";
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  LPITEMIDLIST items = SHBrowseForFolderA(&info);
  if (items) {
    g_dialog_text[0] = 0;
    SHGetPathFromIDListA(items, g_dialog_text);
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
      EndDialog(dialog, 1);
      break;
    case IDC_BROWSE:
      BrowseForFolder(dialog);
      break;
  }
  return TRUE;
}

INT_PTR CALLBACK AbortDlgProc(HWND, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND) {
    if (wparam == IDCANCEL) g_continue = 0;
    return TRUE;
  }
  return message == WM_INITDIALOG;
}

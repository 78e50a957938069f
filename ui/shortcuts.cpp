// After a complete run: shell links to the configured target and the launch
// of the file to open.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>

#include "extract/payload.h"
#include "ui/ui.h"

namespace {

const GUID SHELL_LINK_CLSID = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID SHELL_LINK_A_IID = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID PERSIST_FILE_IID = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Appends text to path (a PATH_BUFFER_SIZE buffer); false, leaving path as it
// was, when the result would not fit.
bool Append(char* path, const char* text) {
  if (strlen(path) + strlen(text) > PATH_MAX_BYTES) return false;
  strcat(path, text);
  return true;
}

const char* TextOrEmpty(const char* text) { return text ? text : ""; }

// Writes the link file; false when a path does not fit or the folder is unknown.
bool SaveShortcut(SfxState* state, int folder, IShellLinkA* link, IPersistFile* file) {
  char link_path[PATH_BUFFER_SIZE];
  char name[PATH_BUFFER_SIZE];
  char target[PATH_BUFFER_SIZE];
  WCHAR wide_path[PATH_BUFFER_SIZE];
  const char* shortcut_target = TextOrEmpty(state->shortcut_target);

  link_path[0] = 0;
  LPITEMIDLIST items = nullptr;
  SHGetSpecialFolderLocation((HWND)state->main_window, folder, &items);
  if (!items) return false;
  BOOL located = SHGetPathFromIDListA(items, link_path);
  CoTaskMemFree(items);
  if (!located || !link_path[0]) return false;

  _splitpath(shortcut_target, nullptr, nullptr, name, nullptr);
  if (!Append(link_path, "\\") || !Append(link_path, name) || !Append(link_path, ".lnk")) {
    return false;
  }
  target[0] = 0;
  if (!Append(target, state->destination) || !AppendSeparator(target) ||
      !Append(target, shortcut_target)) {
    return false;
  }

  link->SetPath(target);
  link->SetIconLocation(target, 0);
  link->SetWorkingDirectory(state->destination);
  MultiByteToWideChar(CP_ACP, 0, link_path, -1, wide_path, PATH_BUFFER_SIZE);
  file->Save(wide_path, TRUE);
  return true;
}

}  // namespace

void CreateShortcut(SfxState* state, int folder) {
  if (FAILED(CoInitialize(nullptr))) return;
  IShellLinkA* link = nullptr;
  if (SUCCEEDED(CoCreateInstance(SHELL_LINK_CLSID, nullptr, CLSCTX_INPROC_SERVER,
                                 SHELL_LINK_A_IID, (void**)&link))) {
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(PERSIST_FILE_IID, (void**)&file))) {
      SaveShortcut(state, folder, link, file);
      file->Release();
    }
    link->Release();
  }
  CoUninitialize();
}

void RunAfterExtraction(SfxState* state) {
  if (state->has_config) {
    if (state->start_menu_option & OPTION_CREATE) CreateShortcut(state, CSIDL_PROGRAMS);
    if (state->desktop_option & OPTION_CREATE) CreateShortcut(state, CSIDL_DESKTOPDIRECTORY);
    if (state->send_to_option & OPTION_CREATE) CreateShortcut(state, CSIDL_SENDTO);
  }
  if (!state->open_after || !state->open_after[0]) return;
  // The "\" is always inserted: a destination "C:\" gives "C:\\readme.txt".
  char path[PATH_BUFFER_SIZE];
  path[0] = 0;
  if (!Append(path, state->destination) || !Append(path, "\\") ||
      !Append(path, state->open_after)) {
    return;
  }
  ShellExecuteA((HWND)state->main_window, nullptr, path, nullptr, nullptr, SW_SHOWNORMAL);
}

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
const GUID SHELL_LINK_W_IID = {0x000214F9, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID PERSIST_FILE_IID = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Appends text to path (a PATH_BUFFER_SIZE buffer); false, leaving path as it
// was, when the result would not fit.
bool Append(wchar_t* path, const wchar_t* text) {
  if (lstrlenW(path) + lstrlenW(text) > (int)PATH_MAX_BYTES) return false;
  lstrcatW(path, text);
  return true;
}

// Writes the link file; false when a path does not fit or the folder is
// unknown. The target is the shortcut target's full path under the current
// directory, which is the destination, and the link works in that folder.
bool SaveShortcut(SfxState* state, int folder, IShellLinkW* link, IPersistFile* file) {
  PlatWidePath link_path, name, target, directory;
  link_path[0] = 0;
  LPITEMIDLIST items = nullptr;
  SHGetSpecialFolderLocation((HWND)state->main_window, folder, &items);
  if (!items) return false;
  BOOL located = SHGetPathFromIDListW(items, link_path);
  CoTaskMemFree(items);
  if (!located || !link_path[0]) return false;

  // The link is named after the target's file name without its extension.
  if (!PlatFullPath(state->shortcut_target ? state->shortcut_target : "", target)) return false;
  _wsplitpath(target, nullptr, nullptr, name, nullptr);
  if (!Append(link_path, L"\\") || !Append(link_path, name) || !Append(link_path, L".lnk")) {
    return false;
  }
  if (GetCurrentDirectoryW(PATH_BUFFER_SIZE, directory) - 1u >= PATH_MAX_BYTES) return false;

  link->SetPath(target);
  link->SetIconLocation(target, 0);
  link->SetWorkingDirectory(directory);
  file->Save(link_path, TRUE);
  return true;
}

}  // namespace

void CreateShortcut(SfxState* state, int folder) {
  if (FAILED(CoInitialize(nullptr))) return;
  IShellLinkW* link = nullptr;
  if (SUCCEEDED(CoCreateInstance(SHELL_LINK_CLSID, nullptr, CLSCTX_INPROC_SERVER,
                                 SHELL_LINK_W_IID, (void**)&link))) {
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
  // The file to open, by its full path under the destination.
  PlatWidePath path;
  if (!state->open_after || !PlatFullPath(state->open_after, path)) return;
  ShellExecuteW((HWND)state->main_window, nullptr, path, nullptr, nullptr, SW_SHOWNORMAL);
}

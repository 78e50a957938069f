// The platform layer over Win32 and msvcrt.dll.
#include <windows.h>
#include <shlobj.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <time.h>

#include "platform/platform.h"
#include "platform/win32_messages.h"

bool PlatGetOwnPath(char* buffer) {
  DWORD n = GetModuleFileNameA(nullptr, buffer, PATH_BUFFER_SIZE);
  buffer[PATH_MAX_BYTES] = 0;
  return n > 0 && n < PATH_BUFFER_SIZE;
}

bool PlatGetCurrentDir(char* buffer) {
  DWORD n = GetCurrentDirectoryA(PATH_BUFFER_SIZE, buffer);
  if (n == 0 || n >= PATH_BUFFER_SIZE) {
    buffer[0] = 0;
    return false;
  }
  return true;
}

bool PlatGetWindowsDrive(char* buffer) {
  char windows[MAX_PATH + 1];
  UINT n = GetWindowsDirectoryA(windows, sizeof windows);
  if (n == 0 || n >= sizeof windows) return false;
  char drive[_MAX_DRIVE];
  _splitpath(windows, drive, nullptr, nullptr, nullptr);
  lstrcpynA(buffer, drive, 3);
  return true;
}

int32_t PlatTimezoneOffset() {
  _tzset();
  return (int32_t)_timezone;
}

FILE* PlatOpenFile(const char* path, const char* mode) { return fopen(path, mode); }

void PlatRemoveFile(const char* path) { _unlink(path); }

int32_t PlatPathKind(const char* path) {
  struct _stat info;
  if (_stat(path, &info) != 0) return PATH_MISSING;
  return (info.st_mode & _S_IFMT) == _S_IFDIR ? PATH_DIRECTORY : PATH_FILE;
}

bool PlatMakeDirectory(const char* path) {
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  return CreateDirectoryA(path, &security) != 0;
}

void PlatSetFileTime(const char* path, uint32_t unix_time) {
  struct _utimbuf times;
  times.actime = (time_t)unix_time;
  times.modtime = (time_t)unix_time;
  _utime(path, &times);
}

void PlatNotifyCreated(const char* path) {
  SHChangeNotify(SHCNE_CREATE, SHCNF_PATHA, path, nullptr);
}

uint32_t PlatAvailableMemory() {
  MEMORYSTATUS status;
  memset(&status, 0, sizeof status);
  status.dwLength = sizeof status;
  GlobalMemoryStatus(&status);
  SIZE_T avail = status.dwAvailPhys;
  return avail > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)avail;
}

void PlatSetLabel(PlatHandle window, const char* name) {
  SendMessageA((HWND)window, WM_SFX_SETLABEL, 0, (LPARAM)name);
}

void PlatSetProgress(PlatHandle bar, uint32_t position) {
  if (bar) SendMessageA((HWND)bar, SFX_PBM_SETPOS, (WPARAM)position, 0);
}

void PlatReportOutcome(SfxState*, PlatHandle window, uint32_t outcome, uint32_t failure) {
  UINT message = outcome == OUTCOME_DONE      ? WM_SFX_DONE
                 : outcome == OUTCOME_ABORTED ? WM_SFX_ABORTED
                                              : WM_SFX_FAILED;
  PostMessageA((HWND)window, message, (WPARAM)failure, 0);
}

void PlatShowError(PlatHandle window, const char* text, const char* caption) {
  MessageBoxA((HWND)window, text, caption, MB_OK | MB_ICONERROR);
}

bool PlatStartThread(void (*body)(void*), void* arg) {
  return _beginthread(body, 0, arg) != (uintptr_t)-1;
}

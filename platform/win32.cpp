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

// msvcrt's fpos_t is 64 bits wide in every version, while ftell, fseek and
// the size through fseek's end are limited to a long (2 GiB); _fseeki64 and
// _ftelli64 are missing from older system copies of msvcrt.dll.
int64_t PlatTell(FILE* stream) {
  fpos_t position;
  return fgetpos(stream, &position) == 0 ? (int64_t)position : -1;
}

bool PlatSeek(FILE* stream, int64_t position) {
  fpos_t to = (fpos_t)position;
  return position >= 0 && fsetpos(stream, &to) == 0;
}

int64_t PlatStreamSize(FILE* stream) { return _filelengthi64(_fileno(stream)); }

void PlatRemoveFile(const char* path) { _unlink(path); }

int32_t PlatPathKind(const char* path) {
  struct _stat info;
  if (_stat(path, &info) != 0) return PATH_MISSING;
  return (info.st_mode & _S_IFMT) == _S_IFDIR ? PATH_DIRECTORY : PATH_FILE;
}

bool PlatLinkOnPath(const char* path) {
  char part[PATH_BUFFER_SIZE];
  lstrcpynA(part, path, PATH_BUFFER_SIZE);
  for (char* p = part;; ++p) {
    char c = *p;
    // The reader has made every separator "/"; a "\" left is the second
    // byte of a character.
    if (c == '/' || c == 0) {
      *p = 0;
      // INVALID_FILE_ATTRIBUTES (a part that does not exist yet) has the
      // high bit set, which no real attribute set has.
      if ((GetFileAttributesA(part) & 0x80000400u) == FILE_ATTRIBUTE_REPARSE_POINT) return true;
      if (c == 0) return false;
      *p = c;
    }
  }
}

void PlatUpperCase(char* text, uint32_t length) { CharUpperBuffA(text, length); }

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

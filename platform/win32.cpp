// The platform layer over Win32 and msvcrt.dll. Every core text is read as
// code page 932 (a package's names and texts are Shift_JIS by construction)
// and handed to the system's UTF-16 ("W") calls, so that a package does the
// same on every system, whatever its own code page.
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

namespace {

const UINT CORE_CODE_PAGE = 932;

}  // namespace

uint32_t PlatWideText(const char* text, wchar_t* out, uint32_t size) {
  int n = MultiByteToWideChar(CORE_CODE_PAGE, 0, text, -1, out, (int)size);
  if (n <= 0) {
    out[0] = 0;
    return 0;
  }
  return (uint32_t)n - 1;
}

bool PlatFullPath(const char* path, wchar_t* full) {
  PlatWidePath wide;
  PlatWideText(path, wide);
  return GetFullPathNameW(wide, PATH_BUFFER_SIZE, full, nullptr) - 1u < PATH_MAX_BYTES;
}

FILE* PlatOpenOwnFile(char* path) {
  path[0] = 0;
  PlatWidePath own;
  DWORD n = GetModuleFileNameW(nullptr, own, PATH_BUFFER_SIZE);
  if (n == 0 || n >= PATH_BUFFER_SIZE) return nullptr;
  return _wfopen(own, L"rb");
}

bool PlatGetCurrentDir(char* buffer) {
  buffer[0] = '.';
  buffer[1] = 0;
  return true;
}

bool PlatGetWindowsDrive(char* buffer) {
  char windows[MAX_PATH + 1];
  UINT n = GetWindowsDirectoryA(windows, sizeof windows);
  if (n < 2 || n >= sizeof windows || windows[1] != ':') return false;
  buffer[0] = windows[0];
  buffer[1] = ':';
  buffer[2] = 0;
  return true;
}

int32_t PlatTimezoneOffset() {
  _tzset();
  return (int32_t)_timezone;
}

FILE* PlatOpenFile(const char* path, const char* mode) {
  PlatWidePath wide;
  wchar_t wide_mode[4];
  PlatWideText(path, wide);
  PlatWideText(mode, wide_mode, 4);
  return _wfopen(wide, wide_mode);
}

FILE* PlatCreateFile(const char* path) { return PlatOpenFile(path, "wb"); }

bool PlatReplaceFile(const char* from, const char* to) {
  PlatWidePath wide_from, wide_to;
  PlatWideText(from, wide_from);
  PlatWideText(to, wide_to);
  return MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING) != 0;
}

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

void PlatRemoveFile(const char* path) {
  PlatWidePath wide;
  PlatWideText(path, wide);
  DeleteFileW(wide);
}

PathKind PlatPathKind(const char* path) {
  PlatWidePath wide;
  PlatWideText(path, wide);
  DWORD attributes = GetFileAttributesW(wide);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_MISSING;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PATH_DIRECTORY : PATH_FILE;
}

bool PlatLinkOnPath(const char* path) {
  PlatWidePath part;
  PlatWideText(path, part);
  for (wchar_t* p = part;; ++p) {
    wchar_t c = *p;
    // The reader has made every separator "/" (in UTF-16 no character has a
    // "\" in it).
    if (c == '/' || c == 0) {
      *p = 0;
      // INVALID_FILE_ATTRIBUTES (a part that does not exist yet) has the
      // high bit set, which no real attribute set has.
      if ((GetFileAttributesW(part) & 0x80000400u) == FILE_ATTRIBUTE_REPARSE_POINT) return true;
      if (c == 0) return false;
      *p = c;
    }
  }
}

void PlatUpperCase(char* text, uint32_t length) {
  wchar_t wide[PATH_BUFFER_SIZE];
  int n = MultiByteToWideChar(CORE_CODE_PAGE, 0, text, (int)length, wide, PATH_BUFFER_SIZE);
  LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide, n, wide, n);
  // Every character of code page 932 and its capital have codes of one
  // length; bytes that are no character may not come back as they were, and
  // then the text is left alone.
  char folded[PATH_BUFFER_SIZE];
  if (n > 0 && WideCharToMultiByte(CORE_CODE_PAGE, 0, wide, n, folded, PATH_BUFFER_SIZE, nullptr,
                                   nullptr) == (int)length) {
    memcpy(text, folded, length);
  }
}

bool PlatMakeDirectory(const char* path) {
  PlatWidePath wide;
  PlatWideText(path, wide);
  return CreateDirectoryW(wide, nullptr) != 0;
}

void PlatSetFileTime(const char* path, uint32_t unix_time) {
  PlatWidePath wide;
  PlatWideText(path, wide);
  struct _utimbuf times;
  times.actime = (time_t)unix_time;
  times.modtime = (time_t)unix_time;
  _wutime(wide, &times);
}

void PlatNotifyCreated(const char* path) {
  PlatWidePath full;
  if (PlatFullPath(path, full)) SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, full, nullptr);
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
  SendMessageW((HWND)window, WM_SFX_SETLABEL, 0, (LPARAM)name);
}

void PlatSetProgress(PlatHandle bar, uint32_t position) {
  if (bar) SendMessageW((HWND)bar, SFX_PBM_SETPOS, (WPARAM)position, 0);
}

void PlatReportOutcome(SfxState*, PlatHandle window, RunOutcome outcome, FailureKind failure) {
  UINT message = outcome == OUTCOME_DONE      ? WM_SFX_DONE
                 : outcome == OUTCOME_ABORTED ? WM_SFX_ABORTED
                                              : WM_SFX_FAILED;
  PostMessageW((HWND)window, message, (WPARAM)failure, 0);
}

void PlatShowError(PlatHandle window, const char* text, const char* caption) {
  wchar_t wide_text[2 * PATH_BUFFER_SIZE];
  PlatWidePath wide_caption;
  PlatWideText(text, wide_text, 2 * PATH_BUFFER_SIZE);
  PlatWideText(caption, wide_caption);
  MessageBoxW((HWND)window, wide_text, wide_caption, MB_OK | MB_ICONERROR);
}

bool PlatStartThread(void (*body)(void*), void* arg) {
  return _beginthread(body, 0, arg) != (uintptr_t)-1;
}

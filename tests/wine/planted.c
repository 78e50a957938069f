// A stand-in for a system DLL, planted beside a package as a hostile download
// would be: if a program loads it, "<its own path>.loaded" appears. It
// exports the one common-controls entry a program may import, so that a
// program importing it starts and the load shows.
#include <windows.h>

__declspec(dllexport) BOOL WINAPI InitCommonControlsEx(const void* controls) {
  (void)controls;
  return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    if (n && n < MAX_PATH) {
      lstrcatA(path, ".loaded");
      CloseHandle(CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    }
  }
  return TRUE;
}

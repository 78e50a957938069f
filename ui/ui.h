// The Windows front end: the popup and its message loop, the destination
// dialog, the abort box, and the shortcuts and launch after a complete run.
#pragma once
#include <windows.h>

#include "extract/payload.h"
#include "platform/platform.h"

// Resource ids.
const int IDD_ABORT_BOX = 101;
const int IDI_PACKAGE = 102;
const int IDD_DESTINATION = 103;
const int IDC_FOLDER = 1000;
const int IDC_BROWSE = 1001;
const int IDC_START_MENU = 1002;
const int IDC_DESKTOP = 1003;
const int IDC_SEND_TO = 1004;
// In the abort box: the label and the progress bar.
const int IDC_LABEL = 1005;
const int IDC_PROGRESS = 1006;

// The process's exit status, also the destination dialog's result: a
// complete run; a failure (damaged data, a file or folder that cannot be
// made or written, a package that cannot be read); or a run the user ended
// (Cancel in the destination dialog, the abort button or Escape, closing the
// popup, logging off or shutting down during the run).
const int EXIT_DONE = 0;
const int EXIT_FAILED = 1;
const int EXIT_CANCELLED = 2;

// A window's text from a core text (Shift_JIS).
void SetText(HWND window, const char* text);

bool SfxStartUp(SfxState* state);
LRESULT CALLBACK SfxWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK DestDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK AbortDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// One link file in the shell folder with the given CSIDL.
void CreateShortcut(SfxState* state, int folder);
// Shortcuts (when configured) and the launch of open_after.
void RunAfterExtraction(SfxState* state);

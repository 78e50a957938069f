// The Windows front end: the popup and its message loop, the destination
// dialog, the abort box, and the shortcuts and launch after a complete run.
#pragma once
#include <windows.h>

#include "extract/payload.h"

// Resource ids.
const int IDD_ABORT_BOX = 101;
const int IDI_PACKAGE = 102;
const int IDD_DESTINATION = 103;
const int IDC_FOLDER = 1000;
const int IDC_BROWSE = 1001;
const int IDC_START_MENU = 1002;
const int IDC_DESKTOP = 1003;
const int IDC_SEND_TO = 1004;
// The abort box's lower edge in its dialog units: top 33 plus height 22
// (vemosfx.rc); the button inside it ends at 33 + 14.
const LONG ABORT_BOX_BOTTOM = 33 + 22;

bool SfxStartUp(SfxState* state);
LRESULT CALLBACK SfxWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK DestDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK AbortDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// One link file in the shell folder with the given CSIDL.
void CreateShortcut(SfxState* state, int folder);
// Shortcuts (when configured) and the launch of open_after.
void RunAfterExtraction(SfxState* state);

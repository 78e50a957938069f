// Window messages between the worker and the popup (Win32 only).
#pragma once

const unsigned WM_SFX_SETLABEL = 1025;  // sent; lParam: the member's name
const unsigned WM_SFX_DONE = 1027;      // posted: every member extracted intact
const unsigned WM_SFX_ABORTED = 1028;   // posted: the user aborted the run
const unsigned WM_SFX_FAILED = 1029;    // posted: wParam is the FailureKind
const unsigned SFX_PBM_SETPOS = 1026;   // the progress bar's own PBM_SETPOS

// The seam between the platform-neutral core and the operating system. The
// core calls only these for anything beyond the C runtime's streams. Paths
// are the core's byte strings (Shift_JIS on Windows); the POSIX side converts
// them to the local encoding.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include "platform/floor.h"

// Full path of the running program (on the host: the file the tool was
// given), into a PATH_BUFFER_SIZE buffer. False when it does not fit.
bool PlatGetOwnPath(char* buffer);
// Current directory into a PATH_BUFFER_SIZE buffer, without a trailing
// separator except at a root. False when it does not fit.
bool PlatGetCurrentDir(char* buffer);
// Drive of the Windows directory ("C:") into a buffer of at least 3 bytes.
bool PlatGetWindowsDrive(char* buffer);
// The local time zone's standard offset in seconds west of UTC.
int32_t PlatTimezoneOffset();

// Files and directories; path separators are "/" or "\".
// Mode "wb" is used only on a path whose file was just removed: the host then
// opens it without following a link that appeared in its place.
FILE* PlatOpenFile(const char* path, const char* mode);
// Positions in 64 bits, so that packages and members past 2 and 4 GiB work:
// the stream's position (-1 when unknown), a move to an absolute position
// (false when it fails), and the size of the stream's file (-1 when unknown).
int64_t PlatTell(FILE* stream);
bool PlatSeek(FILE* stream, int64_t position);
int64_t PlatStreamSize(FILE* stream);
void PlatRemoveFile(const char* path);
enum PathKind : int32_t { PATH_MISSING = 0, PATH_FILE = 1, PATH_DIRECTORY = 2 };
int32_t PlatPathKind(const char* path);
bool PlatMakeDirectory(const char* path);
// True when a part of the path is a link through which a write would leave
// the destination. POSIX: a folder on it (any part before its last "/") is a
// symbolic link; the last part is removed before its file is opened without
// following a link. Windows: any part, the last included, is a reparse point
// (a symbolic link or a junction, which another user may plant in a shared
// folder).
bool PlatLinkOnPath(const char* path);
#if !defined(_WIN32)
// A Unix symbolic link member ("link|target") was skipped: the host tool
// says so.
void PlatSkippedLink(const char* name);
#else
// The stub: a skipped link goes unmentioned.
inline void PlatSkippedLink(const char*) {}
#endif
#if defined(_WIN32)
// Makes the letters of text (length bytes, code page 932) capitals as the
// system does it.
void PlatUpperCase(char* text, uint32_t length);
#else
// The one spelling of all the names (length bytes, code page 932) that
// Windows takes for the same file name: the name read as code page 932
// (MultiByteToWideChar: a lead byte takes the byte after it; a code without
// a character, or a lead byte at the end, is the default character),
// upper-cased (CharUpperBuffW) and written back in code page 932
// (WideCharToMultiByte, which gives a character that has two or three codes
// one of them). Into out, at most capacity bytes (a name can grow by one: a
// lead byte at its end becomes a whole character); returns the count. Two
// names are one file on Windows exactly when their folds are equal, trailing
// dots and spaces aside (FoldPath).
uint32_t FoldNameLikeWindows(const char* name, uint32_t length, char* out, uint32_t capacity);
#endif
void PlatSetFileTime(const char* path, uint32_t unix_time);
// Tells the shell that an absolute path ("\" separators) was created.
void PlatNotifyCreated(const char* path);
// Available physical memory in bytes (0 when unknown), capped at 4 GiB - 1.
uint32_t PlatAvailableMemory();

// Reports to the user interface. The label and progress calls wait until the
// user interface has taken them; the outcome is posted and does not wait.
// window is the state's main window; failure its FailureKind (with
// OUTCOME_FAILED); the state itself is only passed on to the host's hooks.
void PlatSetLabel(PlatHandle window, const char* name);
void PlatSetProgress(PlatHandle bar, uint32_t position);
void PlatReportOutcome(SfxState* state, PlatHandle window, uint32_t outcome, uint32_t failure);
// A modal error message with an error icon, owned by the window.
void PlatShowError(PlatHandle window, const char* text, const char* caption);

// Starts body(arg) on a new thread; false when it cannot be started.
bool PlatStartThread(void (*body)(void*), void* arg);

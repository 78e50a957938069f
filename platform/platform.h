// The seam between the platform-neutral core and the operating system. The
// core calls only these for anything beyond the C runtime's streams. Paths
// and texts are the core's byte strings, Shift_JIS (code page 932) as a
// package stores them: the Windows side reads them as code page 932 whatever
// the system's own code page is and reaches the system through its UTF-16
// calls; the POSIX side converts them to the local encoding.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include "platform/floor.h"

// Opens the running program's own file (on the host: the file the tool was
// given) for reading; null when it cannot. Its path goes into a
// PATH_BUFFER_SIZE buffer as far as the core's text can hold it (Windows:
// left empty, as a folder's name may hold characters that Shift_JIS has no
// code for; the file is opened by its UTF-16 path).
FILE* PlatOpenOwnFile(char* path);
// Current directory into a PATH_BUFFER_SIZE buffer, without a trailing
// separator except at a root. False when it does not fit. Windows: ".",
// for the reason above; the Windows front end makes a destination under it
// absolute in UTF-16, and the run works relative to the current directory.
bool PlatGetCurrentDir(char* buffer);
// Drive of the Windows directory ("C:") into a buffer of at least 3 bytes.
bool PlatGetWindowsDrive(char* buffer);
// The local time zone's standard offset in seconds west of UTC.
int32_t PlatTimezoneOffset();

// Files and directories; path separators are "/" or "\".
// Mode "wb" is used only on a path whose file was just removed: the host then
// opens it without following a link that appeared in its place.
FILE* PlatOpenFile(const char* path, const char* mode);
// Creates path, where the caller has just found nothing (PlatPathKind), as a
// new file for writing; null when it cannot be made. POSIX: also null when
// anything has appeared there meanwhile (a link included), so that nothing
// is written through or over it; Windows opens it as it is.
FILE* PlatCreateFile(const char* path);
// Renames the file from to to, replacing a file that is there in one step;
// false when it cannot (to is a folder or read-only, or another volume).
bool PlatReplaceFile(const char* from, const char* to);
// Positions in 64 bits, so that packages and members past 2 and 4 GiB work:
// the stream's position (-1 when unknown), a move to an absolute position
// (false when it fails), and the size of the stream's file (-1 when unknown).
int64_t PlatTell(FILE* stream);
bool PlatSeek(FILE* stream, int64_t position);
int64_t PlatStreamSize(FILE* stream);
void PlatRemoveFile(const char* path);
enum PathKind : int32_t { PATH_MISSING = 0, PATH_FILE = 1, PATH_DIRECTORY = 2 };
PathKind PlatPathKind(const char* path);
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
// Makes the letters of text (length bytes, code page 932) capitals as
// Windows compares file names, in place: the text read as code page 932,
// upper-cased in UTF-16 by the system (the invariant locale's rule, not the
// user's) and written back in code page 932, so that the two codes that code
// page 932 has for some characters (0x8754 and 0xFA4A for "Ⅰ") come out as
// one, as they name one file.
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
// Tells the shell that a path relative to the current directory (the
// destination) was created.
void PlatNotifyCreated(const char* path);
// Available physical memory in bytes (0 when unknown), capped at 4 GiB - 1.
uint32_t PlatAvailableMemory();

// Reports to the user interface. The label and progress calls wait until the
// user interface has taken them; the outcome is posted and does not wait.
// window is the state's main window; failure its FailureKind (with
// OUTCOME_FAILED); the state itself is only passed on to the host's hooks.
void PlatSetLabel(PlatHandle window, const char* name);
void PlatSetProgress(PlatHandle bar, uint32_t position);
void PlatReportOutcome(SfxState* state, PlatHandle window, RunOutcome outcome, FailureKind failure);
// A modal error message with an error icon, owned by the window.
void PlatShowError(PlatHandle window, const char* text, const char* caption);

// Starts body(arg) on a new thread; false when it cannot be started.
bool PlatStartThread(void (*body)(void*), void* arg);

#if defined(_WIN32)
// A core text (Shift_JIS) in UTF-16 for the system's wide calls, into out
// (size characters); the number of characters without the terminator. A
// text that does not fit gives an empty out and 0.
typedef wchar_t PlatWidePath[PATH_BUFFER_SIZE];
uint32_t PlatWideText(const char* text, wchar_t* out, uint32_t size = PATH_BUFFER_SIZE);
// The full path ("\" separators) of a core path relative to the current
// directory, or of an absolute one, into full; false when it does not fit
// or there is none (an empty path).
bool PlatFullPath(const char* path, wchar_t* full);
#endif

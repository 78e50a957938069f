// What list, test and extract share: opening what they are given (a package
// or a plain LZH archive), the options they all take, their messages and
// exit statuses.
#pragma once
#include <getopt.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "extract/header.h"
#include "extract/payload.h"
#include "extract/walk.h"
#include "host/options.h"
#include "platform/host_hooks.h"

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;  // a member or the input failed
const int EXIT_USAGE = 2;
const int EXIT_INTERRUPTED = 130;  // 128 + SIGINT; SIGHUP and SIGTERM give 128 + theirs

// The problem with a file that is neither.
extern const char NOT_AN_ARCHIVE[];

// "-" is standard input, read forward only (a package's stub is read past).
// A file that starts with "MZ" is a package: its payload is read as the stub
// reads its own (configuration block at PAYLOAD_OFFSET, then the archive).
// Any other file is a plain archive from its first byte, and *plain is set;
// the caller then chooses its settings (UseDefaultConfig). Either way the
// archive must start with a member header or be empty. Returns "" on
// success, else the problem in words.
std::string OpenInput(const char* path, SfxState* state, bool* plain);

// Installs receivers whose only effect is to keep the reader's "Unknown
// header" message quiet: every command reports each problem in its own one
// line. The caller may fill in more receivers and install *callbacks again.
void InstallQuietCallbacks(HostCallbacks* callbacks);

// The opened input of a command: quiet receivers installed, the state read
// (a plain archive with the default settings), the file's size known (-1
// for standard input, whose end shows only when it comes).
struct CommandInput {
  SfxState state;
  HostCallbacks callbacks;
  bool plain;
  int64_t end;
};
// Opens path for a command; on failure prints "vemosfx: PATH: problem" and
// returns false with nothing left open.
bool OpenCommandInput(const char* path, CommandInput* input);
void CloseCommandInput(CommandInput* input);

// "vemosfx: WHAT: PROBLEM" on stderr (stdout flushed first); returns EXIT_FAILED.
int Fail(const std::string& what, const std::string& problem);
// The status of a command whose results went to standard output: status,
// unless writing them failed (a full disk, a closed pipe), which is told
// as "vemosfx: cannot write to standard output: REASON" and gives EXIT_FAILED.
int FinishOutput(int status);
// A usage error: "vemosfx COMMAND: message" and a hint; returns EXIT_USAGE.
int UsageError(const char* command, const std::string& message);

// The usage error of an option getopt_long refused (c is '?' or ':'; the
// option string starts with ':' and opterr is 0): "unknown option '-x'" or
// "'-C' needs a value".
int BadOption(const char* command, int c, char** argv);

// Applies --names=VALUE for COMMAND: 0, or the usage error's status when the
// value is not one of cp932, utf-8, euc-jp, latin1, auto.
int SetNames(const char* command, const char* value);

// The end of each reading command's option switch, the options they all
// read alike: --names (-1 when taken: parsing goes on), -h (usage, then the
// table's option lines; EXIT_OK) and what getopt_long refused (BadOption).
int CommonOption(const OptionParser& parser, const char* command, const char* usage, int c, char** argv);

// A member's failure (FailureKind) in words; with the header, an unknown
// method is named.
std::string MemberProblem(FailureKind failure, const MemberHeader* header = nullptr);

// What a failed walk (WalkNext's result other than WALK_MEMBER and
// WALK_END) says of the archive, in words.
std::string WalkProblem(WalkResult result);

// Shift_JIS (or, as --names says, UTF-8) text as UTF-8, bad bytes as "\xNN".
std::string Utf8Raw(const char* text);
// UTF-8 text safe to print on a terminal: control characters (C0, DEL, C1)
// and bytes that are not UTF-8 escaped as "\r", "\n", "\t", "\x1b", "\u009b".
std::string Printable(const std::string& text);
// Utf8Raw made Printable: for every human-readable line.
std::string Utf8(const char* text);

// The file members met so far, by folded path (FoldPath), in memory that
// does not grow with the archive: a 64-bit hash of each folded path in an
// open-addressed table of at most SAME_FILE_SLOTS slots, and the first
// names themselves (SAME_FILE_TEXT bytes) for the warnings. When the table
// is full the check stops, and says so once.
const uint32_t SAME_FILE_SLOTS = 1u << 21;
const uint32_t SAME_FILE_TEXT = 4u << 20;
struct WindowsNames {
  std::vector<uint64_t> hashes;  // 0: a free slot
  std::vector<uint32_t> names;   // 1 + the name's offset in text; 0: not kept
  std::string text;
  uint32_t count = 0;
  bool stopped = false;
};
// Warns on stderr when a file member's name folds onto an earlier file
// member's, which Windows (and the stub) would take for the same file.
void WarnSameFile(WindowsNames* names, const MemberHeader* header);

// A member's stored name as the path it is written to, below the
// destination: without the one "/" in front that a name from Unix may have
// (more than one, the core refuses).
inline const char* LocalName(const char* name) { return name + (name[0] == '/'); }
// path without any "/" in front or behind: how members are compared.
std::string TrimSlashes(std::string path);
// Whether text ends in suffix (lowercase), ASCII letter case ignored: the
// ".exe" and ".lzh" that say what a file is.
bool EndsWithFolded(const std::string& text, const char* suffix);

// Member patterns. A member matches a pattern when its path, or a directory
// above it, does (shell patterns).
bool Matches(const std::string& pattern, const std::string& path);
// The MEMBER patterns of list, test and extract, each told when it matched
// nothing: a name typed wrong must not pass for an archive without it.
struct Pattern {
  std::string text;
  bool matched = false;
};
std::vector<Pattern> Patterns(int count, char** texts);
// Whether the member at path is selected: no patterns, or one that matches
// (each one matching is marked).
bool Select(std::vector<Pattern>* patterns, const std::string& path);
// The selection path of a member as read (SelectionPath, the header judged
// for a link).
std::string HeaderSelectionPath(const MemberHeader* header);
// "vemosfx: PATTERN: not found in the archive" for each pattern that
// matched nothing; EXIT_FAILED when there was one, else 0.
int ReportUnmatched(const std::vector<Pattern>& patterns);
// The path a user types for a member: UTF-8, no leading or trailing "/".
std::string MemberPath(const char* name);
// A pattern as a member path: no "./" in front, no "/" behind.
std::string PatternPath(std::string pattern);
// The path a member is selected and named by: a link (CHECK_LINK) by its
// own name, without "|target".
std::string SelectionPath(const MemberHeader* header, bool link);

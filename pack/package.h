// The package builder: members gathered from disk, the configuration block,
// the stub in front, and an output that appears only when complete.
#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "pack/archive.h"

// What the configuration block tells the stub. Texts are UTF-8 here and
// Shift_JIS in the block.
struct PackageSettings {
  bool dialog = true;  // false: the block is the single byte 0
  std::string title;   // empty: the stub's default title
  bool program_files = false;
  std::string destination;  // sub-path below the base; empty: the current directory
  std::string shortcut_target;
  uint8_t start_menu = 0;
  uint8_t desktop = 0;
  uint8_t send_to = 0;
  std::string open_after;
};

// "no", "ask-no", "ask-yes" or "yes" as an option byte.
bool ParseOptionMode(const std::string& text, uint8_t* option);

// The configuration block; false with a message naming the text that has
// no Shift_JIS form or is longer than its length byte allows.
bool BuildConfigBlock(const PackageSettings& settings, std::vector<uint8_t>* block, std::string* error);

// True when the stub is exactly the payload offset long and starts with "MZ".
bool CheckStub(const std::vector<uint8_t>& stub, const std::string& what, std::string* error);

// How members are gathered.
struct CollectOptions {
  bool package = false;          // names must also differ ignoring case
  bool windows_names = true;     // refuse device names and trailing dots or spaces
  bool utf8_names = false;       // plain archives: names stored in UTF-8
  bool dereference = false;      // follow symbolic links
  std::string skip;              // a file (the output) to leave out, with a warning
  bool clamp_time = false;       // times later than max_time become max_time
  bool fixed_time = false;       // every time is max_time
  uint32_t max_time = 0;
  std::vector<std::string> exclude;  // patterns of names left out (IsExcluded)
};

// True when a pattern matches the member name, any tail of it that starts a
// component, or one of its components, as tar's exclusions match: "*", "?"
// and "[...]", with "*" also matching "/".
bool IsExcluded(const std::vector<std::string>& patterns, const std::string& name);

// Gathers the members named by paths, relative to base_dir ("" for the
// current directory). A folder brings its directory member and everything
// below it, in byte order of the names; names options.exclude matches are
// left out. Every name is checked here, before anything is written: two
// inputs may not become one member. Symbolic links become link members
// (refused in a package), or with dereference their targets; FIFOs, sockets
// and devices are skipped. Lines for the user go to warnings. The file skip
// (if it exists) is left out with a warning; when it is one of the paths
// themselves the pack is refused. Every refused input is found in one pass:
// false with one line per refusal in *error.
bool CollectMembers(const std::string& base_dir, const std::vector<std::string>& paths,
                    const CollectOptions& options, std::vector<MemberSource>* members,
                    std::vector<std::string>* warnings, std::string* error);

// Checks the settings against the members: the shortcut's target and the
// file to open must be file members; the destination a relative path
// without "..", drive or leading separator.
bool CheckSettings(const PackageSettings& settings, const std::vector<MemberSource>& members,
                   std::string* error);

struct PackJob {
  std::string output;
  bool plain = false;          // an archive without stub and configuration block
  std::vector<uint8_t> stub;   // for a package
  PackageSettings settings;
  // When not empty: a package's stub and configuration block as they are
  // (a package changed by add or delete keeps its own), in place of stub
  // and settings.
  std::vector<uint8_t> front;
  int mode = -1;  // the output's permissions; -1: 0666 within the umask
  int64_t uid = -1, gid = -1;  // the output's owner (a file rewritten keeps its own); -1: ours
  // Asked just before the new file replaces the output; false (with a
  // message) leaves the output as it is.
  std::function<bool(std::string* error)> before_replace;
  bool no_replace = false;  // the output is new: fail if another has made it meanwhile
  PackMethod method;
  std::vector<MemberSource> members;
  bool windows_names = true;
  bool to_stdout = false;  // write to standard output (through a temporary file)
  // Told of every member written.
  ProgressHook progress;
};

// Writes the package or archive to a temporary file beside the output and
// renames it into place at the end; on failure nothing is left behind. An
// output reached through symbolic links is replaced where they lead (the
// links stay); an output that exists and is not a regular file (a device, a
// FIFO) is written into, not replaced.
// While the temporary file exists, SIGINT, SIGTERM and SIGHUP remove it and
// end the process (status 128 + the signal).
bool WriteOutput(const PackJob& job, std::string* error);

// The package builder: members gathered from disk, the configuration block,
// the stub in front, and an output that appears only when complete.
#pragma once
#include <stdint.h>

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

// Gathers the members named by paths, relative to base_dir ("" for the
// current directory). A folder brings its directory member and everything
// below it, in byte order of the names. Every name is checked here, before
// anything is written. The file skip (if it exists) is left out, so that an
// old output inside a packed folder is not packed into the new one.
bool CollectMembers(const std::string& base_dir, const std::vector<std::string>& paths,
                    const std::string& skip, std::vector<MemberSource>* members, std::string* error);

struct PackJob {
  std::string output;
  bool plain = false;          // an archive without stub and configuration block
  std::vector<uint8_t> stub;   // for a package
  PackageSettings settings;
  PackMethod method;
  std::vector<MemberSource> members;
};

// True when the output's name ends in ".lzh" (any case).
bool IsPlainArchiveName(const std::string& output);

// Writes the package or archive to a temporary file beside the output and
// renames it into place at the end; on failure nothing is left behind.
bool WriteOutput(const PackJob& job, std::string* error);

// What pack, add and delete share: their options, the inputs they gather
// and the output they write (a new file renamed over the old when complete).
#pragma once
#include <string>
#include <vector>

#include "pack/package.h"

// One command line of pack, add or delete.
struct PackCommand {
  const char* name = "pack";  // the command, for messages
  PackJob job;
  std::string output, base_dir, stub_path, method = "lh5", format, mtime;
  std::string level, threads;  // --level, -j: checked with the method
  std::vector<std::string> package_only;  // package options given (names)
  std::vector<std::string> paths, files_from, exclude_from;
  CollectOptions collect;
  bool best = false, modes_given = false, unix_names = false, dereference = false;
  bool null_separated = false, quiet = false, verbose = false, update = false;
  bool utf8_names = false;     // --names=utf-8: plain archives store UTF-8 names
  std::string owner, group;    // --owner, --group: NAME, NAME:ID or ID
  bool numeric_owner = false;  // --numeric-owner: no owner names stored
  uint32_t owner_id = 0, group_id = 0;  // --owner and --group, parsed
  std::string owner_name, group_name;
  std::string mode;  // --mode: octal, or chmod's symbolic changes
};

// Parses the options of pack (add: the archive is the first operand, and
// package options are refused). Returns -1 to go on, else the exit status
// (help shown, or a usage error).
int ParsePackOptions(int argc, char** argv, PackCommand* command);
// The method, --mtime and SOURCE_DATE_EPOCH, the exclusions and -T lists;
// -1 to go on, else the exit status.
int PrepareCollect(PackCommand* command);
// Gathers the members; every refused input is reported. -1 to go on, else
// the exit status.
int GatherMembers(PackCommand* command);
// Writes the job with a progress line on a terminal; the exit status.
int WriteWithProgress(PackCommand* command);
// Changes *mode (type bits kept) as chmod's MODE spec says: octal, or
// clauses such as "go=rX,u+rw,a-s" (X: execute for a directory or a file
// that has an execute bit). A clause without u, g, o or a changes all three,
// whatever the umask. False when spec is neither.
bool ApplyMode(const std::string& spec, bool directory, uint16_t* mode);
// "vemosfx COMMAND: problem", one line per line of problem; EXIT_FAILED.
int Refuse(const char* command, const std::string& problem);
// "@N", "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (also with "T"; local time,
// or UTC with a trailing "Z") as seconds since 1970 within 32 bits. Returns
// "" or the problem: "takes ..." (not one of the forms), or what is wrong
// with the date ("is after 2106...", "is no date of the calendar"), to
// follow the text.
std::string ParseMtime(const std::string& text, uint32_t* out);

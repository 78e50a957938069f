// The options of a command as one table: the parser (getopt_long's long
// table and short-option string), the option lines of --help and the
// documentation test (which reads --help) all come from it, so an option
// is added in one place and cannot be parsed without being documented.
#pragma once
#include <getopt.h>
#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

// One row of a table. A row with neither letter nor name is a heading: its
// help is printed as it is, between the option lines.
struct OptionSpec {
  int id;             // what the parser returns: the letter, or a number above 0xFF
  char letter;        // the short form, 0 for none
  const char* name;   // the long form without "--", nullptr for none
  const char* value;  // the value's name in --help ("DIR"); nullptr: the option takes none
  // The help text, "\n" between its lines; nullptr: another name of the
  // row above, shown on its line.
  const char* help;
  // The commands of a shared table the row is for (a bit each); 0: all.
  // Another command's long option is still parsed, so it can be refused by
  // name ("is for 'vemosfx pack'") rather than as unknown.
  unsigned commands = 0;
};

// Rows that several commands share.
const int OPTION_NAMES = 0x100;
const OptionSpec NAMES_OPTION = {OPTION_NAMES, 0, "names", "MODE",
                                 "how member names are read: cp932, utf-8,\neuc-jp, latin1 or auto"};
const OptionSpec HELP_OPTION = {'h', 'h', "help", nullptr, "this help"};
const OptionSpec QUIET_OPTION = {'q', 'q', "quiet", nullptr, "errors only"};

// getopt_long over a table, for one command of it.
class OptionParser {
 public:
  template <size_t N>
  explicit OptionParser(const OptionSpec (&rows)[N], unsigned command = ~0u) : OptionParser(rows, N, command) {}
  OptionParser(const OptionSpec* rows, size_t count, unsigned command);
  // The next option's id, -1 at the end, or getopt_long's '?' and ':' (the
  // scan restarts with argv[1]; opterr is 0: BadOption tells the user).
  int Next(int argc, char** argv);
  // The row of an id ("--name" or "-x" for messages).
  std::string Spelling(int id) const;
  // The option lines of --help for the command, to out; a long option's
  // value follows its name after separator ("--directory=DIR").
  void PrintHelp(FILE* out, char separator = '=') const;

 private:
  const OptionSpec* rows_;
  size_t count_;
  unsigned command_;
  std::vector<option> longs_;
  std::string shorts_;
  bool started_ = false;
};

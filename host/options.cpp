#include "host/options.h"

#include <string.h>

namespace {

// Where the help text starts: option names that reach it go on a line of
// their own.
const size_t HELP_COLUMN = 24;

bool ForCommand(const OptionSpec& row, unsigned command) { return row.commands == 0 || (row.commands & command); }

// "-C, --directory=DIR" (separator between a long name and its value).
std::string Names(const OptionSpec& row, char separator) {
  std::string text;
  if (row.letter) text = std::string("-") + row.letter;
  if (row.name) text += (text.empty() ? "--" : ", --") + std::string(row.name);
  if (row.value) text += (row.name ? separator : ' ') + std::string(row.value);
  return text;
}

}  // namespace

// Every long name is parsed, also another command's of a shared table, so
// that the command can refuse it by name; short letters are only this
// command's, as another's would be taken for its own option cluster.
OptionParser::OptionParser(const OptionSpec* rows, size_t count, unsigned command)
    : rows_(rows), count_(count), command_(command) {
  // ':' first: a missing value is told apart from an unknown option.
  shorts_ = ":";
  for (size_t i = 0; i < count; ++i) {
    const OptionSpec& row = rows[i];
    if (row.name) longs_.push_back({row.name, row.value ? required_argument : no_argument, nullptr, row.id});
    if (row.letter && ForCommand(row, command)) {
      shorts_ += row.letter;
      if (row.value) shorts_ += ':';
    }
  }
  longs_.push_back({nullptr, 0, nullptr, 0});
}

// The commands run one after another in one process only in the unit
// tests, so the scan restarts on the first call of each parser.
int OptionParser::Next(int argc, char** argv) {
  if (!started_) {
    optind = 0;  // GNU: a full restart; argv[0] is the command's name
    opterr = 0;
    started_ = true;
  }
  return getopt_long(argc, argv, shorts_.c_str(), longs_.data(), nullptr);
}

std::string OptionParser::Spelling(int id) const {
  for (size_t i = 0; i < count_; ++i) {
    if (rows_[i].id != id) continue;
    if (rows_[i].name) return std::string("--") + rows_[i].name;
    if (rows_[i].letter) return std::string("-") + rows_[i].letter;
  }
  return "";
}

// The help text is written with its own "\n" breaks rather than wrapped
// here: the lines then read as written in the table, and a test that
// compares --help finds the same words on the same lines.
void OptionParser::PrintHelp(FILE* out, char separator) const {
  for (size_t i = 0; i < count_; ++i) {
    const OptionSpec& row = rows_[i];
    if (!ForCommand(row, command_) || !row.help) continue;
    if (!row.letter && !row.name) {  // a heading
      fprintf(out, "%s\n", row.help);
      continue;
    }
    // Short-only rows line up with the long names of the others.
    std::string names = (row.letter ? "  " : "      ") + Names(row, separator);
    for (size_t j = i + 1; j < count_ && !rows_[j].help && ForCommand(rows_[j], command_); ++j)
      names += ", " + Names(rows_[j], separator);
    const char* text = row.help;
    if (names.size() + 2 > HELP_COLUMN) {
      fprintf(out, "%s\n", names.c_str());
      names.clear();
    }
    for (;;) {
      const char* end = strchr(text, '\n');
      size_t length = end ? (size_t)(end - text) : strlen(text);
      fprintf(out, "%-*s%.*s\n", (int)HELP_COLUMN, names.c_str(), (int)length, text);
      names.clear();
      if (!end) break;
      text = end + 1;
    }
  }
}

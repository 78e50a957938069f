// vemosfx pack: writes an LZH archive, or a package (stub, configuration
// block, archive).
#include <errno.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <ctype.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "extract/payload.h"
#include "host/commands.h"
#include "host/input.h"
#include "host/pack_command.h"
#include "pack/package.h"

// The product stub, embedded at build time (size 0 when it was not built).
extern const unsigned char g_embedded_stub[];
extern const unsigned int g_embedded_stub_size;

namespace {

const char PACK_USAGE[] =
    "usage: vemosfx pack -o OUT [options] PATH...\n"
    "\n"
    "Packs files and folders (folders recursively, in sorted order) into OUT:\n"
    "a plain LZH archive, or a package (the stub, a configuration block and the\n"
    "archive). --format says which; without it OUT's name does: .lzh for an\n"
    "archive, .exe for a package.\n"
    "\n";

const char ADD_USAGE[] =
    "usage: vemosfx add [options] ARCHIVE PATH...\n"
    "\n"
    "Puts files and folders into an archive or package (a missing archive is\n"
    "made, unless its name ends in .exe), replacing members of the same name\n"
    "(with --update only when the file is newer). A new file is written beside\n"
    "ARCHIVE and renamed over it when complete; the other members are copied as\n"
    "they are, their CRC checked. A package keeps its stub and settings; a signed\n"
    "one loses its signature (a warning says so): sign it again. The options are\n"
    "those of 'vemosfx pack' but for its package settings and -o; 'vemosfx delete'\n"
    "removes members.\n"
    "\n";

// The commands of the table below (OptionSpec::commands).
const unsigned FOR_PACK = 1, FOR_ADD = 2;

enum {
  OPT_METHOD = 256, OPT_BEST, OPT_LEVEL, OPT_FORMAT, OPT_MTIME, OPT_UNIX_NAMES, OPT_STUB, OPT_NO_DIALOG, OPT_TITLE,
  OPT_BASE, OPT_DEST, OPT_SHORTCUT, OPT_OPEN, OPT_START_MENU, OPT_DESKTOP, OPT_SEND_TO, OPT_EXCLUDE,
  OPT_EXCLUDE_FROM, OPT_NULL, OPT_UPDATE, OPT_OWNER, OPT_GROUP, OPT_NUMERIC_OWNER, OPT_MODE, OPT_NAMES
};

const OptionSpec PACK_OPTIONS[] = {
    {'o', 'o', nullptr, "OUT", "the file to write (replaced only when complete);\n- for standard output (archives only)",
     FOR_PACK},
    {OPT_UPDATE, 0, "update", nullptr, "replace a member only when the file is newer", FOR_ADD},
    {'C', 'C', "directory", "DIR",
     "take the PATHs relative to DIR; member names\nare the PATHs as given, with \"/\" separators"},
    {OPT_FORMAT, 0, "format", "lzh|package", "what to write", FOR_PACK},
    {OPT_METHOD, 0, "method", "M", "lh0 (store), lh5 (default), lh6 or lh7"},
    {OPT_LEVEL, 0, "level", "N",
     "1 (fastest) to 9 (smallest), default 5: levels\n1-4 match greedily or lazily (level 1 takes a\n"
     "quarter to a third of the default's time and\nwrites 7-11% more), 5-9 by near-optimal parsing"},
    {OPT_BEST, 0, "best", nullptr, "level 9: 0.4-0.7% smaller than the default, in\n2 to 3 times its time"},
    {'j', 'j', "threads", "N",
     "compress on N threads (default: the CPUs it may\nrun on); the output is the same for every N;\n"
     "about 28 MB of memory per thread"},
    {'L', 'L', "dereference", nullptr,
     "follow symbolic links (packages need it to hold\nwhat links point to); without it an archive\nstores links"},
    {OPT_MTIME, 0, "mtime", "DATE",
     "every member's time is DATE: @N (seconds since\n1970 UTC), 2024-01-01 or '2024-01-01 12:00:00'\n"
     "(local time; UTC with a trailing Z); otherwise\nSOURCE_DATE_EPOCH, when set, is the latest"},
    {OPT_EXCLUDE, 0, "exclude", "PATTERN",
     "leave out members whose name, or a part of it,\nmatches PATTERN (*, ?, [...]); repeatable"},
    {OPT_EXCLUDE_FROM, 0, "exclude-from", "FILE", "the patterns of FILE, one a line"},
    {'T', 'T', "files-from", "FILE", "the PATHs of FILE (- for standard input), one a\nline"},
    {OPT_NULL, 0, "null", nullptr, "-T FILE separates its paths by NUL (find -print0)"},
    QUIET_OPTION,
    {'v', 'v', "verbose", nullptr, "name each member (add: each one added or replaced)"},
    {OPT_UNIX_NAMES, 0, "allow-unix-names", nullptr,
     "archives only: allow any name Unix allows (\":\",\n\"?\", \"\\\", CON, a trailing dot or space)"},
    {OPT_OWNER, 0, "owner", "NAME[:ID]",
     "archives only: every member's owner is NAME (a\nnumber alone: that id, no name stored)"},
    {OPT_GROUP, 0, "group", "NAME[:ID]", "archives only: every member's group, as --owner"},
    {OPT_NUMERIC_OWNER, 0, "numeric-owner", nullptr, "archives only: store owner ids, not names"},
    {OPT_MODE, 0, "mode", "CHANGES",
     "every member's mode changed as chmod does: octal\n(644) or symbolic, e.g. 'go=rX,u+rw,a-s' (without\n"
     "u, g, o or a: all, whatever the umask)"},
    {OPT_NAMES, 0, "names", "cp932|utf-8",
     "how names are stored: Shift_JIS (default; what\nWindows archivers read) or, archives only, UTF-8\n"
     "(any name; what Unix archivers read)"},
    HELP_OPTION,
    {0, 0, nullptr, nullptr,
     "\nMember paths are at most 4095 bytes in an archive, 259 in a package (less\n"
     "where its member header, below 256 bytes, leaves less room).\n\nPackage options:",
     FOR_PACK},
    {OPT_STUB, 0, "stub", "FILE",
     "the stub to put in front (exactly 23040 bytes,\n\"MZ\"); default: the stub built into this tool", FOR_PACK},
    {OPT_NO_DIALOG, 0, "no-dialog", nullptr, "no dialog: extract into the current directory", FOR_PACK},
    {OPT_TITLE, 0, "title", "TEXT", "window and dialog title (default \"" DEFAULT_TITLE "\")", FOR_PACK},
    {OPT_BASE, 0, "base", "current|program-files", "the folder --dest is taken in (default current)", FOR_PACK},
    {OPT_DEST, 0, "dest", "SUBPATH",
     "destination below the base, relative, without\n\"..\" (default: the base itself)", FOR_PACK},
    {OPT_SHORTCUT, 0, "shortcut", "TARGET",
     "file member, relative to the destination, the\nshortcuts open", FOR_PACK},
    {OPT_START_MENU, 0, "start-menu", "MODE", "shortcut in the Start menu's Programs folder", FOR_PACK},
    {OPT_DESKTOP, 0, "desktop", "MODE", "shortcut on the desktop", FOR_PACK},
    {OPT_SEND_TO, 0, "send-to", "MODE",
     "shortcut in the SendTo folder\nMODE: no (unticked, greyed; default), ask-no\n"
     "(unticked), ask-yes (ticked), yes (ticked, greyed)", FOR_PACK},
    {OPT_OPEN, 0, "open", "FILE", "file member, relative to the destination, opened\nafterwards", FOR_PACK},
    {0, 0, nullptr, nullptr,
     "\nTexts are UTF-8 and stored as Shift_JIS, at most 255 bytes each.\n"
     "Every refused input is named, one line each; nothing is then written.\n"
     "Exit status: 0 written, 1 an input was refused (nothing written), 2 usage\n"
     "(also a bad option value, such as --dest /x), 129/130/143 interrupted by\n"
     "SIGHUP/SIGINT/SIGTERM (nothing written).",
     FOR_PACK},
    {0, 0, nullptr, nullptr,
     "\nExit status: 0 done, 1 an input or member failed (nothing changed), 2 usage,\n"
     "129/130/143 interrupted by SIGHUP/SIGINT/SIGTERM (nothing changed).",
     FOR_ADD},
};

// Reads a stub file. Reading stops a little past PAYLOAD_OFFSET: a stub is
// exactly that long, so CheckStub refuses anything longer by its size, and a
// wrong file given by mistake (an installer, a disk image) is not read
// whole into memory first.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "'" + path + "': " + strerror(errno);
    return false;
  }
  data->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    data->insert(data->end(), buf, buf + n);
    if (data->size() > PAYLOAD_OFFSET) break;  // too long in any case
  }
  fclose(f);
  return true;
}

// The progress line: members and bytes done of the total, and the rate.
// The writer calls Update with the bytes just done and whether a member is
// complete. The line is redrawn at most ten times a second, and always once
// the last member is done, so that it ends on the true totals.
struct Progress {
  bool show = false;
  size_t files = 0, files_done = 0;
  uint64_t bytes = 0, bytes_done = 0;
  struct timespec start = {0, 0}, last = {0, 0};

  static double Seconds(const struct timespec& a, const struct timespec& b) {
    return (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9;
  }

  void Update(uint64_t n, bool member_done) {
    bytes_done += n;
    if (member_done) ++files_done;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (files_done < files && Seconds(last, now) < 0.1) return;
    last = now;
    double elapsed = Seconds(start, now);
    double rate = elapsed > 0 ? (double)bytes_done / elapsed / 1e6 : 0;
    fprintf(stderr, "\r\033[K%zu/%zu files, %.1f/%.1f MB, %.1f MB/s", files_done, files,
            (double)bytes_done / 1e6, (double)bytes / 1e6, rate);
    fflush(stderr);
  }
};

// The latest time a member's 32-bit time field holds, in words.
const char LATEST_TIME[] = "after 2106-02-07 06:28:15 UTC, the latest time an archive holds";

// Seconds since 1970 UTC within the 32-bit time field. *too_late (when
// given) tells a number past that field from text that is no number.
bool ParseSeconds(const char* text, uint32_t* out, bool* too_late = nullptr) {
  if (too_late) *too_late = false;
  if (!*text || strspn(text, "0123456789") != strlen(text)) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || v > 0xFFFFFFFFull) {
    if (too_late) *too_late = true;
    return false;
  }
  *out = (uint32_t)v;
  return true;
}

// An LZH header holds 16-bit ids (extended header 0x51; the names in 0x52
// and 0x53), hence the limit of 65535. A name alone is looked up here, so
// that the archive records the id that name has on this system.
// --owner or --group as tar takes them: "NAME", "NAME:ID", or an id alone
// (stored without a name). A NAME without an id must exist here.
bool ParseOwner(const std::string& text, bool user, uint32_t* id, std::string* name) {
  size_t colon = text.rfind(':');
  std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
  *name = colon == std::string::npos ? "" : text.substr(0, colon);
  if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) {
    if (!ParseSeconds(digits.c_str(), id)) return false;  // any 32-bit number
    return *id <= 0xFFFF && HostIsUtf8(name->c_str());
  }
  if (colon != std::string::npos) return false;
  *name = text;
  if (user) {
    struct passwd* pw = getpwnam(text.c_str());
    if (pw) *id = (uint32_t)pw->pw_uid;
    return pw && *id <= 0xFFFF && HostIsUtf8(text.c_str());
  }
  struct group* gr = getgrnam(text.c_str());
  if (gr) *id = (uint32_t)gr->gr_gid;
  return gr && *id <= 0xFFFF && HostIsUtf8(text.c_str());
}

// The lines of a file (- for standard input), split at "\n" or, with null,
// at NUL bytes; empty lines are dropped. A "\r" before "\n" is dropped
// too: lists written on Windows would otherwise name files that end in
// one. With --null nothing is stripped, since a name may end in anything.
bool ReadList(const std::string& path, bool null, std::vector<std::string>* items, std::string* error) {
  FILE* f = path == "-" ? stdin : fopen(path.c_str(), "rb");
  if (!f) {
    *error = "'" + path + "': " + strerror(errno);
    return false;
  }
  std::string item;
  int ch;
  while ((ch = getc(f)) != EOF) {
    if (ch == (null ? 0 : '\n')) {
      if (!null && !item.empty() && item.back() == '\r') item.pop_back();
      if (!item.empty()) items->push_back(item);
      item.clear();
    } else {
      item += (char)ch;
    }
  }
  if (!item.empty()) items->push_back(item);
  bool failed = ferror(f) != 0;
  if (f != stdin) fclose(f);
  if (failed) *error = "'" + path + "': cannot be read";
  return !failed;
}

// A package option: recorded, and refused later where it has no effect.
// The check waits for ResolveFormat, because whether OUT is a package is
// known only once every option (--format among them) has been read.
// Returns -1 to go on, else the usage error's status.
int PackageOption(PackCommand* command, int c, const std::string& v, const std::string& name) {
  PackageSettings& settings = command->job.settings;
  command->package_only.push_back(name);
  switch (c) {
    case OPT_NO_DIALOG: settings.dialog = false; break;
    case OPT_STUB: command->stub_path = v; break;
    case OPT_TITLE: settings.title = v; break;
    case OPT_BASE:
      if (v != "current" && v != "program-files") return UsageError(command->name, "--base takes current or program-files");
      settings.program_files = v == "program-files";
      break;
    case OPT_DEST: settings.destination = v; break;
    case OPT_SHORTCUT: settings.shortcut_target = v; break;
    case OPT_OPEN: settings.open_after = v; break;
    default: {
      uint8_t* option = c == OPT_START_MENU ? &settings.start_menu
                        : c == OPT_DESKTOP  ? &settings.desktop
                                            : &settings.send_to;
      if (!ParseOptionMode(v, option)) return UsageError(command->name, name + " takes no, ask-no, ask-yes or yes");
      if (*option != 0) command->modes_given = true;
    }
  }
  return -1;
}

// What pack writes: a package or a plain archive, by --format or OUT's
// name, and the options that fit it. -1 to go on, else the status.
int ResolveFormat(PackCommand* command) {
  PackJob& job = command->job;
  const std::string& output = command->output;
  const char* name = command->name;
  job.to_stdout = output == "-";
  if (!command->format.empty()) {
    if (command->format != "lzh" && command->format != "package") return UsageError(name, "--format takes lzh or package");
    job.plain = command->format == "lzh";
  } else if (job.to_stdout || EndsWithFolded(output, ".lzh")) {
    job.plain = true;
  } else if (!EndsWithFolded(output, ".exe")) {
    return UsageError(name, "'" + output + "': say what to write with --format=lzh or --format=package, or name it .lzh or .exe");
  }
  if (job.to_stdout && !job.plain) return UsageError(name, "a package cannot go to standard output; give -o FILE");
  job.output = output;
  if (job.plain && !command->package_only.empty())
    return UsageError(name, command->package_only[0] + " is for packages; this writes a plain archive");
  if (!job.plain && (!command->owner.empty() || !command->group.empty() || command->numeric_owner))
    return UsageError(name, "--owner, --group and --numeric-owner are for plain archives; a package keeps no owners");
  if (!job.plain && command->unix_names)
    return UsageError(name, "--allow-unix-names is for plain archives; a package is unpacked on Windows");
  if (!job.plain && command->utf8_names)
    return UsageError(name, "--names=utf-8 is for plain archives; the stub reads Shift_JIS names");
  if (!job.plain && !job.settings.dialog && command->package_only.size() > 1) {
    for (const std::string& o : command->package_only)
      if (o != "--no-dialog" && o != "--stub")
        return UsageError(name, o + " has no effect with --no-dialog, which writes no settings");
  }
  // A shortcut the user may tick needs something to point at; "no" for
  // all three writes none, so the target may then be left out.
  if (!job.plain && job.settings.dialog && command->modes_given && job.settings.shortcut_target.empty())
    return UsageError(name, "a shortcut that may be made needs its target (--shortcut TARGET)");
  return -1;
}

// The stub (--stub or built in) and a check that the settings make a block.
// -1 to go on, else the status.
int LoadStub(PackCommand* command) {
  PackJob& job = command->job;
  std::string error;
  const char* name = command->name;
  // The settings' own values (--dest, the texts' length and Shift_JIS
  // form) are checked first: a bad value is a usage error, as for --base.
  // What --open and --shortcut name is checked against the members later.
  std::vector<uint8_t> block;
  PackageSettings own = job.settings;
  own.shortcut_target.clear();
  own.open_after.clear();
  if (!BuildConfigBlock(job.settings, &block, &error) || (own.dialog && !CheckSettings(own, {}, &error)))
    return UsageError(name, Printable(error));
  if (!command->stub_path.empty()) {
    if (!ReadWholeFile(command->stub_path, &job.stub, &error)) return Refuse(name, error);
    if (!CheckStub(job.stub, "the stub '" + command->stub_path + "'", &error)) return Refuse(name, error);
  } else if (g_embedded_stub_size > 0) {
    job.stub.assign(g_embedded_stub, g_embedded_stub + g_embedded_stub_size);
    if (!CheckStub(job.stub, "the built-in stub", &error)) return Refuse(name, error + "; give --stub FILE");
  } else {
    return Refuse(name, "this vemosfx was built without the stub; give --stub FILE, or write a plain archive (--format=lzh)");
  }
  return -1;
}

}  // namespace

// The forms are tar's and touch's: "@N" exactly, or an ISO date with an
// optional time. sscanf's widths alone would take "2024-1-1" or "+2024", so
// the length consumed and the leading digit are checked as well. A local
// time goes through mktime with tm_isdst = -1, so the zone's rules on that
// date decide summer time, as date(1) does.
std::string ParseMtime(const std::string& text, uint32_t* out) {
  const std::string forms = "takes @N (seconds since 1970 UTC) or a date, 2024-01-01 or '2024-01-01 12:00:00Z'";
  bool too_late = false;
  if (!text.empty() && text[0] == '@') {
    if (ParseSeconds(text.c_str() + 1, out, &too_late)) return "";
    return too_late ? std::string("is ") + LATEST_TIME : forms;
  }
  struct tm when;
  memset(&when, 0, sizeof when);
  int used = 0;
  if (sscanf(text.c_str(), "%4d-%2d-%2d%n", &when.tm_year, &when.tm_mon, &when.tm_mday, &used) != 3 || used != 10 ||
      !isdigit((unsigned char)text[0]))
    return forms;
  const char* rest = text.c_str() + used;
  if (*rest == ' ' || *rest == 'T') {
    int more = 0;
    if (sscanf(rest + 1, "%2d:%2d%n", &when.tm_hour, &when.tm_min, &more) != 2 || more != 5) return forms;
    rest += 1 + more;
    if (*rest == ':') {
      if (sscanf(rest + 1, "%2d%n", &when.tm_sec, &more) != 1 || more != 2) return forms;
      rest += 1 + more;
    }
  }
  bool utc = *rest == 'Z';
  if (utc) ++rest;
  if (*rest) return forms;
  // The date must exist: mktime and timegm would take 2024-02-30 for March 1.
  static const int DAYS[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = when.tm_year;
  bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (when.tm_mon < 1 || when.tm_mon > 12 || when.tm_mday < 1 || when.tm_mday > DAYS[when.tm_mon - 1] ||
      (when.tm_mon == 2 && when.tm_mday == 29 && !leap))
    return "is no date of the calendar";
  if (when.tm_hour > 23 || when.tm_min > 59 || when.tm_sec > 60) return "has no such time of day";
  if (year > 2106) return std::string("is ") + LATEST_TIME;
  if (year < 1970) return "is before 1970, the earliest time an archive holds";
  when.tm_year -= 1900;
  when.tm_mon -= 1;
  when.tm_isdst = -1;
  time_t t = utc ? timegm(&when) : mktime(&when);
  if (t < 0) return "is before 1970-01-01 00:00:00 UTC, the earliest time an archive holds";
  if ((uint64_t)t > 0xFFFFFFFFull) return std::string("is ") + LATEST_TIME;
  *out = (uint32_t)t;
  return "";
}

// chmod's grammar, applied to the bits one clause at a time so that
// "u=rw,go=u" copies the owner's bits as they are after "u=rw". Octal takes
// at most four digits (07777); more would set file-type bits.
bool ApplyMode(const std::string& spec, bool directory, uint16_t* mode) {
  if (spec.empty()) return false;
  uint16_t type = (uint16_t)(*mode & ~07777), bits = (uint16_t)(*mode & 07777);
  if (spec.find_first_not_of("01234567") == std::string::npos) {
    if (spec.size() > 4) return false;
    *mode = (uint16_t)(type | strtoul(spec.c_str(), nullptr, 8));
    return true;
  }
  size_t i = 0;
  for (;;) {  // one clause: [ugoa]* then one or more [-+=] with [rwxXst]* or one of [ugo]
    uint16_t who = 0;
    for (; i < spec.size() && strchr("ugoa", spec[i]); ++i)
      who |= spec[i] == 'u' ? 04700 : spec[i] == 'g' ? 02070 : spec[i] == 'o' ? 01007 : 07777;
    if (who == 0) who = 07777;  // as "a": the umask plays no part, so the result is the same everywhere
    if (i >= spec.size() || !strchr("+-=", spec[i])) return false;
    while (i < spec.size() && strchr("+-=", spec[i])) {
      char op = spec[i++];
      uint16_t change = 0;
      if (i < spec.size() && strchr("ugo", spec[i])) {  // the bits of another class
        int shift = spec[i] == 'u' ? 6 : spec[i] == 'g' ? 3 : 0;
        uint16_t v = (uint16_t)((bits >> shift) & 7);
        change = (uint16_t)(v << 6 | v << 3 | v);
        ++i;
      } else {
        for (; i < spec.size() && strchr("rwxXst", spec[i]); ++i) {
          switch (spec[i]) {
            case 'r': change |= 0444; break;
            case 'w': change |= 0222; break;
            case 'x': change |= 0111; break;
            case 'X': if (directory || (bits & 0111)) change |= 0111; break;
            case 's': change |= 06000; break;
            case 't': change |= 01000; break;
          }
        }
      }
      change &= who;
      if (op == '+') bits |= change;
      else if (op == '-') bits = (uint16_t)(bits & ~change);
      else bits = (uint16_t)((bits & ~who) | change);
    }
    if (i == spec.size()) break;
    if (spec[i++] != ',' || i == spec.size()) return false;
  }
  *mode = (uint16_t)(type | bits);
  return true;
}

// The collector gathers every refused input before it gives up, joined by
// "\n": each becomes its own line, so a user fixes them all in one go.
int Refuse(const char* command, const std::string& problem) {
  fflush(stdout);
  size_t start = 0;
  while (start <= problem.size()) {
    size_t end = problem.find('\n', start);
    if (end == std::string::npos) end = problem.size();
    // Messages name files on disk, whose names may hold control characters.
    fprintf(stderr, "vemosfx %s: %s\n", command, Printable(problem.substr(start, end - start)).c_str());
    start = end + 1;
  }
  return EXIT_FAILED;
}

// pack and add share one table; add takes its archive as the first
// operand instead of -o, keeps the package's settings (so their options
// are refused by name) and has --update.
int ParsePackOptions(int argc, char** argv, PackCommand* command) {
  bool add = strcmp(command->name, "pack") != 0;
  OptionParser parser(PACK_OPTIONS, add ? FOR_ADD : FOR_PACK);
  int c;
  while ((c = parser.Next(argc, argv)) != -1) {
    std::string v = optarg ? optarg : "";
    std::string name = parser.Spelling(c);
    switch (c) {
      case 'h':
        fputs(add ? ADD_USAGE : PACK_USAGE, stdout);
        parser.PrintHelp(stdout, ' ');
        return EXIT_OK;
      case 'o': command->output = v; break;
      case 'q': command->quiet = true; break;
      case 'v': command->verbose = true; break;
      case 'C': command->base_dir = v; break;
      case 'L': command->dereference = true; break;
      case 'T': command->files_from.push_back(v); break;
      case OPT_EXCLUDE: command->collect.exclude.push_back(v); break;
      case OPT_EXCLUDE_FROM: command->exclude_from.push_back(v); break;
      case OPT_NULL: command->null_separated = true; break;
      case OPT_UPDATE:
        if (!add) return UsageError(command->name, "--update is for 'vemosfx add'");
        command->update = true;
        break;
      // Values that depend on one another (--method, --level, --best, -j)
      // are kept as text and checked together in PrepareCollect.
      case OPT_METHOD: command->method = v; break;
      case OPT_BEST: command->best = true; break;
      case OPT_LEVEL: command->level = v; break;
      case 'j': command->threads = v; break;
      case OPT_FORMAT: command->format = v; break;
      case OPT_MTIME: command->mtime = v; break;
      case OPT_UNIX_NAMES: command->unix_names = true; break;
      case OPT_OWNER: command->owner = v; break;
      case OPT_GROUP: command->group = v; break;
      case OPT_NUMERIC_OWNER: command->numeric_owner = true; break;
      case OPT_MODE: {
        // Tried once on a sample mode so that a bad spec is a usage error
        // now; it is applied to each member's own mode later.
        uint16_t probe = 0644;
        if (!ApplyMode(v, false, &probe))
          return UsageError(command->name, "--mode takes an octal mode (644) or chmod's symbolic changes, such as "
                                           "'go=rX,u+rw,a-s'");
        command->mode = v;
        break;
      }
      case OPT_NAMES:
        if (v != "cp932" && v != "utf-8" && v != "utf8")
          return UsageError(command->name, "--names takes cp932 or utf-8, not '" + v + "'");
        command->utf8_names = v != "cp932";
        break;
      case ':': case '?': return BadOption(command->name, c, argv);
      // What is left are the package settings: add keeps the package's own.
      default:
        if (add) return UsageError(command->name, name + " is for 'vemosfx pack'; a package's settings are kept");
        if (int status = PackageOption(command, c, v, name); status >= 0) return status;
    }
  }
  if (add && command->format.size()) return UsageError(command->name, "--format is for 'vemosfx pack'");
  if (add) {
    if (optind >= argc) return UsageError(command->name, "no ARCHIVE given");
    command->output = argv[optind++];
  }
  command->paths.assign(argv + optind, argv + argc);
  if (command->output.empty()) return UsageError(command->name, "no output given (-o OUT)");
  return add ? -1 : ResolveFormat(command);
}

// A whole number from low to high (at most four digits, so atoi cannot
// overflow).
static bool ParseCount(const std::string& text, int low, int high, int* out) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  int v = atoi(text.c_str());
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

// The order of the checks is the order a user fixes them in: the option
// values first (usage errors, status 2), then the files the options name
// (-T, --exclude-from: status 1), before any member is read.
int PrepareCollect(PackCommand* command) {
  const char* name = command->name;
  PackJob& job = command->job;
  if (!ParseMethod(command->method, &job.method)) return UsageError(name, "--method takes lh0, lh5, lh6 or lh7");
  if (command->best && !command->level.empty()) return UsageError(name, "give --best or --level, not both");
  if (command->best) job.method.level = LEVEL_BEST;
  if (!command->level.empty() && !ParseCount(command->level, LEVEL_MIN, LEVEL_MAX, &job.method.level))
    return UsageError(name, "--level takes a number from 1 to 9");
  // The CPUs this process may run on (taskset, cgroups' cpusets), not all
  // the machine has; at most 64 by default, as each thread takes about
  // 28 MB and more rarely helps (the output is the same for any count).
  cpu_set_t cpus;
  long online = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : sysconf(_SC_NPROCESSORS_ONLN);
  job.method.threads = online > 0 ? (int)std::min(online, 64L) : 1;
  if (!command->threads.empty() && !ParseCount(command->threads, 1, 256, &job.method.threads))
    return UsageError(name, "-j/--threads takes a number of threads from 1 to 256");
  if (!command->owner.empty() && !ParseOwner(command->owner, true, &command->owner_id, &command->owner_name))
    return UsageError(name, "--owner takes a user of this system, NAME:ID or an ID up to 65535");
  if (!command->group.empty() && !ParseOwner(command->group, false, &command->group_id, &command->group_name))
    return UsageError(name, "--group takes a group of this system, NAME:ID or an ID up to 65535");
  CollectOptions& collect = command->collect;
  if (!command->mtime.empty()) {
    std::string problem = ParseMtime(command->mtime, &collect.max_time);
    if (!problem.empty())
      return UsageError(name, "--mtime " + (problem.compare(0, 6, "takes ") == 0 ? problem
                                                                                 : "'" + Printable(command->mtime) + "' " + problem));
    collect.fixed_time = true;
  } else if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
    bool too_late = false;
    if (*epoch && !ParseSeconds(epoch, &collect.max_time, &too_late))
      return Refuse(name, std::string("SOURCE_DATE_EPOCH '") + epoch + "' " +
                              (too_late ? std::string("is ") + LATEST_TIME : "is not a number of seconds since 1970"));
    collect.clamp_time = *epoch != 0;
  }
  std::string error;
  for (const std::string& file : command->exclude_from)
    if (!ReadList(file, false, &collect.exclude, &error)) return Refuse(name, error);
  for (const std::string& file : command->files_from)
    if (!ReadList(file, command->null_separated, &command->paths, &error)) return Refuse(name, error);
  // Patterns name members: no "./" in front, no "/" behind.
  for (std::string& pattern : collect.exclude) pattern = PatternPath(pattern);
  // An empty -T list packs nothing, which is a valid (empty) archive; no
  // PATH and no -T is a mistake.
  if (command->paths.empty() && command->files_from.empty())
    return UsageError(name, "nothing to pack (give one or more PATHs)");
  collect.package = !job.plain;
  collect.windows_names = !command->unix_names;
  collect.utf8_names = command->utf8_names;
  collect.dereference = command->dereference;
  // The archive being written is never packed into itself (pack -o a.lzh .).
  if (!job.to_stdout) collect.skip = command->output;
  job.windows_names = !command->unix_names;
  return -1;
}

namespace {

// --owner, --group, --numeric-owner and --mode applied to every member
// read from disk (a symbolic link keeps its mode, as Unix gives it none).
void SetOwners(const PackCommand& command, std::vector<MemberSource>* members) {
  for (MemberSource& m : *members) {
    if (!command.mode.empty() && m.link_target.empty()) {
      ApplyMode(command.mode, m.directory, &m.unix_mode);
      // A package keeps the owner's write bit as the read-only attribute.
      m.attribute = (uint8_t)((m.attribute & ~DOS_READ_ONLY) | (m.unix_mode & 0200 ? 0 : DOS_READ_ONLY));
    }
    if (!command.owner.empty()) {
      m.uid = command.owner_id;
      m.user = command.owner_name;
      m.user_set = true;
    }
    if (!command.group.empty()) {
      m.gid = command.group_id;
      m.group = command.group_name;
      m.group_set = true;
    }
    if (command.numeric_owner) {
      m.user_set = m.group_set = true;
      m.user.clear();
      m.group.clear();
    }
  }
}

}  // namespace

// Collects the members from disk (CollectMembers reads directories in
// sorted order, so the archive is the same on every machine), applies the
// owner and mode options, and checks that a package's settings name
// members it really holds.
int GatherMembers(PackCommand* command) {
  std::vector<std::string> warnings;
  std::string error;
  PackJob& job = command->job;
  bool collected = CollectMembers(command->base_dir, command->paths, command->collect, &job.members, &warnings, &error);
  if (!command->quiet)
    for (const std::string& w : warnings) fprintf(stderr, "vemosfx %s: %s\n", command->name, Printable(w).c_str());
  if (!collected) return Refuse(command->name, error);
  SetOwners(*command, &job.members);
  size_t wide = 0;
  for (const MemberSource& m : job.members) wide += m.unix_meta && (m.uid > 0xFFFF || m.gid > 0xFFFF);
  if (wide && !command->quiet)
    fprintf(stderr,
            "vemosfx %s: %zu member%s owned by ids above 65535, which an LZH header cannot hold: stored with "
            "the owner's names where this system has them, else without an owner\n",
            command->name, wide, wide == 1 ? " is" : "s are");
  if (!job.plain && job.settings.dialog && !CheckSettings(job.settings, job.members, &error))
    return Refuse(command->name, error);
  return -1;
}

// -v names the members in archive order before any is written; there is no
// progress line with -v, which would tear the list apart.
int WriteWithProgress(PackCommand* command) {
  PackJob& job = command->job;
  if (command->verbose) {
    // Standard output may be the archive itself.
    FILE* names = job.to_stdout ? stderr : stdout;
    for (const MemberSource& m : job.members)
      if (!m.disk_path.empty()) fprintf(names, "%s%s\n", Printable(m.name).c_str(), m.directory ? "/" : "");
    fflush(names);
  }
  Progress progress;
  progress.show = isatty(STDERR_FILENO) != 0 && !command->quiet && !command->verbose;
  if (progress.show) {
    for (const MemberSource& m : job.members) progress.bytes += m.size;
    progress.files = job.members.size();
    clock_gettime(CLOCK_MONOTONIC, &progress.start);
    job.progress = [&progress](uint64_t n, bool done) { progress.Update(n, done); };
  }
  std::string error;
  bool ok = WriteOutput(job, &error);
  if (progress.show) fputs("\r\033[K", stderr);
  if (!ok) return Refuse(command->name, error);
  return EXIT_OK;
}

// Each step returns -1 to go on, else the exit status: nothing is written
// until every option and input has been checked.
int CmdPack(int argc, char** argv) {
  PackCommand command;
  if (int status = ParsePackOptions(argc, argv, &command); status >= 0) return status;
  if (int status = PrepareCollect(&command); status >= 0) return status;
  if (!command.job.plain)
    if (int status = LoadStub(&command); status >= 0) return status;
  if (int status = GatherMembers(&command); status >= 0) return status;
  return WriteWithProgress(&command);
}

// vemosfx: lists, tests, extracts and packs LZH archives and packages.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/input.h"

// The stub built into the tool (size 0 when it was built without one).
extern const unsigned int g_embedded_stub_size;

namespace {

const char USAGE[] =
    "usage: vemosfx COMMAND [options] FILE ...\n"
    "\n"
    "Lists, tests and extracts LZH archives and Vemo SFX packages (a Windows\n"
    "program with an archive behind it), and packs files into either.\n"
    "\n"
    "  vemosfx list [-v] [--json] FILE [MEMBER...]\n"
    "                                             the settings and the members\n"
    "  vemosfx test [-v] FILE [MEMBER...]         decode every member, check its CRC\n"
    "  vemosfx extract [-C DIR] [-kOv] FILE [MEMBER...]\n"
    "                                             extract (all, or the MEMBERs)\n"
    "  vemosfx pack -o OUT [options] PATH...      write a package or a .lzh archive\n"
    "  vemosfx add [--update] ARCHIVE PATH...     add or replace members\n"
    "  vemosfx delete ARCHIVE PATTERN...          remove members\n"
    "\n"
    "lha's verbs work too: l (list), v (list -v), t (test), x and e (extract),\n"
    "p (extract to standard output), a (add), d (delete), with lha's modifiers\n"
    "in the same word: q (quiet), v (verbose), f (extract: replace existing\n"
    "files) and w=DIR (extract into DIR), as in 'vemosfx xvw=out a.lzh'.\n"
    "\n"
    "'vemosfx COMMAND --help' describes a command's options; 'man vemosfx' all.\n"
    "'vemosfx --version' tells the version.\n"
    "Exit status: 0 done, 1 a member or the input failed, 2 usage, 129/130/143\n"
    "interrupted by SIGHUP/SIGINT/SIGTERM.\n";

// A tool built without mingw-w64 has no stub to put in front of a package,
// and says so here, where a user looking into a failure looks first.
void Version() {
  printf("vemosfx %s%s\n", VEMO_VERSION,
         g_embedded_stub_size ? "" : " (built without the stub: writes plain archives; packages need --stub FILE)");
}

}  // namespace

// The first word picks the command (long name or lha's verb); everything
// after it is the command's own. Only words before any command reach the
// tool's own options (--help, --version).
int main(int argc, char** argv) {
  // A file-size limit (ulimit -f) makes a write fail with EFBIG, which each
  // command reports and cleans up after, instead of killing the process.
  signal(SIGXFSZ, SIG_IGN);
  if (argc >= 2) {
    const char* command = argv[1];
    // The long names, and the one-letter verbs of lha as aliases.
    static const struct {
      const char* name;
      const char* alias;
      int (*run)(int, char**);
    } COMMANDS[] = {
        {"list", "l", CmdList},      {"list", "v", CmdList},     {"test", "t", CmdTest},
        {"extract", "x", CmdExtract}, {"extract", "e", CmdExtract}, {"extract", "p", CmdExtract},
        {"pack", nullptr, CmdPack},  {"add", "a", CmdAdd},       {"delete", "d", CmdDelete},
    };
    // lha's verbs take their modifiers in the same word: "xq", "xvw=DIR",
    // "tq", "aq": q quiet, v verbose, f force (extract: replace existing
    // files), w=DIR the folder to extract into (the rest of the word).
    static std::vector<std::string> flags;  // the options made of them
    std::vector<char*> modifiers;
    std::string verb = command;
    if (strlen(command) > 1 && strchr("lvtxepad", command[0]) && !strchr(command, '-')) {
      std::string rest = command + 1;
      size_t w = rest.find("w=");
      std::string letters = rest.substr(0, w);
      bool extracting = strchr("xe", command[0]) != nullptr;
      bool ok = letters.find_first_not_of(extracting ? "qvf" : "qv") == std::string::npos &&
                (w == std::string::npos || (extracting && w + 2 < rest.size()));
      if (ok) {
        verb = std::string(1, command[0]);
        for (char m : letters) flags.push_back(std::string("-") + m);
        if (w != std::string::npos) flags.push_back("-C" + rest.substr(w + 2));
        for (std::string& flag : flags) modifiers.push_back(&flag[0]);
      }
    }
    for (const auto& c : COMMANDS) {
      if (verb != c.name && !(c.alias && verb == c.alias)) continue;
      // Messages name the command by its long name.
      std::vector<char*> args(argv + 1, argv + argc);
      args[0] = const_cast<char*>(c.name);
      args.insert(args.begin() + 1, modifiers.begin(), modifiers.end());
      // "p" prints members: extract -O; "v" is the verbose listing.
      static char to_stdout[] = "-O", verbose[] = "-v";
      if (verb == "p") args.insert(args.begin() + 1, to_stdout);
      if (verb == "v") args.insert(args.begin() + 1, verbose);
      args.push_back(nullptr);
      // Each command cleans up after its own failures; this is the last
      // word on memory that ran out anywhere else.
      try {
        return c.run((int)args.size() - 1, args.data());
      } catch (const std::bad_alloc&) {
        fprintf(stderr, "vemosfx %s: not enough memory\n", c.name);
        return EXIT_FAILED;
      }
    }
  }
  static const option LONG_OPTIONS[] = {
      {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
  int c;
  opterr = 0;
  while ((c = getopt_long(argc, argv, "+:hV", LONG_OPTIONS, nullptr)) != -1) {
    if (c == 'h') {
      fputs(USAGE, stdout);
      printf("\n");
      Version();
      return EXIT_OK;
    }
    if (c == 'V') {
      Version();
      return EXIT_OK;
    }
    std::string given = optopt ? std::string("-") + (char)optopt : argv[optind - 1];
    fprintf(stderr, "vemosfx: unknown option '%s'\n", Printable(given.substr(0, given.find('='))).c_str());
    fputs("Try 'vemosfx --help' for more information.\n", stderr);
    return EXIT_USAGE;
  }
  if (optind < argc)
    fprintf(stderr, "vemosfx: unknown command '%s'\n", Printable(argv[optind]).c_str());
  else
    fputs("vemosfx: no command given\n", stderr);
  fputs("Try 'vemosfx --help' for more information.\n", stderr);
  return EXIT_USAGE;
}

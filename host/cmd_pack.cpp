// vemosfx pack: writes an LZH archive, or a package (stub, configuration
// block, archive).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "extract/payload.h"
#include "host/commands.h"
#include "pack/package.h"

// The product stub, embedded at build time (size 0 when it was not built).
extern const unsigned char g_embedded_stub[];
extern const unsigned int g_embedded_stub_size;

namespace {

const char PACK_USAGE[] =
    "usage: vemosfx pack -o OUT [options] PATH...\n"
    "\n"
    "Packs files and folders (folders recursively, in sorted order) into OUT.\n"
    "When OUT ends in .lzh a plain LZH archive is written; otherwise a package:\n"
    "the stub, a configuration block and the archive.\n"
    "\n"
    "  -o OUT                the file to write (replaced only when complete)\n"
    "  -C DIR                take the PATHs relative to DIR; member names are the\n"
    "                        PATHs as given, with \"/\" separators\n"
    "  --method M            lh0 (store), lh5 (default), lh6 or lh7\n"
    "  --best                compress harder, more slowly\n"
    "\n"
    "Package options (not for .lzh):\n"
    "  --stub FILE           the stub to put in front (exactly 23040 bytes, \"MZ\");\n"
    "                        default: the stub built into this tool\n"
    "  --no-dialog           no dialog: extract into the current directory\n"
    "  --title TEXT          window and dialog title (default \"" DEFAULT_TITLE "\")\n"
    "  --base current|program-files\n"
    "                        the folder --dest is taken in (default current)\n"
    "  --dest SUBPATH        destination below the base (default: the current\n"
    "                        directory itself)\n"
    "  --shortcut TARGET     file, relative to the destination, the shortcuts open\n"
    "  --start-menu MODE     shortcut in the Start menu's Programs folder\n"
    "  --desktop MODE        shortcut on the desktop\n"
    "  --send-to MODE        shortcut in the SendTo folder\n"
    "                        MODE: no (unticked, greyed; default), ask-no (unticked),\n"
    "                        ask-yes (ticked), yes (ticked, greyed)\n"
    "  --open FILE           file, relative to the destination, opened afterwards\n"
    "\n"
    "Texts are UTF-8 and stored as Shift_JIS, at most 255 bytes each.\n"
    "Exit status: 0 written, 1 an input was refused (nothing written), 2 usage.\n";

int Usage(const std::string& message) {
  fprintf(stderr, "vemosfx pack: %s\n", message.c_str());
  fputs("try 'vemosfx pack --help'\n", stderr);
  return 2;
}

int Refuse(const std::string& message) {
  fprintf(stderr, "vemosfx pack: %s\n", message.c_str());
  return 1;
}

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

}  // namespace

int CmdPack(int argc, char** argv) {
  PackJob job;
  std::string output, base_dir, stub_path, method = "lh5";
  std::vector<std::string> paths;
  std::vector<std::string> package_only;
  bool best = false, modes_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(PACK_USAGE, stdout);
      return 0;
    }
    if (a == "--") {
      for (++i; i < argc; ++i) paths.push_back(argv[i]);
      break;
    }
    if (a == "--best") {
      best = true;
      continue;
    }
    if (a == "--no-dialog") {
      job.settings.dialog = false;
      package_only.push_back(a);
      continue;
    }
    bool takes_value = a == "-o" || a == "-C" || a == "--method" || a == "--stub" || a == "--title" ||
                       a == "--base" || a == "--dest" || a == "--shortcut" || a == "--open" ||
                       a == "--start-menu" || a == "--desktop" || a == "--send-to";
    if (!takes_value) {
      if (a.size() > 1 && a[0] == '-') return Usage("unknown option '" + a + "'");
      paths.push_back(a);
      continue;
    }
    if (i + 1 >= argc) return Usage("'" + a + "' needs a value");
    std::string v = argv[++i];
    if (a == "-o") {
      output = v;
    } else if (a == "-C") {
      base_dir = v;
    } else if (a == "--method") {
      method = v;
    } else {
      package_only.push_back(a);
      if (a == "--stub") {
        stub_path = v;
      } else if (a == "--title") {
        job.settings.title = v;
      } else if (a == "--base") {
        if (v != "current" && v != "program-files") return Usage("--base takes current or program-files");
        job.settings.program_files = v == "program-files";
      } else if (a == "--dest") {
        job.settings.destination = v;
      } else if (a == "--shortcut") {
        job.settings.shortcut_target = v;
      } else if (a == "--open") {
        job.settings.open_after = v;
      } else {
        uint8_t* option = a == "--start-menu" ? &job.settings.start_menu
                          : a == "--desktop"  ? &job.settings.desktop
                                              : &job.settings.send_to;
        if (!ParseOptionMode(v, option)) return Usage(a + " takes no, ask-no, ask-yes or yes");
        if (*option != 0) modes_given = true;
      }
    }
  }
  if (output.empty()) return Usage("no output given (-o OUT)");
  if (paths.empty()) return Usage("nothing to pack (give one or more PATHs)");
  if (!ParseMethod(method, &job.method)) return Usage("--method takes lh0, lh5, lh6 or lh7");
  if (best) job.method.effort = EFFORT_BEST;
  job.output = output;
  job.plain = IsPlainArchiveName(output);
  if (job.plain && !package_only.empty())
    return Usage(package_only[0] + " is for packages; OUT ends in .lzh, which makes a plain archive");
  if (!job.plain && !job.settings.dialog && package_only.size() > 1) {
    for (const std::string& o : package_only)
      if (o != "--no-dialog" && o != "--stub")
        return Usage(o + " has no effect with --no-dialog, which writes no settings");
  }
  if (!job.plain && job.settings.dialog && modes_given && job.settings.shortcut_target.empty())
    return Usage("a shortcut that may be made needs its target (--shortcut TARGET)");

  std::string error;
  if (!job.plain) {
    if (!stub_path.empty()) {
      if (!ReadWholeFile(stub_path, &job.stub, &error)) return Refuse(error);
      if (!CheckStub(job.stub, "the stub '" + stub_path + "'", &error)) return Refuse(error);
    } else if (g_embedded_stub_size > 0) {
      job.stub.assign(g_embedded_stub, g_embedded_stub + g_embedded_stub_size);
      if (!CheckStub(job.stub, "the built-in stub", &error)) return Refuse(error + "; give --stub FILE");
    } else {
      return Refuse("this vemosfx was built without the stub; give --stub FILE, or write a plain archive (OUT ending in .lzh)");
    }
    std::vector<uint8_t> block;
    if (!BuildConfigBlock(job.settings, &block, &error)) return Refuse(error);
  }
  // An old output inside a packed folder is left out (matched by file, not
  // by name, since OUT is taken from the current directory and PATHs from DIR).
  if (!CollectMembers(base_dir, paths, output, &job.members, &error)) return Refuse(error);
  if (!WriteOutput(job, &error)) return Refuse(error);
  return 0;
}

// Gathering members from disk, the configuration block, and the output file
// written beside its final name and renamed into place when complete.
#include "pack/package.h"

#include <dirent.h>
#include <fnmatch.h>
#include <signal.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <new>
#include <set>
#include <system_error>

#include "extract/payload.h"
#include "extract/run.h"
#include "pack/pe_checksum.h"
#include "platform/host_hooks.h"
#include "platform/platform.h"
#include "platform/sjis.h"

namespace {

const uint32_t TEXT_MAX = 255;  // a length byte

// Converts a text for the block. Windows paths take "\" where the user may
// have written "/".
bool BlockText(const std::string& utf8, const char* what, bool path, std::vector<uint8_t>* block,
               std::string* error) {
  std::vector<char> buf(utf8.size() * 2 + 8);
  if (!HostUtf8ToSjis(utf8.c_str(), buf.data(), (uint32_t)buf.size())) {
    *error = std::string(what) + " '" + utf8 + "' has a character without a Shift_JIS (code page 932) form";
    return false;
  }
  std::string sjis(buf.data());
  if (sjis.size() > TEXT_MAX) {
    *error = std::string(what) + " '" + utf8 + "' is " + std::to_string(sjis.size()) +
             " bytes in Shift_JIS; at most " + std::to_string(TEXT_MAX) + " fit";
    return false;
  }
  if (path) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&sjis[0]);
    for (size_t i = 0; i < sjis.size(); i += SjisCharLength(bytes + i))
      if (bytes[i] == '/') bytes[i] = '\\';
  }
  block->push_back((uint8_t)sjis.size());
  block->insert(block->end(), sjis.begin(), sjis.end());
  return true;
}

uint32_t ClampTime(time_t t) {
  if (t < 0) return 0;
  if ((uint64_t)t > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  return (uint32_t)t;
}

// A Shift_JIS path as Windows compares names, as the run folds it when it
// refuses two members that Windows takes for one.
std::string FoldCase(const std::string& sjis) {
  char out[PATH_BUFFER_SIZE];
  FoldPath(sjis.c_str(), out);
  return out;
}

const char* SpecialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "neither a file, a folder nor a link";
}

// A name for the shell that a shell passes on unchanged: in single quotes,
// or, when it holds a control character or a byte that is not UTF-8 (which
// a terminal would not show as typed), as $'...' with those bytes as \xNN.
std::string Quoted(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  std::string plain = "'", escaped = "$'";
  bool printable = true;
  for (size_t i = 0; i < text.size();) {
    uint8_t b = (uint8_t)text[i];
    size_t n = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    bool whole = n > 0 && i + n <= text.size() && HostIsUtf8(text.substr(i, n).c_str());
    bool c1 = whole && n == 2 && b == 0xC2 && (uint8_t)text[i + 1] < 0xA0;
    if (!whole || c1 || b < 0x20 || b == 0x7F) {
      printable = false;
      for (size_t k = 0; k < (whole ? n : 1); ++k) {
        escaped += "\\x";
        escaped += hex[(uint8_t)text[i + k] >> 4];
        escaped += hex[(uint8_t)text[i + k] & 15];
      }
      i += whole ? n : 1;
      continue;
    }
    plain += b == '\'' ? std::string("'\\''") : text.substr(i, n);
    escaped += b == '\'' || b == '\\' ? std::string("\\") + (char)b : text.substr(i, n);
    i += n;
  }
  return printable ? plain + "'" : escaped + "'";
}

// The hint that ends a refusal: the exclusion that leaves the input out
// (the name as a pattern that matches only itself).
std::string ExcludeHint(const std::string& name) {
  std::string pattern;
  for (char ch : name) {
    if (strchr("\\*?[", ch)) pattern += '\\';
    pattern += ch;
  }
  return "; --exclude " + Quoted(pattern) + " leaves it out";
}

// Gathers members; a refused input is noted in problems and the walk goes
// on, so that one pass reports every problem.
struct Collector {
  const CollectOptions* options;
  std::vector<MemberSource>* members;
  std::vector<std::string>* warnings;
  std::vector<std::string> problems;
  std::set<std::string> seen;                 // names added
  std::map<std::string, std::string> stored;  // Shift_JIS path -> the input that has it
  std::map<std::string, std::string> folded;  // the same ignoring case (packages)
  std::vector<std::pair<dev_t, ino_t>> open_folders;  // the folders being walked
  bool have_skip = false;
  dev_t skip_dev = 0;
  ino_t skip_ino = 0;

  bool Skipped(const struct stat& st) const {
    return have_skip && S_ISREG(st.st_mode) && st.st_dev == skip_dev && st.st_ino == skip_ino;
  }

  // Notes a refused input; returns true so that the walk goes on. The
  // problems are told one a line: a newline in a name is written "\n".
  bool Problem(const std::string& text) {
    std::string line;
    for (char ch : text) line += ch == '\n' ? std::string("\\n") : std::string(1, ch);
    problems.push_back(line);
    return true;
  }

  uint32_t Time(time_t t) const {
    uint32_t v = ClampTime(t);
    if (options->fixed_time || (options->clamp_time && v > options->max_time)) v = options->max_time;
    return v;
  }

  // Records the member's stored name; false when another input has it.
  bool Claim(const std::string& name, const std::string& disk, const StoredName& n) {
    std::string key = n.path;
    if (!key.empty() && key.back() == '/') key.pop_back();
    auto [it, fresh] = stored.emplace(key, disk);
    if (!fresh) {
      Problem("'" + it->second + "' and '" + disk +
              "' would become the same member name (their Shift_JIS forms are equal)" + ExcludeHint(name));
      return false;
    }
    if (options->package) {
      auto [f, ffresh] = folded.emplace(FoldCase(key), disk);
      if (!ffresh) {
        Problem("'" + f->second + "' and '" + disk +
                "' are one file name on Windows (it ignores letter case, and code page 932 has some characters twice); one would replace the other" +
                ExcludeHint(name));
        return false;
      }
    }
    return true;
  }

  // Adds the member; false when it was refused.
  bool AddMember(const std::string& name, const std::string& disk, const struct stat& st,
                 const std::string& link_target, bool through_link = false) {
    if (name.empty() || !seen.insert(name).second) return true;
    bool dir = S_ISDIR(st.st_mode);
    MemberSource m;
    m.name = name;
    m.directory = dir;
    m.disk_path = disk;
    m.mtime = Time(st.st_mtime);
    m.attribute = dir ? DOS_DIRECTORY : DOS_ARCHIVE;
    if (!(st.st_mode & S_IWUSR) && link_target.empty()) m.attribute |= DOS_READ_ONLY;
    m.size = dir || !link_target.empty() ? 0 : (uint64_t)st.st_size;
    m.link_target = link_target;
    m.unix_meta = !options->package;
    m.unix_mode = (uint16_t)(st.st_mode & 0177777);
    m.uid = (uint32_t)st.st_uid;
    m.gid = (uint32_t)st.st_gid;
    m.device = (uint64_t)st.st_dev;
    m.inode = (uint64_t)st.st_ino;
    m.through_link = through_link;
    m.utf8_name = options->utf8_names;
    // A plain archive stores 64-bit sizes as well; the stub reads 32 bits.
    if (options->package && m.size > SIZE_LIMIT) {
      Problem("'" + disk + "': " + std::to_string(m.size) + " bytes; a package holds members of at most " +
              std::to_string(SIZE_LIMIT) + " bytes (4 GiB - 1), what its stub reads" + ExcludeHint(name));
      return false;
    }
    if (!dir && link_target.empty() && access(disk.c_str(), R_OK) != 0) {
      Problem("'" + disk + "': cannot be read: " + strerror(errno) + ExcludeHint(name));
      return false;
    }
    StoredName n;
    std::string error;
    if (!MakeStoredName(name, dir, m.attribute, &n, &error, options->windows_names, link_target,
                        !options->package, options->utf8_names)) {
      // A package is unpacked on Windows whatever the option says.
      const std::string unix_hint = " (--allow-unix-names for an archive meant for Unix)";
      size_t at = options->package ? error.find(unix_hint) : std::string::npos;
      if (at != std::string::npos) error.erase(at, unix_hint.size());
      Problem(error + ExcludeHint(name));
      return false;
    }
    if (!Claim(name, disk, n)) return false;
    members->push_back(m);
    return true;
  }

  bool Excluded(const std::string& name) const { return IsExcluded(options->exclude, name); }

  // st: what lstat says of disk. Refused inputs are noted in problems.
  void Add(const std::string& name, const std::string& disk, struct stat st) {
    if (!name.empty() && Excluded(name)) return;
    bool through_link = false;
    if (S_ISLNK(st.st_mode)) {
      if (!options->dereference) {
        if (options->package) {
          Problem("'" + disk + "' is a symbolic link, which a package cannot hold (the stub cannot make links); " +
                  "-L, --dereference packs what it points to" + ExcludeHint(name));
          return;
        }
        std::vector<char> target((size_t)st.st_size + 256);
        ssize_t n = readlink(disk.c_str(), target.data(), target.size() - 1);
        if (n < 0) {
          Problem("'" + disk + "': " + strerror(errno) + ExcludeHint(name));
          return;
        }
        AddMember(name, disk, st, std::string(target.data(), (size_t)n));
        return;
      }
      through_link = true;
      if (stat(disk.c_str(), &st) != 0) {
        Problem("'" + disk + "' is a symbolic link whose target cannot be reached (" + strerror(errno) + ")" +
                ExcludeHint(name));
        return;
      }
    }
    bool dir = S_ISDIR(st.st_mode);
    if (!dir && !S_ISREG(st.st_mode)) {
      warnings->push_back("'" + disk + "' is " + SpecialKind(st.st_mode) + ": skipped");
      return;
    }
    if (Skipped(st)) {
      warnings->push_back("'" + disk + "' is the output: left out");
      return;
    }
    if (dir) {
      for (const auto& f : open_folders) {
        if (f.first == st.st_dev && f.second == st.st_ino) {
          Problem("'" + disk + "' leads back into a folder that holds it (a symbolic link loop)" + ExcludeHint(name));
          return;
        }
      }
    }
    if (!AddMember(name, disk, st, "", through_link) || !dir) return;
    DIR* d = opendir(disk.c_str());
    if (!d) {
      Problem("'" + disk + "': cannot be read: " + strerror(errno) + ExcludeHint(name));
      return;
    }
    std::vector<std::string> entries;
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) entries.push_back(e->d_name);
    }
    closedir(d);
    std::sort(entries.begin(), entries.end());
    open_folders.emplace_back(st.st_dev, st.st_ino);
    for (const std::string& e : entries) {
      std::string child_disk = disk + "/" + e;
      std::string child = name.empty() ? e : name + "/" + e;
      struct stat cst;
      if (lstat(child_disk.c_str(), &cst) != 0)
        Problem("'" + child_disk + "': " + strerror(errno) + ExcludeHint(child));
      else
        Add(child, child_disk, cst);
    }
    open_folders.pop_back();
  }
};

}  // namespace

bool ParseOptionMode(const std::string& text, uint8_t* option) {
  if (text == "no") {
    *option = 0;
  } else if (text == "ask-no") {
    *option = OPTION_ENABLED;
  } else if (text == "ask-yes") {
    *option = OPTION_ENABLED | OPTION_CREATE;
  } else if (text == "yes") {
    *option = OPTION_CREATE;
  } else {
    return false;
  }
  return true;
}

bool BuildConfigBlock(const PackageSettings& s, std::vector<uint8_t>* block, std::string* error) {
  block->clear();
  if (!s.dialog) {
    block->push_back(0);
    return true;
  }
  block->push_back(1);
  if (!BlockText(s.title, "the title", false, block, error)) return false;
  block->push_back(s.program_files ? 1 : 0);
  if (!BlockText(s.destination, "the destination", true, block, error)) return false;
  if (!BlockText(s.shortcut_target, "the shortcut target", true, block, error)) return false;
  block->push_back(s.start_menu);
  block->push_back(s.desktop);
  block->push_back(s.send_to);
  return BlockText(s.open_after, "the file to open", true, block, error);
}

bool CheckStub(const std::vector<uint8_t>& stub, const std::string& what, std::string* error) {
  if (stub.size() != PAYLOAD_OFFSET) {
    *error = what + " is " + std::to_string(stub.size()) + " bytes; a stub must be exactly " +
             std::to_string(PAYLOAD_OFFSET) + " bytes, where the payload begins";
    return false;
  }
  if (memcmp(stub.data(), PACKAGE_MAGIC, 2) != 0) {
    *error = what + " is not a Windows executable (it does not start with \"MZ\")";
    return false;
  }
  return true;
}

bool CollectMembers(const std::string& base_dir, const std::vector<std::string>& paths,
                    const CollectOptions& options, std::vector<MemberSource>* members,
                    std::vector<std::string>* warnings, std::string* error) {
  Collector c;
  c.options = &options;
  c.members = members;
  c.warnings = warnings;
  struct stat st;
  if (!options.skip.empty() && stat(options.skip.c_str(), &st) == 0) {
    c.have_skip = true;
    c.skip_dev = st.st_dev;
    c.skip_ino = st.st_ino;
  }
  for (const std::string& path : paths) {
    if (path.empty() || path[0] == '/') {
      c.Problem("'" + path + "': member names are relative paths; give the folder above it with -C DIR");
      continue;
    }
    std::string name;
    bool climbs = false;
    size_t start = 0;
    while (start <= path.size()) {
      size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      std::string part = path.substr(start, slash - start);
      start = slash + 1;
      if (part.empty() || part == ".") continue;
      if (part == "..") climbs = true;
      name += name.empty() ? part : "/" + part;
    }
    if (climbs) {
      c.Problem("'" + path + "': a member name may not climb out with \"..\"; use -C DIR");
      continue;
    }
    std::string disk = base_dir.empty() ? (name.empty() ? "." : name)
                                        : (name.empty() ? base_dir : base_dir + "/" + name);
    if (lstat(disk.c_str(), &st) != 0) {
      c.Problem("'" + path + "': " + strerror(errno));
      continue;
    }
    struct stat target;
    if (c.have_skip && stat(disk.c_str(), &target) == 0 && c.Skipped(target)) {
      c.Problem("'" + path + "' is the output itself; write the output elsewhere");
      continue;
    }
    c.Add(name, disk, st);
  }
  error->clear();
  for (const std::string& p : c.problems) *error += (error->empty() ? "" : "\n") + p;
  return c.problems.empty();
}

bool IsExcluded(const std::vector<std::string>& patterns, const std::string& name) {
  for (const std::string& pattern : patterns) {
    if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
    // Unanchored, as tar matches: from the start of any component, and each
    // component by itself.
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
      if (fnmatch(pattern.c_str(), name.c_str() + slash + 1, 0) == 0) return true;
    }
    size_t start = 0;
    while (start < name.size()) {
      size_t end = name.find('/', start);
      if (end == std::string::npos) end = name.size();
      if (fnmatch(pattern.c_str(), name.substr(start, end - start).c_str(), 0) == 0) return true;
      start = end + 1;
    }
  }
  return false;
}

bool CheckSettings(const PackageSettings& settings, const std::vector<MemberSource>& members,
                   std::string* error) {
  auto member_path = [](std::string v) {
    for (char& ch : v)
      if (ch == '\\') ch = '/';
    return v;
  };
  // The destination is checked as the extractor checks a member's path
  // (relative, no "..", no drive or ":", no device name), on its Shift_JIS form.
  const std::string& dest = settings.destination;
  std::vector<char> dbuf(dest.size() * 2 + 8);
  bool bad_dest = !dest.empty() && (!HostUtf8ToSjis(dest.c_str(), dbuf.data(), (uint32_t)dbuf.size()) ||
                                    !IsConfinedPath(dbuf.data()));
  if (bad_dest) {
    *error = "--dest '" + dest + "': the destination must be a relative path, without \"..\", a drive, \":\", a device name or a leading separator";
    return false;
  }
  struct Setting {
    const char* option;
    const std::string* value;
  };
  for (const Setting& s : {Setting{"--shortcut", &settings.shortcut_target}, Setting{"--open", &settings.open_after}}) {
    if (s.value->empty()) continue;
    std::string want = member_path(*s.value);
    std::vector<char> wbuf(want.size() * 2 + 8);
    if (!HostUtf8ToSjis(want.c_str(), wbuf.data(), (uint32_t)wbuf.size())) wbuf[0] = 0;
    bool found = false;
    for (const MemberSource& m : members) {
      if (m.directory || !m.link_target.empty()) continue;
      std::vector<char> mbuf(m.name.size() * 2 + 8);
      if (HostUtf8ToSjis(m.name.c_str(), mbuf.data(), (uint32_t)mbuf.size()) &&
          FoldCase(mbuf.data()) == FoldCase(wbuf.data())) {
        found = true;
        break;
      }
    }
    if (!found) {
      *error = std::string(s.option) + " '" + *s.value + "' names no file of the package (give its path below the destination, as packed)";
      return false;
    }
  }
  return true;
}

namespace {

// The temporary output, removed by the signal handler.
char g_temp_path[4096];

void RemoveTempAndExit(int sig) {
  if (g_temp_path[0]) unlink(g_temp_path);
  _exit(128 + sig);
}

const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Installs (or, with false, takes back) the handlers that remove the
// temporary output.
void GuardTemp(bool on, struct sigaction* saved) {
  for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; ++i) {
    if (on) {
      struct sigaction sa;
      memset(&sa, 0, sizeof sa);
      sa.sa_handler = RemoveTempAndExit;
      sigemptyset(&sa.sa_mask);
      for (int other : CLEANUP_SIGNALS) sigaddset(&sa.sa_mask, other);
      sigaction(CLEANUP_SIGNALS[i], &sa, &saved[i]);
    } else {
      sigaction(CLEANUP_SIGNALS[i], &saved[i], nullptr);
    }
  }
}

// The finished temporary output copied to where it goes: standard output,
// or an output that is not a regular file (what names it in messages).
bool CopyOut(FILE* from, FILE* to, const std::string& what, std::string* error) {
  if (fseeko(from, 0, SEEK_SET) != 0) {
    *error = std::string("cannot read the temporary output: ") + strerror(errno);
    return false;
  }
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, from)) > 0) {
    if (fwrite(buf, 1, n, to) != n) {
      *error = "cannot write to " + what + ": " + strerror(errno);
      return false;
    }
  }
  if (fflush(to) != 0) {
    *error = "cannot write to " + what + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Where the output goes. A regular file (reached through any links, which
// stay) is replaced by a new file renamed over it; anything else that
// exists (a device, a FIFO, a terminal, a pipe through /proc/self/fd) is
// written into as it is, as tar does, never replaced: then *direct is its
// open stream. A folder, or a link that leads nowhere, is refused.
bool ResolveOutput(const PackJob& job, std::string* target, FILE** direct, std::string* error) {
  *target = job.output;
  *direct = nullptr;
  if (job.to_stdout) return true;
  struct stat st, lst;
  if (stat(job.output.c_str(), &st) != 0) {
    if (errno == ENOENT && lstat(job.output.c_str(), &lst) == 0) {
      *error = "'" + job.output + "': a symbolic link to nothing; give the file it should name";
      return false;
    }
    return true;  // made anew
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "'" + job.output + "': is a folder";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    int fd = open(job.output.c_str(), O_WRONLY | O_CLOEXEC);
    *direct = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!*direct) {
      *error = "'" + job.output + "': " + strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    return true;
  }
  if (lstat(job.output.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = realpath(job.output.c_str(), nullptr);
    if (!real) {
      *error = "'" + job.output + "': " + strerror(errno);
      return false;
    }
    *target = real;
    free(real);
  }
  return true;
}

// What goes before the archive: nothing, or the stub and the block (with
// add, the package's own as they were).
bool BuildFront(const PackJob& job, std::vector<uint8_t>* front, std::string* error) {
  front->clear();
  if (job.plain) return true;
  if (!job.front.empty()) {
    std::vector<uint8_t> stub(job.front.begin(), job.front.begin() + std::min<size_t>(job.front.size(), PAYLOAD_OFFSET));
    if (!CheckStub(stub, "the package's stub", error)) return false;
    *front = job.front;
    return true;
  }
  if (!CheckStub(job.stub, "the stub", error)) return false;
  *front = job.stub;
  std::vector<uint8_t> block;
  if (!BuildConfigBlock(job.settings, &block, error)) return false;
  front->insert(front->end(), block.begin(), block.end());
  return true;
}

// The temporary output: beside the output (renamed over it at the end), or
// for standard output an unnamed file in TMPDIR. The signal handlers that
// remove it are installed (saved receives the former ones). -1 on failure.
int CreateTemp(const PackJob& job, const std::string& target, bool unnamed, std::string* temp,
               struct sigaction* saved, std::string* error) {
  if (unnamed) {
    const char* dir = getenv("TMPDIR");
    *temp = std::string(dir && *dir ? dir : "/tmp") + "/vemosfx-XXXXXX";
  } else {
    *temp = target + ".partial-XXXXXX";
  }
  if (temp->size() >= sizeof g_temp_path) {
    *error = "'" + job.output + "': the name is too long";
    return -1;
  }
  std::vector<char> name(temp->begin(), temp->end());
  name.push_back(0);
  GuardTemp(true, saved);
  sigset_t block_set, old_set;
  sigemptyset(&block_set);
  for (int sig : CLEANUP_SIGNALS) sigaddset(&block_set, sig);
  sigprocmask(SIG_BLOCK, &block_set, &old_set);
  int fd = mkstemp(name.data());
  if (fd >= 0) {
    if (unnamed) {
      unlink(name.data());
    } else {
      memcpy(g_temp_path, name.data(), name.size());
    }
  }
  sigprocmask(SIG_SETMASK, &old_set, nullptr);
  if (fd < 0) {
    GuardTemp(false, saved);
    *error = "'" + (unnamed ? *temp : job.output) + "': cannot create a file there: " + strerror(errno);
    return -1;
  }
  *temp = name.data();
  return fd;
}

// The front, the archive and (for a package) the PE checksum into out.
bool WriteBody(const PackJob& job, FILE* out, int fd, const std::vector<uint8_t>& front, std::string* error) {
  if (!front.empty() && fwrite(front.data(), 1, front.size(), out) != front.size()) {
    *error = std::string("cannot write the output: ") + strerror(errno);
    return false;
  }
  if (!WriteArchive(out, job.members, job.method, error, job.windows_names, job.progress)) return false;
  if (fflush(out) != 0) {
    *error = std::string("cannot write the output: ") + strerror(errno);
    return false;
  }
  return job.plain || WritePeChecksum(fd, error);
}

// Forgets the temporary output and puts the former signal handlers back.
void ReleaseTemp(struct sigaction* saved) {
  sigset_t block_set, old_set;
  sigemptyset(&block_set);
  for (int sig : CLEANUP_SIGNALS) sigaddset(&block_set, sig);
  sigprocmask(SIG_BLOCK, &block_set, &old_set);
  g_temp_path[0] = 0;
  sigprocmask(SIG_SETMASK, &old_set, nullptr);
  GuardTemp(false, saved);
}

}  // namespace

bool WriteOutput(const PackJob& job, std::string* error) {
  std::vector<uint8_t> front;
  if (!BuildFront(job, &front, error)) return false;
  std::string target;
  FILE* direct;
  if (!ResolveOutput(job, &target, &direct, error)) return false;
  // Standard output and the outputs written into are filled from an
  // unnamed file, since a package's checksum is written last.
  bool unnamed = job.to_stdout || direct;
  std::string temp;
  struct sigaction saved[3];
  int fd = CreateTemp(job, target, unnamed, &temp, saved, error);
  if (fd < 0) {
    if (direct) fclose(direct);
    return false;
  }
  FILE* out = fdopen(fd, unnamed ? "w+b" : "wb");
  bool ok = out != nullptr;
  if (!ok) *error = std::string("cannot write the output: ") + strerror(errno);
  try {
    if (ok) ok = WriteBody(job, out, fd, front, error);
  } catch (const std::bad_alloc&) {  // the temporary output is removed below
    *error = "not enough memory to write the output";
    ok = false;
  } catch (const std::system_error& e) {
    *error = std::string("cannot write the output: ") + e.what();
    ok = false;
  }
  if (ok && unnamed) ok = CopyOut(out, direct ? direct : stdout, direct ? "'" + job.output + "'" : "standard output", error);
  if (direct && fclose(direct) != 0 && ok) {
    *error = "cannot write to '" + job.output + "': " + strerror(errno);
    ok = false;
  }
  if (ok && !unnamed) {
    mode_t mask = umask(0);
    umask(mask);
    // A rewritten file keeps its owner (root rewriting a user's archive),
    // before its mode, which a change of owner may clear bits of.
    if (job.uid >= 0 && fchown(fd, (uid_t)job.uid, (gid_t)job.gid) != 0 && geteuid() == 0) {
      *error = "'" + job.output + "': cannot keep its owner: " + strerror(errno);
      ok = false;
    }
    fchmod(fd, job.mode >= 0 ? (mode_t)job.mode : 0666 & ~mask);
  }
  if (out) {
    if (fclose(out) != 0 && ok) {
      *error = std::string("cannot write the output: ") + strerror(errno);
      ok = false;
    }
  } else {
    close(fd);
  }
  if (!unnamed) {
    if (ok && job.before_replace) ok = job.before_replace(error);
    if (ok && job.no_replace && renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
      *error = errno == EEXIST ? "'" + job.output + "' was made by another program meanwhile; nothing was changed (run it again)"
                               : "'" + job.output + "': cannot be made: " + strerror(errno);
      ok = false;
    } else if (ok && !job.no_replace && rename(temp.c_str(), target.c_str()) != 0) {
      *error = "'" + job.output + "': cannot be replaced: " + strerror(errno);
      ok = false;
    }
    if (!ok) unlink(temp.c_str());
  }
  ReleaseTemp(saved);
  return ok;
}

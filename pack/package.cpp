// Gathering members from disk, the configuration block, and the output file
// written beside its final name and renamed into place when complete.
#include "pack/package.h"

#include <dirent.h>
#include <signal.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "extract/payload.h"
#include "extract/run.h"
#include "pack/pe_checksum.h"
#include "platform/host_hooks.h"
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

// A Shift_JIS path as Windows compares names: ASCII letters and the
// full-width Latin, Greek and Cyrillic letters in one case.
std::string FoldCase(const std::string& sjis) {
  std::string out = sjis;
  for (size_t i = 0; i < out.size(); ++i) {
    uint8_t b = (uint8_t)out[i];
    if (SjisCharLength(reinterpret_cast<const uint8_t*>(out.c_str()) + i) == 2) {
      uint32_t c = (uint32_t)b << 8 | (uint8_t)out[i + 1];
      if (c >= 0x8281 && c <= 0x829A) c -= 0x21;                     // full-width a-z
      else if (c >= 0x83BF && c <= 0x83D6) c -= 0x20;                // Greek
      else if (c >= 0x8470 && c <= 0x847E) c -= 0x30;                // Cyrillic
      else if (c >= 0x8480 && c <= 0x8491) c -= 0x31;
      out[i] = (char)(c >> 8);
      out[i + 1] = (char)c;
      ++i;
    } else if (b >= 'a' && b <= 'z') {
      out[i] = (char)(b - 32);
    }
  }
  return out;
}

const char* SpecialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "neither a file, a folder nor a link";
}

struct Collector {
  const CollectOptions* options;
  std::vector<MemberSource>* members;
  std::vector<std::string>* warnings;
  std::string* error;
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

  uint32_t Time(time_t t) const {
    uint32_t v = ClampTime(t);
    if (options->fixed_time || (options->clamp_time && v > options->max_time)) v = options->max_time;
    return v;
  }

  // Records the member's stored name; false when another input has it.
  bool Claim(const std::string& disk, const StoredName& n) {
    std::string key = n.path;
    if (!key.empty() && key.back() == '/') key.pop_back();
    auto [it, fresh] = stored.emplace(key, disk);
    if (!fresh) {
      *error = "'" + it->second + "' and '" + disk +
               "' would become the same member name (their Shift_JIS forms are equal)";
      return false;
    }
    if (options->package) {
      auto [f, ffresh] = folded.emplace(FoldCase(key), disk);
      if (!ffresh) {
        *error = "'" + f->second + "' and '" + disk +
                 "' differ only in letter case, which Windows does not tell apart; one would replace the other";
        return false;
      }
    }
    return true;
  }

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
    m.device = (uint64_t)st.st_dev;
    m.inode = (uint64_t)st.st_ino;
    m.through_link = through_link;
    if (m.size > SIZE_LIMIT) {
      *error = "'" + disk + "': " + std::to_string(m.size) +
               " bytes; a member of 4 GiB or more does not fit the 32-bit size fields";
      return false;
    }
    StoredName n;
    if (!MakeStoredName(name, dir, m.attribute, &n, error, options->windows_names, link_target)) return false;
    if (!Claim(disk, n)) return false;
    members->push_back(m);
    return true;
  }

  // st: what lstat says of disk.
  bool Add(const std::string& name, const std::string& disk, struct stat st) {
    bool through_link = false;
    if (S_ISLNK(st.st_mode)) {
      if (!options->dereference) {
        if (options->package) {
          *error = "'" + disk + "' is a symbolic link, which a package cannot hold (the stub cannot make links); " +
                   "-L, --dereference packs what it points to";
          return false;
        }
        std::vector<char> target((size_t)st.st_size + 256);
        ssize_t n = readlink(disk.c_str(), target.data(), target.size() - 1);
        if (n < 0) {
          *error = "'" + disk + "': " + strerror(errno);
          return false;
        }
        return AddMember(name, disk, st, std::string(target.data(), (size_t)n));
      }
      through_link = true;
      if (stat(disk.c_str(), &st) != 0) {
        *error = "'" + disk + "' is a symbolic link whose target cannot be reached (" + strerror(errno) + ")";
        return false;
      }
    }
    bool dir = S_ISDIR(st.st_mode);
    if (!dir && !S_ISREG(st.st_mode)) {
      warnings->push_back("'" + disk + "' is " + SpecialKind(st.st_mode) + ": skipped");
      return true;
    }
    if (Skipped(st)) {
      warnings->push_back("'" + disk + "' is the output: left out");
      return true;
    }
    if (dir) {
      for (const auto& f : open_folders) {
        if (f.first == st.st_dev && f.second == st.st_ino) {
          *error = "'" + disk + "' leads back into a folder that holds it (a symbolic link loop)";
          return false;
        }
      }
    }
    if (!AddMember(name, disk, st, "", through_link)) return false;
    if (!dir) return true;
    DIR* d = opendir(disk.c_str());
    if (!d) {
      *error = "'" + disk + "': cannot be read: " + strerror(errno);
      return false;
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
      struct stat cst;
      if (lstat(child_disk.c_str(), &cst) != 0) {
        *error = "'" + child_disk + "': " + strerror(errno);
        return false;
      }
      if (!Add(name.empty() ? e : name + "/" + e, child_disk, cst)) return false;
    }
    open_folders.pop_back();
    return true;
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
  if (stub[0] != 'M' || stub[1] != 'Z') {
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
  c.error = error;
  struct stat st;
  if (!options.skip.empty() && stat(options.skip.c_str(), &st) == 0) {
    c.have_skip = true;
    c.skip_dev = st.st_dev;
    c.skip_ino = st.st_ino;
  }
  for (const std::string& path : paths) {
    if (path.empty() || path[0] == '/') {
      *error = "'" + path + "': member names are relative paths; give the folder above it with -C DIR";
      return false;
    }
    std::string name;
    size_t start = 0;
    while (start <= path.size()) {
      size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      std::string part = path.substr(start, slash - start);
      start = slash + 1;
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        *error = "'" + path + "': a member name may not climb out with \"..\"; use -C DIR";
        return false;
      }
      name += name.empty() ? part : "/" + part;
    }
    std::string disk = base_dir.empty() ? (name.empty() ? "." : name)
                                        : (name.empty() ? base_dir : base_dir + "/" + name);
    if (lstat(disk.c_str(), &st) != 0) {
      *error = "'" + path + "': " + strerror(errno);
      return false;
    }
    struct stat target;
    if (c.have_skip && stat(disk.c_str(), &target) == 0 && c.Skipped(target)) {
      *error = "'" + path + "' is the output itself; write the output elsewhere";
      return false;
    }
    if (!c.Add(name, disk, st)) return false;
  }
  return true;
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

bool IsPlainArchiveName(const std::string& output) {
  if (output.size() < 4) return false;
  std::string tail = output.substr(output.size() - 4);
  for (char& ch : tail) ch = (char)tolower((unsigned char)ch);
  return tail == ".lzh";
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

bool CopyToStdout(FILE* from, std::string* error) {
  if (fseeko(from, 0, SEEK_SET) != 0) {
    *error = std::string("cannot read the temporary output: ") + strerror(errno);
    return false;
  }
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, from)) > 0) {
    if (fwrite(buf, 1, n, stdout) != n) {
      *error = std::string("cannot write to standard output: ") + strerror(errno);
      return false;
    }
  }
  if (fflush(stdout) != 0) {
    *error = std::string("cannot write to standard output: ") + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool WriteOutput(const PackJob& job, std::string* error) {
  std::vector<uint8_t> front;
  if (!job.plain) {
    if (!CheckStub(job.stub, "the stub", error)) return false;
    front = job.stub;
    std::vector<uint8_t> block;
    if (!BuildConfigBlock(job.settings, &block, error)) return false;
    front.insert(front.end(), block.begin(), block.end());
  }
  // Standard output may not be seekable: the archive is made in an unnamed
  // temporary file and copied out.
  std::string temp;
  if (job.to_stdout) {
    const char* dir = getenv("TMPDIR");
    temp = std::string(dir && *dir ? dir : "/tmp") + "/vemosfx-XXXXXX";
  } else {
    temp = job.output + ".partial-XXXXXX";
  }
  if (temp.size() >= sizeof g_temp_path) {
    *error = "'" + job.output + "': the name is too long";
    return false;
  }
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back(0);
  struct sigaction saved[3];
  GuardTemp(true, saved);
  sigset_t block_set, old_set;
  sigemptyset(&block_set);
  for (int sig : CLEANUP_SIGNALS) sigaddset(&block_set, sig);
  sigprocmask(SIG_BLOCK, &block_set, &old_set);
  int fd = mkstemp(name.data());
  if (fd >= 0) {
    if (job.to_stdout) {
      unlink(name.data());
    } else {
      memcpy(g_temp_path, name.data(), name.size());
    }
  }
  sigprocmask(SIG_SETMASK, &old_set, nullptr);
  if (fd < 0) {
    GuardTemp(false, saved);
    *error = "'" + (job.to_stdout ? temp : job.output) + "': cannot create a file there: " + strerror(errno);
    return false;
  }
  temp = name.data();
  FILE* out = fdopen(fd, job.to_stdout ? "w+b" : "wb");
  bool ok = out != nullptr;
  if (!ok) *error = std::string("cannot write the output: ") + strerror(errno);
  if (ok && !front.empty() && fwrite(front.data(), 1, front.size(), out) != front.size()) {
    *error = std::string("cannot write the output: ") + strerror(errno);
    ok = false;
  }
  if (ok) ok = WriteArchive(out, front.size(), job.members, job.method, error, job.windows_names, job.progress);
  if (ok && fflush(out) != 0) {
    *error = std::string("cannot write the output: ") + strerror(errno);
    ok = false;
  }
  if (ok && !job.plain) ok = WritePeChecksum(fd, error);
  if (ok && job.to_stdout) ok = CopyToStdout(out, error);
  if (ok && !job.to_stdout) {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  if (out) {
    if (fclose(out) != 0 && ok) {
      *error = std::string("cannot write the output: ") + strerror(errno);
      ok = false;
    }
  } else {
    close(fd);
  }
  if (!job.to_stdout) {
    if (ok && rename(temp.c_str(), job.output.c_str()) != 0) {
      *error = "'" + job.output + "': cannot be replaced: " + strerror(errno);
      ok = false;
    }
    if (!ok) unlink(temp.c_str());
  }
  sigprocmask(SIG_BLOCK, &block_set, &old_set);
  g_temp_path[0] = 0;
  sigprocmask(SIG_SETMASK, &old_set, nullptr);
  GuardTemp(false, saved);
  return ok;
}

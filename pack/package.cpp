// Gathering members from disk, the configuration block, and the output file
// written beside its final name and renamed into place when complete.
#include "pack/package.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "extract/payload.h"
#include "pack/pe_checksum.h"
#include "platform/host_hooks.h"

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
    for (size_t i = 0; i < sjis.size(); ++i) {
      if (IsLeadByte((uint8_t)sjis[i]) && i + 1 < sjis.size()) {
        ++i;
      } else if (sjis[i] == '/') {
        sjis[i] = '\\';
      }
    }
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

struct Collector {
  std::vector<MemberSource>* members;
  std::string* error;
  std::set<std::string> seen;
  bool have_skip = false;
  dev_t skip_dev = 0;
  ino_t skip_ino = 0;

  bool Skipped(const struct stat& st) const {
    return have_skip && st.st_dev == skip_dev && st.st_ino == skip_ino;
  }

  bool Add(const std::string& name, const std::string& disk, const struct stat& st) {
    bool dir = S_ISDIR(st.st_mode);
    if (!dir && !S_ISREG(st.st_mode)) {
      *error = "'" + disk + "': neither a regular file nor a folder";
      return false;
    }
    if (!name.empty() && seen.insert(name).second) {
      MemberSource m;
      m.name = name;
      m.directory = dir;
      m.disk_path = disk;
      m.mtime = ClampTime(st.st_mtime);
      m.attribute = dir ? DOS_DIRECTORY : DOS_ARCHIVE;
      if (!(st.st_mode & S_IWUSR)) m.attribute |= DOS_READ_ONLY;
      m.size = dir ? 0 : (uint64_t)st.st_size;
      if (m.size > SIZE_LIMIT) {
        *error = "'" + disk + "': a member of 4 GiB or more does not fit the 32-bit size fields";
        return false;
      }
      StoredName stored;
      if (!MakeStoredName(name, dir, m.attribute, &stored, error)) return false;
      members->push_back(m);
    }
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
    for (const std::string& e : entries) {
      std::string child_disk = disk + "/" + e;
      struct stat cst;
      if (stat(child_disk.c_str(), &cst) != 0) {
        *error = "'" + child_disk + "': " + strerror(errno);
        return false;
      }
      if (Skipped(cst)) continue;
      if (!Add(name.empty() ? e : name + "/" + e, child_disk, cst)) return false;
    }
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
                    const std::string& skip, std::vector<MemberSource>* members, std::string* error) {
  Collector c;
  c.members = members;
  c.error = error;
  struct stat st;
  if (!skip.empty() && stat(skip.c_str(), &st) == 0) {
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
    if (stat(disk.c_str(), &st) != 0) {
      *error = "'" + path + "': " + strerror(errno);
      return false;
    }
    if (c.Skipped(st)) continue;
    if (!c.Add(name, disk, st)) return false;
  }
  return true;
}

bool IsPlainArchiveName(const std::string& output) {
  if (output.size() < 4) return false;
  std::string tail = output.substr(output.size() - 4);
  for (char& ch : tail) ch = (char)tolower((unsigned char)ch);
  return tail == ".lzh";
}

bool WriteOutput(const PackJob& job, std::string* error) {
  std::vector<uint8_t> front;
  if (!job.plain) {
    if (!CheckStub(job.stub, "the stub", error)) return false;
    front = job.stub;
    std::vector<uint8_t> block;
    if (!BuildConfigBlock(job.settings, &block, error)) return false;
    front.insert(front.end(), block.begin(), block.end());
  }
  std::string temp = job.output + ".partial-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back(0);
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = "'" + job.output + "': cannot create a file there: " + strerror(errno);
    return false;
  }
  temp = name.data();
  FILE* out = fdopen(fd, "wb");
  bool ok = out != nullptr;
  if (!ok) *error = std::string("cannot write the output: ") + strerror(errno);
  if (ok && !front.empty() && fwrite(front.data(), 1, front.size(), out) != front.size()) {
    *error = std::string("cannot write the output: ") + strerror(errno);
    ok = false;
  }
  if (ok) ok = WriteArchive(out, front.size(), job.members, job.method, error);
  if (ok && fflush(out) != 0) {
    *error = std::string("cannot write the output: ") + strerror(errno);
    ok = false;
  }
  if (ok && !job.plain) ok = WritePeChecksum(fd, error);
  if (ok) {
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
  if (ok && rename(temp.c_str(), job.output.c_str()) != 0) {
    *error = "'" + job.output + "': cannot be replaced: " + strerror(errno);
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

// vemosfx add ARCHIVE PATH... and vemosfx delete ARCHIVE PATTERN...: an
// archive or package changed by writing a new one beside it, the members
// left alone copied as they are, and renaming it over the old one when
// complete.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "decode/member.h"
#include "extract/header.h"
#include "extract/run.h"
#include "extract/walk.h"
#include "host/commands.h"
#include "host/input.h"
#include "host/pack_command.h"
#include "platform/host_hooks.h"

namespace {

// A member of the archive being changed.
struct OldMember {
  MemberHeader header;
  std::string key;   // its stored path without "/" behind or a link's "|target"
  std::string path;  // as the user names it (UTF-8)
  MemberSource copy;  // the member copied as it is
};

// The stored path a member is matched by; in a package as Windows compares
// names (FoldPath), since the stub would write both spellings to one file.
std::string Key(std::string sjis, bool package) {
  if (package) {
    char folded[PATH_BUFFER_SIZE];
    FoldPath(sjis.c_str(), folded);
    return folded;
  }
  return TrimSlashes(sjis);
}

// A package member's key in UTF-8.
std::string KeyUtf8(const std::string& key) {
  char utf8[4 * PATH_BUFFER_SIZE];
  HostSjisToUtf8(key.c_str(), utf8, sizeof utf8, false);
  return utf8;
}

// A pattern (UTF-8) as Windows compares names, for matching against the
// keys of a package's members in UTF-8; as it is when it has no Shift_JIS
// form (then it names no member but by its wildcards).
std::string FoldedPattern(const std::string& pattern) {
  std::vector<char> sjis(pattern.size() * 2 + 8);
  if (!HostUtf8ToSjis(pattern.c_str(), sjis.data(), (uint32_t)sjis.size()) || strlen(sjis.data()) > PATH_MAX_BYTES)
    return pattern;
  return KeyUtf8(Key(sjis.data(), true));
}

// Reads the members of an opened archive (the stream at its first header)
// and, for a package, the stub and block in front of it. False with a
// message when the archive is damaged: nothing is then changed.
bool ReadOld(const char* path, CommandInput* input, std::vector<OldMember>* members, std::vector<uint8_t>* front,
             std::string* error) {
  FILE* archive = input->state.archive;
  off_t start = ftello(archive);
  if (!input->plain) {
    front->resize((size_t)start);
    FILE* whole = fopen(path, "rb");
    bool ok = whole && fread(front->data(), 1, front->size(), whole) == front->size();
    if (whole) fclose(whole);
    if (!ok) {
      *error = std::string("'") + path + "': cannot be read";
      return false;
    }
  }
  // Each member is copied later as the bytes it has here, header and data,
  // from where its header starts to where the next one does; only those
  // offsets are kept, so memory does not grow with the members' data.
  MemberWalk walk;
  WalkBegin(&walk, &input->state, input->end);
  for (;;) {
    OldMember m;
    int64_t at = walk.next >= 0 ? walk.next : (int64_t)start;
    WalkResult read = WalkNext(&walk, &m.header);
    if (read == WALK_END) break;
    int64_t data = StreamPosition(archive), next = walk.next;
    if (read != WALK_MEMBER) {
      *error = std::string("'") + path + "': " + WalkProblem(read) + "; nothing was changed";
      return false;
    }
    const char* local = LocalName(m.header.name);
    int32_t method;
    bool link = CheckMember(&m.header, local, &method) == CHECK_LINK;
    std::string name = m.header.name;
    if (link) name.resize(LinkTarget(m.header.name) - 1 - m.header.name);
    m.key = Key(name, !input->plain);
    m.path = SelectionPath(&m.header, link);
    m.copy.name = m.path;
    m.copy.copy_path = path;
    m.copy.copy_offset = (uint64_t)at;
    m.copy.copy_length = (uint64_t)(next - at);
    m.copy.copy_header = (uint32_t)(data - at);
    m.copy.copy_stored = method == METHOD_LH0;
    m.copy.copy_has_crc = m.header.has_crc;
    m.copy.copy_crc = m.header.crc;
    members->push_back(m);
  }
  return true;
}

// The members a package's settings name (the shortcuts' target, the file
// opened afterwards), as keys.
std::vector<std::string> SettingsTargets(const SfxState* state) {
  std::vector<std::string> keys;
  if (!state->has_config) return keys;
  for (const char* target : {state->shortcut_target, state->open_after}) {
    if (!target || !*target) continue;
    std::string path = target;
    ConvertBackslashes(&path[0], (uint32_t)path.size());
    keys.push_back(Key(path, true));
  }
  return keys;
}

// The same file as when it was read: a writer that did not take the lock
// would otherwise lose its change, or ours.
bool Unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Takes the lock on the archive that two adds or deletes share, held until
// the process ends: the new file is renamed over the one locked, so a
// waiter that then holds the lock of a file no longer at the path tries
// again. The archive's status when locked into *locked; false with errno.
bool LockArchive(const std::string& path, struct stat* locked) {
  for (;;) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat now;
    errno = 0;
    if (flock(fd, LOCK_EX) == 0 && fstat(fd, locked) == 0 && stat(path.c_str(), &now) == 0 &&
        now.st_dev == locked->st_dev && now.st_ino == locked->st_ino)
      return true;  // fd stays open: the lock lasts
    int error = errno;
    close(fd);
    if (error != 0 && error != ENOENT && error != EINTR) {
      errno = error;
      return false;
    }
  }
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint32_t)bytes[at] | (uint32_t)bytes[at + 1] << 8 | (uint32_t)bytes[at + 2] << 16 | (uint32_t)bytes[at + 3] << 24;
}

// Where the certificate table's entry (the security data directory of a
// PE32 or PE32+ header) lies in a package's front, or 0 when it has none.
// The offsets are the PE format's: e_lfanew at 0x3C, the optional header
// 24 bytes past "PE\0\0", and in it the count of data directories at 92
// (PE32) or 108 (PE32+); the certificate table is directory 4, 8 bytes each.
size_t CertificateEntry(const std::vector<uint8_t>& front) {
  if (front.size() < 0x40) return 0;
  size_t pe = Le32(front, 0x3C);
  if (pe > front.size() - 24 || memcmp(&front[pe], "PE\0\0", 4) != 0) return 0;
  size_t optional = pe + 24;
  if (optional + 2 > front.size()) return 0;
  unsigned magic = front[optional] | front[optional + 1] << 8;
  size_t count_at = optional + (magic == 0x10B ? 92 : magic == 0x20B ? 108 : 0);
  if (count_at == optional || count_at + 4 + 5 * 8 > front.size() || Le32(front, count_at) < 5) return 0;
  return count_at + 4 + 4 * 8;
}

// A signature covers the whole file, so it cannot survive a change: its
// entry is cleared (else it would point at bytes that are now members),
// and the user is told. True when the package was signed.
bool DropSignature(std::vector<uint8_t>* front) {
  size_t entry = CertificateEntry(*front);
  if (!entry || (Le32(*front, entry) == 0 && Le32(*front, entry + 4) == 0)) return false;
  memset(&(*front)[entry], 0, 8);
  return true;
}

// Writes the changed archive; for a package that was signed, says that it
// must be signed again.
int WriteChanged(PackCommand* command, bool was_signed) {
  int status = WriteWithProgress(command);
  if (status == EXIT_OK && was_signed && !command->quiet)
    fprintf(stderr,
            "vemosfx %s: warning: '%s' was signed; the signature does not cover the changed file and was "
            "dropped: sign the package again\n",
            command->name, Printable(command->output).c_str());
  return status;
}

// Opens the archive to change and reads it; -1 to go on, else the status.
// *signed_package tells whether it was a signed package (its signature
// entry then cleared); *targets receives the members a package's settings name.
int OpenOld(const char* command, const std::string& path, CommandInput* input, std::vector<OldMember>* old,
            PackJob* job, bool* signed_package, std::vector<std::string>* targets = nullptr) {
  if (path == "-") return UsageError(command, "the archive to change must be a file, not standard input");
  struct stat locked;
  if (!LockArchive(path, &locked)) return Fail(path, strerror(errno));
  if (!S_ISREG(locked.st_mode)) return Refuse(command, "'" + path + "': not a regular file; nothing was changed");
  if (!OpenCommandInput(path.c_str(), input)) return EXIT_FAILED;
  std::string error;
  bool ok = ReadOld(path.c_str(), input, old, &job->front, &error);
  // The new file takes the old one's place where a link leads, with its
  // permissions and owner.
  job->mode = (int)(locked.st_mode & 07777);
  job->uid = locked.st_uid;
  job->gid = locked.st_gid;
  job->before_replace = [path, locked](std::string* problem) {
    struct stat now;
    if (stat(path.c_str(), &now) == 0 && Unchanged(now, locked)) return true;
    *problem = "'" + path + "' was changed by another program meanwhile; nothing was changed (run it again)";
    return false;
  };
  if (ok && signed_package) *signed_package = DropSignature(&job->front);
  job->plain = input->plain;
  job->output = path;
  if (targets) *targets = SettingsTargets(&input->state);
  CloseCommandInput(input);
  return ok ? -1 : Refuse(command, error);
}

// The stored path of a new member, as its key.
std::string NewKey(const MemberSource& m, bool package) {
  StoredName n;
  std::string error;
  MakeStoredName(m.name, m.directory, m.attribute, &n, &error, false, "", !package, m.utf8_name);
  return Key(n.path, package);
}

void Tell(const PackCommand& command, const char* what, const std::string& name) {
  if (command.verbose && !command.quiet) printf("%s %s\n", what, Printable(name).c_str());
}

const char DELETE_USAGE[] =
    "usage: vemosfx delete [-qv] [--names=MODE] ARCHIVE PATTERN...\n"
    "\n"
    "Removes the members that match the PATTERNs (shell patterns; a folder takes\n"
    "what is below it; in a package as Windows compares names). A new file is\n"
    "written beside ARCHIVE and renamed over it when complete; the other members\n"
    "are copied as they are, their CRC checked. A package keeps its stub and\n"
    "settings, and refuses to lose a member its settings name; a signed one loses\n"
    "its signature (a warning says so): sign it again.\n"
    "\n";

const OptionSpec DELETE_OPTIONS[] = {
    QUIET_OPTION,
    {'v', 'v', "verbose", nullptr, "name each member deleted"},
    NAMES_OPTION,
    HELP_OPTION,
    {0, 0, nullptr, nullptr,
     "\nExit status: 0 done, 1 a member failed or the archive cannot be changed\n"
     "(nothing changed), 2 usage, 129/130/143 interrupted by SIGHUP/SIGINT/SIGTERM\n"
     "(nothing changed)."},
};

}  // namespace

// add reads the old archive first (under its lock), then gathers the new
// members with pack's steps, then writes old and new in one list: the old
// order is kept, a replaced member in its old place, new ones at the end.
int CmdAdd(int argc, char** argv) {
  PackCommand command;
  command.name = "add";
  if (int status = ParsePackOptions(argc, argv, &command); status >= 0) return status;
  CommandInput input;
  std::vector<OldMember> old;
  PackJob& job = command.job;
  bool was_signed = false;
  struct stat info;
  if (command.output != "-" && lstat(command.output.c_str(), &info) != 0 && errno == ENOENT &&
      !EndsWithFolded(command.output, ".exe")) {
    // As lha's "a": a missing archive is made, unless another one has
    // made it meanwhile.
    job.plain = true;
    job.output = command.output;
    job.no_replace = true;
  } else if (int status = OpenOld(command.name, command.output, &input, &old, &job, &was_signed); status >= 0) {
    return status;
  }
  if (!job.plain && command.unix_names)
    return UsageError(command.name, "--allow-unix-names is for plain archives; a package is unpacked on Windows");
  if (!job.plain && command.utf8_names)
    return UsageError(command.name, "--names=utf-8 is for plain archives; the stub reads Shift_JIS names");
  if (int status = PrepareCollect(&command); status >= 0) return status;
  if (int status = GatherMembers(&command); status >= 0) return status;

  // Each new member replaces the old one of its name in place (with
  // --update only when newer); the others follow the old ones.
  std::map<std::string, size_t> fresh;
  for (size_t i = 0; i < job.members.size(); ++i) fresh[NewKey(job.members[i], !job.plain)] = i;
  std::vector<MemberSource> result;
  std::vector<bool> placed(job.members.size(), false), replaced(job.members.size(), false);
  for (const OldMember& m : old) {
    auto it = fresh.find(m.key);
    if (it == fresh.end() || placed[it->second]) {
      // A later member that Windows takes for the one just replaced (an
      // older tool let such pairs into a package) goes with it.
      if (it == fresh.end() || !replaced[it->second]) result.push_back(m.copy);
      continue;
    }
    const MemberSource& replacement = job.members[it->second];
    placed[it->second] = true;
    if (command.update && replacement.mtime <= m.header.mtime) {
      result.push_back(m.copy);
    } else {
      Tell(command, "replaced", replacement.name);
      replaced[it->second] = true;
      result.push_back(replacement);
    }
  }
  for (size_t i = 0; i < job.members.size(); ++i) {
    if (placed[i]) continue;
    Tell(command, "added", job.members[i].name);
    result.push_back(job.members[i]);
  }
  job.members.swap(result);
  command.verbose = false;  // told above
  return WriteChanged(&command, was_signed);
}

// delete refuses as a whole: a pattern that matches nothing, or a member a
// package's settings need, changes nothing at all, so a typo never leaves
// an archive with half the intended members gone.
int CmdDelete(int argc, char** argv) {
  OptionParser parser(DELETE_OPTIONS);
  PackCommand command;
  command.name = "delete";
  int c;
  while ((c = parser.Next(argc, argv)) != -1) {
    switch (c) {
      case 'v': command.verbose = true; break;
      case 'q': command.quiet = true; break;
      default:
        if (int status = CommonOption(parser, "delete", DELETE_USAGE, c, argv); status >= 0) return status;
    }
  }
  if (optind >= argc) return UsageError("delete", "no ARCHIVE given");
  if (optind + 1 >= argc) return UsageError("delete", "no PATTERN given (which members to delete?)");
  command.output = argv[optind];
  std::vector<std::string> patterns, match;
  for (int i = optind + 1; i < argc; ++i) patterns.push_back(PatternPath(argv[i]));

  CommandInput input;
  std::vector<OldMember> old;
  PackJob& job = command.job;
  std::vector<std::string> targets;
  bool was_signed = false;
  if (int status = OpenOld(command.name, command.output, &input, &old, &job, &was_signed, &targets); status >= 0)
    return status;
  // In a package a pattern names members as Windows would find them.
  for (const std::string& pattern : patterns) match.push_back(job.plain ? pattern : FoldedPattern(pattern));
  std::vector<bool> matched(patterns.size(), false);
  int status = EXIT_OK;
  for (const OldMember& m : old) {
    bool gone = false;
    std::string path = job.plain ? m.path : KeyUtf8(m.key);
    for (size_t i = 0; i < patterns.size(); ++i)
      if (Matches(match[i], path)) gone = matched[i] = true;
    // A package whose settings name a missing file would fail on Windows.
    if (gone && !job.plain && std::find(targets.begin(), targets.end(), m.key) != targets.end())
      status = Fail(Printable(m.path), "the package's settings name it (shortcut or file to open); it stays");
    if (gone)
      Tell(command, "deleted", m.path);
    else
      job.members.push_back(m.copy);
  }
  for (size_t i = 0; i < patterns.size(); ++i)
    if (!matched[i]) status = Fail(Printable(patterns[i]), "not found in the archive");
  if (status != EXIT_OK) return Refuse("delete", "nothing was changed");
  command.verbose = false;
  return WriteChanged(&command, was_signed);
}

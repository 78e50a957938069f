// vemosfx add ARCHIVE PATH... and vemosfx delete ARCHIVE PATTERN...: an
// archive or package changed by writing a new one beside it, the members
// left alone copied as they are, and renaming it over the old one when
// complete.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

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

// The stored path a member is matched by; in a package letter case does
// not count, as on Windows.
std::string Key(std::string sjis, bool package) {
  while (!sjis.empty() && sjis[0] == '/') sjis.erase(0, 1);
  while (!sjis.empty() && sjis.back() == '/') sjis.pop_back();
  if (!package) return sjis;
  for (char& ch : sjis)  // ASCII letters only; double-byte names stay as they are
    if (ch >= 'a' && ch <= 'z') ch = (char)(ch - 32);
  return sjis;
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
  MemberWalk walk;
  WalkBegin(&walk, &input->state, input->end);
  for (;;) {
    OldMember m;
    int64_t at = walk.next >= 0 ? walk.next : (int64_t)start;
    int32_t read = WalkNext(&walk, &m.header);
    if (read == WALK_END) break;
    int64_t data = StreamPosition(archive), next = walk.next;
    if (read != WALK_MEMBER) {
      *error = std::string("'") + path + "': " + WalkProblem(read) + "; nothing was changed";
      return false;
    }
    const char* local = m.header.name[0] == '/' ? m.header.name + 1 : m.header.name;
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

// Opens the archive to change and reads it; -1 to go on, else the status.
// *targets receives the members a package's settings name.
int OpenOld(const char* command, const std::string& path, CommandInput* input, std::vector<OldMember>* old,
            PackJob* job, std::vector<std::string>* targets = nullptr) {
  if (path == "-") return UsageError(command, "the archive to change must be a file, not standard input");
  if (!OpenCommandInput(path.c_str(), input)) return EXIT_FAILED;
  std::string error;
  bool ok = ReadOld(path.c_str(), input, old, &job->front, &error);
  struct stat info;
  if (ok && stat(path.c_str(), &info) == 0) job->mode = (int)(info.st_mode & 07777);
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

// A name that says package: ".exe" in any case.
bool IsPackageName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& ch : tail) ch = (char)tolower((unsigned char)ch);
  return tail == ".exe";
}

void Tell(const PackCommand& command, const char* what, const std::string& name) {
  if (command.verbose && !command.quiet) printf("%s %s\n", what, Printable(name).c_str());
}

}  // namespace

int CmdAdd(int argc, char** argv) {
  PackCommand command;
  command.name = "add";
  if (int status = ParsePackOptions(argc, argv, &command); status >= 0) return status;
  CommandInput input;
  std::vector<OldMember> old;
  PackJob& job = command.job;
  struct stat info;
  if (command.output != "-" && lstat(command.output.c_str(), &info) != 0 && errno == ENOENT &&
      !IsPackageName(command.output)) {
    // As lha's "a": a missing archive is made.
    job.plain = true;
    job.output = command.output;
  } else if (int status = OpenOld(command.name, command.output, &input, &old, &job); status >= 0) {
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
  std::vector<bool> placed(job.members.size(), false);
  for (const OldMember& m : old) {
    auto it = fresh.find(m.key);
    if (it == fresh.end() || placed[it->second]) {
      result.push_back(m.copy);
      continue;
    }
    const MemberSource& replacement = job.members[it->second];
    placed[it->second] = true;
    if (command.update && replacement.mtime <= m.header.mtime) {
      result.push_back(m.copy);
    } else {
      Tell(command, "replaced", replacement.name);
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
  return WriteWithProgress(&command);
}

int CmdDelete(int argc, char** argv) {
  static const option LONG_OPTIONS[] = {
      {"verbose", no_argument, nullptr, 'v'}, {"quiet", no_argument, nullptr, 'q'}, COMMON_LONG_OPTIONS};
  PackCommand command;
  command.name = "delete";
  optind = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":vqh", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
      case 'v': command.verbose = true; break;
      case 'q': command.quiet = true; break;
      case OPTION_NAMES:
        if (int status = SetNames("delete", optarg)) return status;
        break;
      case OPTION_HELP: {
        // add's help describes both.
        char help[] = "--help";
        char* args[] = {argv[0], help, nullptr};
        return CmdAdd(2, args);
      }
      default: return BadOption("delete", c, argv);
    }
  }
  if (optind >= argc) return UsageError("delete", "no ARCHIVE given");
  if (optind + 1 >= argc) return UsageError("delete", "no PATTERN given (which members to delete?)");
  command.output = argv[optind];
  std::vector<std::string> patterns;
  for (int i = optind + 1; i < argc; ++i) patterns.push_back(PatternPath(argv[i]));

  CommandInput input;
  std::vector<OldMember> old;
  PackJob& job = command.job;
  std::vector<std::string> targets;
  if (int status = OpenOld(command.name, command.output, &input, &old, &job, &targets); status >= 0) return status;
  std::vector<bool> matched(patterns.size(), false);
  int status = EXIT_OK;
  for (const OldMember& m : old) {
    bool gone = false;
    for (size_t i = 0; i < patterns.size(); ++i)
      if (Matches(patterns[i], m.path)) gone = matched[i] = true;
    // A package whose settings name a missing file would fail on Windows.
    if (gone && !job.plain)
      for (const std::string& target : targets)
        if (Key(m.key, true) == target)
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
  return WriteWithProgress(&command);
}

#include "host/links.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extract/run.h"
#include "platform/host_hooks.h"
#include "platform/platform.h"

namespace {

// A core path (Shift_JIS, or UTF-8 as --names says) as the local name.
std::string Local(const char* core) {
  char out[4 * PATH_BUFFER_SIZE + 1];
  if (!HostSjisToUtf8(core, out, sizeof out, false)) return "";
  return out;
}

}  // namespace

bool IsSymbolicLink(const char* path) {
  struct stat info;
  std::string local = Local(path);
  return !local.empty() && lstat(local.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Whole seconds, as the archive stores them: a file extracted from the
// same member has the member's own time and is not newer.
bool IsNewerThan(const char* path, uint32_t mtime) {
  struct stat info;
  std::string local = Local(path);
  return !local.empty() && lstat(local.c_str(), &info) == 0 && info.st_mtime > (time_t)mtime;
}

LinkResult MakeLink(const char* member, bool keep_old, std::string* problem) {
  const char* target = LinkTarget(member);
  std::string name(member, target - 1 - member);
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  std::string local = Local(name.c_str()), local_target = Local(target);
  if (local.empty() || local_target.empty()) {
    *problem = "the name does not fit in a path";
    return LINK_REFUSED;
  }
  if (PlatLinkOnPath(name.c_str())) {
    *problem = "refused: a folder on its path is a symbolic link";
    return LINK_REFUSED;
  }
  // lstat, not stat: an existing link of that name is replaced itself, never
  // followed to what it points at.
  struct stat info;
  if (lstat(local.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      *problem = "refused: a symbolic link does not replace a folder";
      return LINK_REFUSED;
    }
    if (keep_old) return LINK_KEPT;
    unlink(local.c_str());
  }
  // The target is stored as the archive has it, relative or absolute: a
  // link is only a name, and nothing is ever written through one (the run
  // refuses a member whose path passes a link, PlatLinkOnPath).
  MakeParentDirs(name.c_str());
  if (symlink(local_target.c_str(), local.c_str()) != 0) {
    *problem = std::string("cannot create the link: ") + strerror(errno);
    return LINK_REFUSED;
  }
  return LINK_MADE;
}

bool SetOwner(const char* path, const MemberHeader* header) {
  // Ids too large for the header are stored as names alone.
  uint32_t uid = header->has_unix_ids ? header->uid : (uint32_t)-1;
  uint32_t gid = header->has_unix_ids ? header->gid : (uint32_t)-1;
  // As tar does: the names count where this system knows them.
  if (header->user[0])
    if (struct passwd* pw = getpwnam(header->user)) uid = (uint32_t)pw->pw_uid;
  if (header->group[0])
    if (struct group* gr = getgrnam(header->group)) gid = (uint32_t)gr->gr_gid;
  if (uid == (uint32_t)-1 && gid == (uint32_t)-1) return false;
  return HostSetOwner(path, uid, gid);
}

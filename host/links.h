// What extraction makes of a plain archive's Unix members on the host: the
// symbolic links it holds, and the owners it records.
#pragma once
#include <stdint.h>

#include <string>

#include "extract/header.h"

// The results of MakeLink.
enum LinkResult : int32_t {
  LINK_MADE = 0,
  LINK_KEPT = 1,      // an entry of that name exists and -k keeps it
  LINK_REFUSED = 2,   // *problem says why
};

// Makes the symbolic link member "link|target" (a core path, judged
// confined): the link as stored, target untouched. It never replaces a
// folder and is not made through a link on its path; an existing file or
// link of its name is replaced unless keep_old.
LinkResult MakeLink(const char* member, bool keep_old, std::string* problem);

// True when the core path names a symbolic link itself (not followed).
bool IsSymbolicLink(const char* path);
// True when the core path names an entry modified after mtime (seconds
// since 1970; a link itself, not followed).
bool IsNewerThan(const char* path, uint32_t mtime);

// Gives the entry at the core path (not followed, when a link) the owner
// the header records: by the owner names where they are known here, else
// by the numbers. False when the header has none or the change fails.
bool SetOwner(const char* path, const MemberHeader* header);

// Opening what the host tool is given: a package or a plain LZH archive.
#pragma once
#include <string>

#include "extract/payload.h"
#include "platform/host_hooks.h"

// A file that starts with "MZ" is a package: its payload is read as the stub
// reads its own (configuration block at PAYLOAD_OFFSET, then the archive).
// Any other file is a plain archive from its first byte, and *plain is set;
// the caller then chooses its settings (UseDefaultConfig). Returns "" on
// success, else the problem in words.
std::string OpenInput(const char* path, SfxState* state, bool* plain);

// Installs receivers whose only effect is to keep the reader's "Unknown
// header" message quiet: every command reports each problem in its own one
// line. The caller may fill in more receivers and install *callbacks again.
void InstallQuietCallbacks(HostCallbacks* callbacks);

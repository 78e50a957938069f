// The payload: opening the program's own file, the configuration block and
// the double-byte aware path helpers.
#include "extract/payload.h"

#include <stdlib.h>
#include <string.h>

#include "extract/walk.h"
#include "platform/platform.h"
#include "platform/sjis.h"

namespace {

// A malloc'd copy of text; null when there is no memory.
char* CopyText(const char* text) {
  size_t n = strlen(text);
  char* copy = static_cast<char*>(malloc(n + 1));
  if (copy) memcpy(copy, text, n + 1);
  return copy;
}

// One byte of the block. False once the stream's end-of-file indicator is set
// (or the read failed): the block is cut short.
bool ReadByte(FILE* in, uint8_t* out) {
  int c = fgetc(in);
  if (c == EOF || feof(in)) return false;
  *out = (uint8_t)c;
  return true;
}

// A text of n bytes into a fresh zeroed allocation. The allocation is stored
// in *slot before its bytes are read, so that a cut-short block still leaves
// it to FreeSfxState.
bool ReadText(FILE* in, uint32_t n, char** slot) {
  char* text = static_cast<char*>(calloc(n + 1, 1));
  if (!text) return false;
  *slot = text;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t byte;
    if (!ReadByte(in, &byte)) return false;
    text[i] = (char)byte;
  }
  return true;
}

// A length byte followed by that many bytes.
bool ReadCountedText(FILE* in, char** slot) {
  uint8_t n;
  return ReadByte(in, &n) && ReadText(in, n, slot);
}

// The destination: base folder plus sub-path of m bytes read from the block.
// False when the block is cut short or the result would not fit in a path.
bool ReadDestination(SfxState* state, uint8_t base, uint8_t m) {
  char path[PATH_BUFFER_SIZE];
  memset(path, 0, sizeof path);
  if (m == 0) {
    if (!PlatGetCurrentDir(path)) return false;
  } else {
    if (base != 0) {
      char drive[4] = {0, 0, 0, 0};
      // Without a Windows drive the path starts at the current drive's root.
      if (!PlatGetWindowsDrive(drive)) drive[0] = 0;
      drive[2] = 0;
      strcpy(path, drive);
      strcat(path, "\\Program Files\\");
    } else {
      if (!PlatGetCurrentDir(path)) return false;
      if (!AppendSeparator(path)) return false;
    }
    size_t used = strlen(path);
    state->sub_path_at = (uint16_t)used;
    for (uint32_t i = 0; i < m; ++i) {
      uint8_t byte;
      if (!ReadByte(state->archive, &byte)) return false;
      if (used >= PATH_MAX_BYTES) return false;
      path[used++] = (char)byte;
    }
    path[used] = 0;
  }
  state->destination = CopyText(path);
  return state->destination != nullptr;
}

}  // namespace

void InitSfxState(SfxState* state, PlatHandle instance) {
  memset(state, 0, sizeof *state);
  state->instance = instance;
}

void FreeSfxState(SfxState* state) {
  if (state->archive) fclose(state->archive);
  state->archive = nullptr;
  free(state->destination);
  free(state->title);
  free(state->shortcut_target);
  free(state->open_after);
  state->destination = nullptr;
  state->title = nullptr;
  state->shortcut_target = nullptr;
  state->open_after = nullptr;
}

bool OpenPayload(SfxState* state) {
  state->archive = PlatOpenOwnFile(state->module_path);
  if (!state->archive) return false;
  if (!SeekStream(state->archive, PAYLOAD_OFFSET)) return false;
  return ReadConfig(state);
}

bool UseDefaultConfig(SfxState* state) {
  char path[PATH_BUFFER_SIZE];
  state->title = CopyText(DEFAULT_TITLE);
  if (!state->title) return false;
  if (!PlatGetCurrentDir(path)) return false;
  state->destination = CopyText(path);
  return state->destination != nullptr;
}

bool ReadConfig(SfxState* state) {
  FILE* in = state->archive;
  uint8_t present;
  if (!ReadByte(in, &present)) return false;
  if (present == 0) return UseDefaultConfig(state);

  uint8_t n;
  if (!ReadByte(in, &n)) return false;
  if (n == 0) {
    state->title = CopyText(DEFAULT_TITLE);
    if (!state->title) return false;
  } else if (!ReadText(in, n, &state->title)) {
    return false;
  }

  uint8_t base, m;
  if (!ReadByte(in, &base) || !ReadByte(in, &m)) return false;
  state->destination_base = base;
  if (!ReadDestination(state, base, m)) return false;

  if (!ReadCountedText(in, &state->shortcut_target)) return false;
  if (!ReadByte(in, &state->start_menu_option)) return false;
  if (!ReadByte(in, &state->desktop_option)) return false;
  if (!ReadByte(in, &state->send_to_option)) return false;
  if (!ReadCountedText(in, &state->open_after)) return false;
  state->has_config = 1;
  return true;
}

bool AppendSeparator(char* path) {
  size_t n = strlen(path);
  if (n == 0) return true;
  // A final "\" that is the second half of a double-byte character is no
  // separator.
  if (SjisEndsInBackslash(path, n)) return true;
  if (n + 1 > PATH_MAX_BYTES) return false;
  path[n] = '\\';
  path[n + 1] = 0;
  return true;
}

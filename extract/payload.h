// The payload behind the stub: where it lies, the configuration block that
// opens it, and the one state record shared by the front end and the worker.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "platform/floor.h"

// File offset of the payload inside a package: the stub's exact size. The
// x86_64 twin of the stub, which runs the front end under 64-bit Wine where
// 32-bit programs cannot run, is larger and is built with an offset of its
// own.
#if defined(VEMO_TWIN_PAYLOAD_OFFSET)
const uint32_t PAYLOAD_OFFSET = VEMO_TWIN_PAYLOAD_OFFSET;
#else
const uint32_t PAYLOAD_OFFSET = 23040;
#endif

#define DEFAULT_TITLE "Vemo SFX"

// Bits of the three shortcut option bytes.
const uint8_t OPTION_ENABLED = 1;  // the checkbox may be changed
const uint8_t OPTION_CREATE = 2;   // the shortcut is wanted


struct SfxState {
  PlatHandle instance;
  char module_path[PATH_BUFFER_SIZE];
  PlatHandle main_window;
  PlatHandle label_window;
  PlatHandle abort_box;
  FILE* archive;
  char output_path[NAME_BUFFER_SIZE];
  char* destination;
  char* title;
  char* shortcut_target;
  char* open_after;
  uint8_t start_menu_option;
  uint8_t desktop_option;
  uint8_t send_to_option;
  uint8_t has_config;
  // The destination as the block stores it, for listings: the base byte (0:
  // the current folder, else Program Files) and where in destination the
  // stored sub-path starts (0: the block holds none).
  uint8_t destination_base;
  uint16_t sub_path_at;
  // Written by the worker before it reports OUTCOME_FAILED, read by the front
  // end only after that report.
  FailureKind failure;
  char failure_name[NAME_BUFFER_SIZE];
};

// Construction: sets instance, clears every other field.
void InitSfxState(SfxState* state, PlatHandle instance);
// Tear-down: closes the archive stream (when open) and frees the texts.
void FreeSfxState(SfxState* state);

// Opens the program's own file, seeks to PAYLOAD_OFFSET and reads the block.
bool OpenPayload(SfxState* state);
// Reads the configuration block at the archive stream's position.
bool ReadConfig(SfxState* state);
// The settings of a payload without a configuration block (present byte 0):
// default title, destination = the current directory, has_config = 0.
bool UseDefaultConfig(SfxState* state);

// Appends "\" to a non-empty path in a PATH_BUFFER_SIZE buffer unless it
// already ends in a real "\". False (path unchanged) when there is no room.
bool AppendSeparator(char* path);

// One LZH member header (levels 0, 1 and 2) read from the archive stream.
#pragma once
#include <stdint.h>
#include "extract/payload.h"

const uint32_t HEADER_BUFFER_SIZE = 4096;

struct MemberHeader {
  char method[5];
  uint32_t packed_size;
  uint32_t unpacked_size;
  uint32_t raw_time;
  uint8_t attribute;
  uint8_t level;
  char name[PATH_BUFFER_SIZE];
  uint16_t crc;
  uint8_t has_crc;
  uint8_t os_id;
  uint32_t mtime;
#if !defined(_WIN32)
  // Unix permission bits from extended header 0x50; only the host uses them.
  uint16_t unix_mode;
  uint8_t has_unix_mode;
  // The owner from extended headers 0x51 to 0x53 (names empty when absent).
  uint8_t has_unix_ids;
  uint16_t uid, gid;
  char user[33], group[33];
#endif
};

// Results of ReadMemberHeader. Only HEADER_READ is positive, so the result can
// be tested like the boolean "a header was read".
enum HeaderResult : int32_t {
  HEADER_READ = 1,      // a header was read; the stream stands on its data
  HEADER_END = 0,       // the archive ended normally (0 byte or end of stream)
  HEADER_DAMAGED = -1,  // short read or a malformed header (no message shown)
  HEADER_UNKNOWN = -2,  // "Unknown header" was shown to the user
};

int32_t ReadMemberHeader(SfxState* state, MemberHeader* header);
void ConvertBackslashes(char* name, uint32_t count);
uint32_t DosTimeToUnix(uint32_t dos_time);

// One LZH member header read from the archive stream: levels 0, 1 and 2 in
// the stub; in the host tool also level 3, level-2 headers of 256 bytes and
// more, 64-bit sizes and the metadata other systems store (extract/wide.h).
#pragma once
#include <stdint.h>
#include "decode/member.h"
#include "extract/payload.h"

// Headers are read into one buffer: the stub's holds its 4096 bytes; the
// host's a level-2 header of the largest size its 16 bits give, and as much
// of a level-1 or level-3 chain.
const uint32_t STUB_HEADER_BUFFER_SIZE = 4096;
const uint32_t HEADER_BUFFER_SIZE = kHostTool ? 1u << 17 : STUB_HEADER_BUFFER_SIZE;

struct MemberHeader {
  char method[5];
  MemberSize packed_size;
  MemberSize unpacked_size;
  uint32_t raw_time;
  uint8_t attribute;
  uint8_t level;
  char name[NAME_BUFFER_SIZE];
  uint16_t crc;
  uint8_t has_crc;
  uint8_t os_id;
  uint32_t mtime;
#if !defined(_WIN32)
  // Unix permission bits from extended header 0x50 (or a level-0 Unix
  // area); only the host uses them.
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
  // (-3 is the walk's)
  HEADER_CHECKSUM = -4,  // host: the header's checksum or CRC does not match its bytes
};

HeaderResult ReadMemberHeader(SfxState* state, MemberHeader* header);
// The stub's reader, whatever the build: in the host, for the tests of the
// stub's rules (ReadMemberHeader is the wide form there).
HeaderResult ReadStubMemberHeader(SfxState* state, MemberHeader* header);
void ConvertBackslashes(char* name, uint32_t count);
uint32_t DosTimeToUnix(uint32_t dos_time);
// Host: the method index of a name that other archivers give a method the
// tool decodes (extract/wide.cpp); -1 for any other.
int32_t FindHostMethod(const char* method);
// The method index of a member's method name (FindMethod), and in the host
// tool also of FindHostMethod's names; -1 when there is none.
inline int32_t FindMemberMethod(const char* method) {
  int32_t index = FindMethod(method);
  if constexpr (kHostTool) {
    if (index < 0) index = FindHostMethod(method);
  }
  return index;
}

// The host tool's reading beyond the stub (see wide.h). The whole file is
// the host's: the stub neither compiles nor links any of it.
#include "extract/wide.h"

#if !defined(_WIN32)
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "decode/bitio.h"
#include "decode/format.h"
#include "decode/member.h"
#include "platform/floor.h"

namespace {

uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

uint32_t Le32(const uint8_t* p) { return (uint32_t)Le16(p) | (uint32_t)Le16(p + 2) << 16; }

// Stored members past 4 GiB are copied this many bytes at a time.
const uint32_t WIDE_CHUNK = 1u << 20;

}  // namespace

void ReadUnixArea(const uint8_t* area, MemberHeader* header) {
  const uint32_t time = Le32(area + UNIX_AREA_TIME_AT);
  if (time != 0) header->mtime = time;
  header->unix_mode = Le16(area + UNIX_AREA_MODE_AT);
  header->has_unix_mode = 1;
  header->uid = Le16(area + UNIX_AREA_UID_AT);
  header->gid = Le16(area + UNIX_AREA_GID_AT);
  header->has_unix_ids = 1;
}

void ReadWideExtension(uint8_t type, const uint8_t* data, uint32_t length, MemberHeader* header) {
  if (type == EXT_SIZES_64 && length >= SIZES_64_SIZE) {
    // At level 1 the packed size still counts the extended headers, as the
    // 32-bit field it replaces does; the reader takes them off afterwards.
    header->packed_size = Le64(data);
    header->unpacked_size = Le64(data + 8);
  } else if (type == EXT_WINDOWS_TIMES && length >= WINDOWS_TIMES_SIZE) {
    // The modification time, over the basic header's; times before 1970 or
    // past 2106 are left to it.
    const uint64_t ticks = Le64(data + WINDOWS_MODIFIED_AT);
    if (ticks >= WINDOWS_UNIX_EPOCH) {
      const uint64_t seconds = (ticks - WINDOWS_UNIX_EPOCH) / WINDOWS_TICKS_PER_SECOND;
      if (seconds != 0 && seconds <= 0xFFFFFFFFu) header->mtime = (uint32_t)seconds;
    }
  } else if (type == EXT_UNIX_MODE && length >= 2) {
    header->unix_mode = Le16(data);
    header->has_unix_mode = 1;
  } else if (type == EXT_UNIX_IDS && length >= 4) {
    header->gid = Le16(data);
    header->uid = Le16(data + 2);
    header->has_unix_ids = 1;
  } else if ((type == EXT_UNIX_USER || type == EXT_UNIX_GROUP) && length < sizeof header->user) {
    char* owner = type == EXT_UNIX_USER ? header->user : header->group;
    memcpy(owner, data, length);
    owner[length] = 0;
  }
}

uint32_t LocalDosTimeToUnix(uint32_t dos_time) {
  if (dos_time == 0) return 0;
  struct tm local;
  memset(&local, 0, sizeof local);
  local.tm_sec = (int)(dos_time & 0x1F) * 2;
  local.tm_min = (int)((dos_time >> 5) & 0x3F);
  local.tm_hour = (int)((dos_time >> 11) & 0x1F);
  local.tm_mday = (int)((dos_time >> 16) & 0x1F);
  local.tm_mon = (int)((dos_time >> 21) & 0x0F) - 1;
  local.tm_year = (int)((dos_time >> 25) & 0x7F) + 80;
  // Whether daylight saving time was in force on that date is for the
  // zone's rules to say.
  local.tm_isdst = -1;
  const time_t t = mktime(&local);
  return t < 0 || (uint64_t)t > 0xFFFFFFFFu ? DosTimeToUnix(dos_time) : (uint32_t)t;
}

int32_t FindHostMethod(const char* method) {
  // PMarc's stored method is a plain copy, as -lh0- is.
  if (!memcmp(method, "-pm0-", METHOD_NAME_SIZE)) return METHOD_LH0;
  return -1;
}

uint16_t DecodeAnySize(FILE* in, FILE* out, const MemberHeader* header, int32_t method, DecodeStatus* status) {
  if (!IsWideMember(header))
    return DecodeMember(in, out, (uint32_t)header->unpacked_size, (uint32_t)header->packed_size, method, status);
  // Only a stored member gets here (CheckMember refuses the others).
  *status = DECODE_DONE;
  uint8_t* buffer = static_cast<uint8_t*>(malloc(WIDE_CHUNK));
  if (!buffer) {
    *status = DECODE_NO_MEMORY;
    return 0;
  }
  if (g_crc_table[1] == 0) BuildCrcTable();
  uint16_t crc = 0;
  for (uint64_t done = 0; done < header->unpacked_size;) {
    const uint64_t left = header->unpacked_size - done;
    const uint32_t chunk = left < WIDE_CHUNK ? (uint32_t)left : WIDE_CHUNK;
    if (fread(buffer, 1, chunk, in) != chunk) {
      *status = DECODE_DAMAGED;
      break;
    }
    fwrite(buffer, 1, chunk, out);
    crc = Crc16(crc, buffer, chunk);
    done += chunk;
    // The progress counts 32 bits: past 4 GiB - 1 the bar waits for the end.
    UpdateProgress(done > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)done);
    if (!g_continue) {
      *status = DECODE_ABORTED;
      break;
    }
  }
  free(buffer);
  return crc;
}
#endif

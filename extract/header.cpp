// The LZH member header reader: levels 0, 1 and 2 with the file-name,
// directory-name, attribute and Unix-time extended headers.
//
// Layout of the three levels, as far as the reader depends on it:
//   byte 0     h. Levels 0 and 1: the basic header is h + 2 bytes. Level 2:
//              the whole header, extended headers included, is h bytes (the
//              size is 16 bits, but byte 1, its high byte, must be 0 here).
//   2..20      method, packed and unpacked size, time, attribute, level.
//   levels 0/1 n at 21 and the name at 22; behind it d = h - n tells what
//              follows: 20 nothing, 22 a CRC, 24 or more a CRC and an OS id
//              (level 0 may carry more bytes, never read). Level 1 ends with
//              the size of the first extended header at offset h.
//   level 2    no name in the basic header (n = 0): CRC at 21, OS id at 23,
//              the first extended-header size at 24, so h >= 26.
// Extended headers: G bytes each, a type, G - 3 data bytes and the next
// size (0 ends the chain). For level 1 they follow the basic header and
// the stored packed size counts them; for level 2 they lie inside h.
#include "extract/header.h"

#include <string.h>

#include "decode/format.h"
#include "platform/platform.h"

namespace {

// Days before the first of each month (index 1 to 12) of a common year.
const uint32_t CUMULATIVE_DAYS[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};


uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

bool ReadExactly(FILE* in, uint8_t* to, uint32_t count) {
  return count == 0 || fread(to, 1, count, in) == count;
}

// Directory names use "\", "/" or 0xFF as separators; each becomes "/". The
// byte after a lead byte belongs to its character and is left alone. Stops at
// the first zero byte.
void ConvertDirectoryName(uint8_t* name, uint32_t count) {
  uint32_t i = 0;
  while (i < count && name[i] != 0) {
    if (IsLeadByte(name[i])) {
      if (i + 1 < count && name[i + 1] == 0) break;
      i += 2;
      continue;
    }
    if (name[i] == '\\' || name[i] == '/' || name[i] == 0xFF) name[i] = '/';
    ++i;
  }
}

uint32_t DosMonth(uint32_t dos_time) { return (dos_time >> 21) & 0x0F; }

// The body of ReadMemberHeader; buffer is the call's header buffer, whose
// read position is kept in state->header_cursor.
int32_t ReadHeader(SfxState* state, MemberHeader* header, uint8_t* buffer) {
  FILE* in = state->archive;

  int first = getc(in);
  if (first == EOF || first == 0) return HEADER_END;
  const uint32_t h = (uint32_t)first;
  // Too short to hold the level byte at offset 20.
  if (h <= 20) return HEADER_DAMAGED;
  buffer[0] = (uint8_t)h;
  if (!ReadExactly(in, buffer + 1, h - 1)) return HEADER_DAMAGED;
  const uint8_t level = buffer[20];
  if (level == 2) {
    // The size is byte 0 alone and must reach the first extended-header size.
    if (h < 26 || buffer[1] != 0) return HEADER_DAMAGED;
  } else if (!ReadExactly(in, buffer + h, 2)) {
    return HEADER_DAMAGED;
  }
  // Bytes held: h for level 2, h + 2 otherwise.
  uint32_t held = level == 2 ? h : h + 2;

  header->header_size = (uint8_t)h;
  memcpy(header->method, buffer + 2, 5);
  header->packed_size = Le32(buffer + 7);
  header->unpacked_size = Le32(buffer + 11);
  header->raw_time = Le32(buffer + 15);
  header->attribute = buffer[19];
  header->level = level;

  const uint8_t* file_name = nullptr;
  uint32_t file_length = 0;
  uint32_t pos;
  int32_t n = 0;
  if (level != 2) {
    n = buffer[21];
    file_name = buffer + 22;
    file_length = (uint32_t)n;
    pos = 22 + (uint32_t)n;
  } else {
    pos = 21;
  }
  state->header_cursor = buffer + pos;

  const int32_t d = (int32_t)h - n;
  if (d >= 24) {
    header->crc = Le16(buffer + pos);
    header->os_id = buffer[pos + 2];
    header->has_crc = 1;
    pos += 3;
  } else if (d == 22) {
    header->crc = Le16(buffer + pos);
    header->has_crc = 1;
    pos += 2;
  } else if (d != 20) {
    PlatShowError(state->main_window, "Unknown header", DEFAULT_TITLE);
    return HEADER_UNKNOWN;
  }

  const uint8_t* directory = nullptr;
  uint32_t directory_length = 0;
  if (level != 0) {
    // Level 2 holds its chain inside the h bytes already read; the others
    // read each extended header from the stream behind the basic header.
    const uint32_t start = level == 2 ? pos : h;
    pos = start;
    uint32_t size = Le16(buffer + pos);
    pos += 2;
    while (size != 0) {
      // Each one holds at least its type byte and the next size.
      if (size < 3) return HEADER_DAMAGED;
      if (level == 2) {
        // An OS-9 archiver ("K") states its level-2 size 2 bytes short: the
        // chain, read by its own sizes, ends 2 bytes behind h, and the data
        // starts there. Exactly that is taken; any other overrun is damage.
        // Once taken, held is h + 2 and any further header overruns it.
        if (size > held - pos) {
          if (header->os_id != 'K' || pos + size != h + 2 || fread(buffer + h, 1, 2, in) != 2)
            return HEADER_DAMAGED;
          held = h + 2;
        }
      } else {
        if (size > HEADER_BUFFER_SIZE - pos) return HEADER_DAMAGED;
        if (!ReadExactly(in, buffer + pos, size)) return HEADER_DAMAGED;
      }
      const uint8_t type = buffer[pos];
      uint8_t* data = buffer + pos + 1;
      const uint32_t length = size - 3;
      state->header_cursor = data;
      if (type == EXT_FILE_NAME) {
        file_name = data;
        file_length = length;
      } else if (type == EXT_DIRECTORY) {
        ConvertDirectoryName(data, length);
        directory = data;
        directory_length = length;
      } else if (type == EXT_UNIX_TIME) {
        // Exact on every level, unlike the MS-DOS time of levels 0 and 1,
        // which is the local time of the machine that made the archive.
        if (length >= 4) header->mtime = Le32(data);
      } else if (type == EXT_ATTRIBUTE) {
        if (length >= 1 && (header->os_id == 'M' || header->os_id == 'H' || header->os_id == 0))
          header->attribute = data[0];
      }
#if !defined(_WIN32)
      if (type == EXT_UNIX_MODE && length >= 2) {
        header->unix_mode = (uint16_t)(data[0] | data[1] << 8);
        header->has_unix_mode = 1;
      }
#endif
      pos += 1 + length;
      size = Le16(buffer + pos);
      pos += 2;
    }
    if (level != 2 && pos != start + 2) {
      const uint32_t extended = pos - start - 2;
      // Data cannot be shorter than the extended headers it is said to hold.
      if (header->packed_size < extended) return HEADER_DAMAGED;
      header->packed_size -= extended;
      header->header_size = (uint8_t)(h + extended);
    }
  }

  if (directory_length + file_length > PATH_MAX_BYTES) return HEADER_DAMAGED;
  char* end = header->name;
  if (directory_length) {
    memcpy(end, directory, directory_length);
    end += directory_length;
    // One "/" joins a directory part that does not end in one (as an Amiga
    // archiver writes it) to a file name.
    if (file_length && end[-1] != '/') *end++ = '/';
  }
  if (file_length) memcpy(end, file_name, file_length);
  // At most PATH_BUFFER_SIZE bytes were written; the name and its
  // terminator must fit.
  const uint32_t k = (uint32_t)(end + file_length - header->name);
  if (k > PATH_MAX_BYTES) return HEADER_DAMAGED;
  header->name[k] = 0;
  ConvertBackslashes(header->name, k);

  uint32_t time = header->raw_time;
  if (level != 2) {
    if (DosMonth(time) > 12) return HEADER_DAMAGED;
    time = DosTimeToUnix(time);
  }
  // A Unix-time extended header has set mtime already (a time of 0 there
  // counts as absent).
  if (header->mtime == 0) header->mtime = time;
  return HEADER_READ;
}

}  // namespace

int32_t ReadMemberHeader(SfxState* state, MemberHeader* header) {
  memset(header, 0, sizeof *header);
  // Static: a frame this large would need stack probes, which the stub's
  // build leaves out. Headers are read by one thread at a time.
  static uint8_t buffer[HEADER_BUFFER_SIZE];
  int32_t result = ReadHeader(state, header, buffer);
  // The cursor points into this call's buffer; it must not outlive it.
  state->header_cursor = nullptr;
  return result;
}

void ConvertBackslashes(char* name, uint32_t count) {
  uint32_t i = 0;
  while (i < count) {
    uint8_t byte = (uint8_t)name[i];
    if (IsLeadByte(byte) && i + 1 < count) {
      uint8_t next = (uint8_t)name[i + 1];
      if (next >= 0x40 && next <= 0xFC && next != 0x7F) {
        i += 2;
        continue;
      }
    }
    if (byte == '\\') name[i] = '/';
    ++i;
  }
}

uint32_t DosTimeToUnix(uint32_t dos_time) {
  if (dos_time == 0) return 0;
  const uint32_t seconds = (dos_time & 0x1F) * 2;
  const uint32_t minute = (dos_time >> 5) & 0x3F;
  const uint32_t hour = (dos_time >> 11) & 0x1F;
  const uint32_t day = (dos_time >> 16) & 0x1F;
  const uint32_t month = DosMonth(dos_time);
  const uint32_t y = (dos_time >> 25) & 0x7F;
  // Months 13 to 15 do not exist; they count no days rather than reading
  // past the table (the reader refuses such headers before it gets here).
  const uint32_t before = month <= 12 ? CUMULATIVE_DAYS[month] : 0;
  // (y + 11) / 4 leap days since 1970, plus the days of 1970 to 1979.
  uint32_t days = 365 * y + (y + 11) / 4 + 3649 + before + day;
  if ((1980 + y) % 4 == 0 && month >= 3) days += 1;
  const uint32_t local = ((days * 24 + hour) * 60 + minute) * 60 + seconds;
  return local + (uint32_t)PlatTimezoneOffset();
}

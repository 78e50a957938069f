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
#include "extract/run.h"
#include "platform/platform.h"
#include "platform/sjis.h"

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
// second byte of a double-byte character is left alone. Stops at the first
// zero byte.
void ConvertDirectoryName(uint8_t* name, uint32_t count) {
  for (uint32_t i = 0; i < count && name[i] != 0; i += SjisCharLength(name + i, count - i))
    if (name[i] == '\\' || name[i] == '/' || name[i] == FOLDER_SEPARATOR) name[i] = '/';
}

uint32_t DosMonth(uint32_t dos_time) { return (dos_time >> 21) & 0x0F; }

// A header being read: the buffer holding its bytes and what has been found
// in them so far.
struct HeaderBytes {
  FILE* in;
  uint8_t* buffer;
  uint32_t h;     // byte 0
  uint32_t held;  // bytes in buffer: h for level 2, h + 2 for the others
  uint32_t pos;   // the next field
  const uint8_t* file_name;
  uint32_t file_length;
  const uint8_t* directory;
  uint32_t directory_length;
};

// The fixed fields up to the level byte, and for levels 0 and 1 the name.
int32_t ReadBasicFields(HeaderBytes* b, MemberHeader* header) {
  int first = getc(b->in);
  if (first == EOF || first == 0) return HEADER_END;
  const uint32_t h = (uint32_t)first;
  uint8_t* buffer = b->buffer;
  // Too short to hold the level byte.
  if (h <= HEADER_LEVEL_AT) return HEADER_DAMAGED;
  buffer[0] = (uint8_t)h;
  if (!ReadExactly(b->in, buffer + 1, h - 1)) return HEADER_DAMAGED;
  const uint8_t level = buffer[HEADER_LEVEL_AT];
  if (level == 2) {
    // The size is byte 0 alone and must reach the first extended-header size.
    if (h < LEVEL2_BASIC_SIZE || buffer[1] != 0) return HEADER_DAMAGED;
  } else if (!ReadExactly(b->in, buffer + h, 2)) {
    return HEADER_DAMAGED;
  }
  b->h = h;
  b->held = level == 2 ? h : h + 2;

  memcpy(header->method, buffer + HEADER_METHOD_AT, METHOD_NAME_SIZE);
  header->packed_size = Le32(buffer + HEADER_PACKED_AT);
  header->unpacked_size = Le32(buffer + HEADER_UNPACKED_AT);
  header->raw_time = Le32(buffer + HEADER_TIME_AT);
  header->attribute = buffer[HEADER_ATTRIBUTE_AT];
  header->level = level;
  b->pos = LEVEL2_CRC_AT;
  if (level != 2) {
    b->file_length = buffer[HEADER_NAME_LENGTH_AT];
    b->file_name = buffer + HEADER_NAME_AT;
    b->pos = HEADER_NAME_AT + b->file_length;
  }
  return HEADER_READ;
}

// What follows the name: d = h - n tells whether a CRC and an OS id do.
int32_t ReadCrcAndOsId(SfxState* state, HeaderBytes* b, MemberHeader* header) {
  const int32_t d = (int32_t)b->h - (int32_t)b->file_length;
  const uint8_t* at = b->buffer + b->pos;
  if (d >= HEADER_LAYOUT_OS_ID) {
    header->os_id = at[2];
    b->pos += 1;
  } else if (d != HEADER_LAYOUT_CRC) {
    if (d == HEADER_LAYOUT_BARE) return HEADER_READ;
    PlatShowError(state->main_window, "Unknown header", DEFAULT_TITLE);
    return HEADER_UNKNOWN;
  }
  header->crc = Le16(at);
  header->has_crc = 1;
  b->pos += 2;
  return HEADER_READ;
}

// The chain of extended headers. Level 2 holds it inside the h bytes read
// already; the others read each one from the stream behind the basic header,
// and their packed size counts them.
int32_t ReadExtendedHeaders(HeaderBytes* b, MemberHeader* header) {
  uint8_t* buffer = b->buffer;
  const uint32_t h = b->h;
  const bool level2 = header->level == 2;
  const uint32_t start = level2 ? b->pos : h;
  uint32_t pos = start;
  uint32_t size = Le16(buffer + pos);
  pos += 2;
  while (size != 0) {
    // Each one holds at least its type byte and the next size.
    if (size < EXT_OVERHEAD) return HEADER_DAMAGED;
    if (level2) {
      // An OS-9 archiver states its level-2 size 2 bytes short: the chain,
      // read by its own sizes, ends 2 bytes behind h, and the data starts
      // there. Exactly that is taken; any other overrun is damage. Once
      // taken, held is h + 2 and any further header overruns it.
      if (size > b->held - pos) {
        if (header->os_id != OS_ID_OS9 || pos + size != h + 2 || fread(buffer + h, 1, 2, b->in) != 2)
          return HEADER_DAMAGED;
        b->held = h + 2;
      }
    } else {
      if (size > HEADER_BUFFER_SIZE - pos) return HEADER_DAMAGED;
      if (!ReadExactly(b->in, buffer + pos, size)) return HEADER_DAMAGED;
    }
    const uint8_t type = buffer[pos];
    uint8_t* data = buffer + pos + 1;
    const uint32_t length = size - EXT_OVERHEAD;
    if (type == EXT_FILE_NAME) {
      b->file_name = data;
      b->file_length = length;
    } else if (type == EXT_DIRECTORY) {
      ConvertDirectoryName(data, length);
      b->directory = data;
      b->directory_length = length;
    } else if (type == EXT_UNIX_TIME) {
      // Exact on every level, unlike the MS-DOS time of levels 0 and 1,
      // which is the local time of the machine that made the archive.
      if (length >= 4) header->mtime = Le32(data);
    } else if (type == EXT_ATTRIBUTE) {
      if (length >= 1 && (header->os_id == OS_ID_MSDOS || header->os_id == OS_ID_HUMAN68K || header->os_id == 0))
        header->attribute = data[0];
    }
#if !defined(_WIN32)
    if (type == EXT_UNIX_MODE && length >= 2) {
      header->unix_mode = (uint16_t)(data[0] | data[1] << 8);
      header->has_unix_mode = 1;
    } else if (type == EXT_UNIX_IDS && length >= 4) {
      header->gid = (uint16_t)(data[0] | data[1] << 8);
      header->uid = (uint16_t)(data[2] | data[3] << 8);
      header->has_unix_ids = 1;
    } else if ((type == EXT_UNIX_USER || type == EXT_UNIX_GROUP) && length < sizeof header->user) {
      char* owner = type == EXT_UNIX_USER ? header->user : header->group;
      memcpy(owner, data, length);
      owner[length] = 0;
    }
#endif
    pos += 1 + length;
    size = Le16(buffer + pos);
    pos += 2;
  }
  if (!level2 && pos != start + 2) {
    const uint32_t extended = pos - start - 2;
    // Data cannot be shorter than the extended headers it is said to hold.
    if (header->packed_size < extended) return HEADER_DAMAGED;
    header->packed_size -= extended;
  }
  return HEADER_READ;
}

// The member's path: the directory part, one "/" where it does not end in
// one (as an Amiga archiver writes it), and the file name.
bool JoinName(const HeaderBytes* b, MemberHeader* header) {
  const uint32_t directory_length = b->directory_length;
  const uint32_t file_length = b->file_length;
  if (directory_length + file_length > PATH_MAX_BYTES) return false;
  char* end = header->name;
  if (directory_length) {
    memcpy(end, b->directory, directory_length);
    end += directory_length;
    if (file_length && end[-1] != '/') *end++ = '/';
  }
  if (file_length) memcpy(end, b->file_name, file_length);
  // At most PATH_BUFFER_SIZE bytes were written; the name and its
  // terminator must fit.
  const uint32_t k = (uint32_t)(end + file_length - header->name);
  if (k > PATH_MAX_BYTES) return false;
  header->name[k] = 0;
  // A name made on Unix may hold "\" as a character of its own; the host
  // keeps it when told to allow Unix names (the stub never is: its
  // g_allow_unix_names is the constant 0).
  if (!(g_allow_unix_names && header->os_id == OS_ID_UNIX)) ConvertBackslashes(header->name, k);
  return true;
}

// The body of ReadMemberHeader; buffer is the call's header buffer.
int32_t ReadHeader(SfxState* state, MemberHeader* header, uint8_t* buffer) {
  HeaderBytes b = {};
  b.in = state->archive;
  b.buffer = buffer;
  int32_t result = ReadBasicFields(&b, header);
  if (result == HEADER_READ) result = ReadCrcAndOsId(state, &b, header);
  if (result == HEADER_READ && header->level != 0) result = ReadExtendedHeaders(&b, header);
  if (result != HEADER_READ) return result;
  if (!JoinName(&b, header)) return HEADER_DAMAGED;

  uint32_t time = header->raw_time;
  if (header->level != 2) {
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
  return ReadHeader(state, header, buffer);
}

void ConvertBackslashes(char* name, uint32_t count) {
  uint8_t* p = reinterpret_cast<uint8_t*>(name);
  for (uint32_t i = 0; i < count; i += SjisCharLength(p + i, count - i))
    if (p[i] == '\\') p[i] = '/';
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

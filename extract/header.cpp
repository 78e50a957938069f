// The LZH member header reader: levels 0, 1 and 2 with the file-name,
// directory-name, attribute and Unix-time extended headers; in its wide form
// (the host tool's) also level 3, level-2 headers of 256 bytes or more,
// long paths, the header's checksum or CRC, and what extract/wide.h reads.
// The layouts are described with their offsets in decode/format.h.
//
// The two forms are one template whose kWide is a constant: the stub's
// build instantiates the narrow form only, the host's both (its tests run
// the stub's form too).
#include "extract/header.h"

#include <string.h>

#include "decode/bitio.h"
#include "decode/format.h"
#include "extract/run.h"
#include "extract/wide.h"
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

// True for the levels whose extended headers lie inside the header's
// stated size (2, and in the wide form 3); every level other than 0 and
// these is read as level 1.
template <bool kWide>
bool ChainInside(uint8_t level) { return level == 2 || (kWide && level == 3); }

// The bytes of a header the reader holds, and the longest path it takes.
template <bool kWide>
constexpr uint32_t HeaderLimit() { return kWide ? HEADER_BUFFER_SIZE : STUB_HEADER_BUFFER_SIZE; }
template <bool kWide>
constexpr uint32_t NameLimit() { return kWide ? NAME_MAX_BYTES : PATH_MAX_BYTES; }

// A header being read: the buffer holding its bytes and what has been found
// in them so far.
struct HeaderBytes {
  FILE* in;
  uint8_t* buffer;
  uint32_t h;     // levels 0 and 1: byte 0; levels 2 and 3: the header's size
  uint32_t held;  // bytes in buffer: h for levels 2 and 3, h + 2 for the others
  uint32_t pos;   // the next field
  const uint8_t* file_name;
  uint32_t file_length;
  uint8_t* directory;
  uint32_t directory_length;
  uint32_t crc_at;  // wide: where the header CRC's data lies (0: none seen)
};

// A header whose size byte is 0: its common part says level 2 with a high
// size byte, and a method name between dashes.
bool IsUnpaddedLevel2(const uint8_t* common) {
  const uint8_t* method = common + HEADER_METHOD_AT;
  return common[HEADER_LEVEL_AT] == 2 && common[HEADER_SIZE_AT + 1] != 0 && method[0] == '-' &&
         method[METHOD_NAME_SIZE - 1] == '-';
}

// The rest of the wide form's basic header. Its common part is read first,
// since only the level byte says how the size is to be read (byte 0 of a
// level-2 header of 256 bytes or more is any value, that of level 3 the
// word size's low byte); then what that size covers.
bool ReadSizedHeader(HeaderBytes* b) {
  uint8_t* buffer = b->buffer;
  const uint8_t level = buffer[HEADER_LEVEL_AT];
  uint32_t size = buffer[HEADER_SIZE_AT], held = size + 2, have = HEADER_COMMON_SIZE;
  if (level == 2) {
    size = held = Le16(buffer + HEADER_SIZE_AT);
    if (size < LEVEL2_BASIC_SIZE) return false;
  } else if (level == 3) {
    if (Le16(buffer + HEADER_SIZE_AT) != LEVEL3_WORD_SIZE ||
        !ReadExactly(b->in, buffer + have, LEVEL3_BASIC_SIZE - have))
      return false;
    have = LEVEL3_BASIC_SIZE;
    size = held = Le32(buffer + LEVEL3_HEADER_SIZE_AT);
    if (size < LEVEL3_BASIC_SIZE) return false;
  } else if (size <= HEADER_LEVEL_AT) {
    // Levels 0 and 1, and as in the stub any other level is read as level 1.
    return false;
  }
  if (held > HEADER_BUFFER_SIZE || !ReadExactly(b->in, buffer + have, held - have)) return false;
  b->h = size;
  b->held = held;
  return true;
}

// The fixed fields up to the level byte, and for levels 0 and 1 the name.
template <bool kWide>
HeaderResult ReadBasicFields(HeaderBytes* b, MemberHeader* header) {
  int first = getc(b->in);
  if (first == EOF || (first == 0 && !kWide)) return HEADER_END;
  const uint32_t h = (uint32_t)first;
  uint8_t* buffer = b->buffer;
  buffer[0] = (uint8_t)h;
  if constexpr (kWide) {
    if (!ReadExactly(b->in, buffer + 1, HEADER_COMMON_SIZE - 1)) return first == 0 ? HEADER_END : HEADER_DAMAGED;
    // A 0 ends the archive, unless a level-2 header of a size that is a
    // multiple of 256 starts there (some archivers write them unpadded;
    // lhasa and 7z read them).
    if (first == 0 && !IsUnpaddedLevel2(buffer)) return HEADER_END;
    if (!ReadSizedHeader(b)) return HEADER_DAMAGED;
  } else {
    // Too short to hold the level byte.
    if (h <= HEADER_LEVEL_AT) return HEADER_DAMAGED;
    if (!ReadExactly(b->in, buffer + 1, h - 1)) return HEADER_DAMAGED;
    if (buffer[HEADER_LEVEL_AT] == 2) {
      // The size is byte 0 alone and must reach the first extended-header size.
      if (h < LEVEL2_BASIC_SIZE || buffer[1] != 0) return HEADER_DAMAGED;
    } else if (!ReadExactly(b->in, buffer + h, 2)) {
      return HEADER_DAMAGED;
    }
    b->h = h;
    b->held = buffer[HEADER_LEVEL_AT] == 2 ? h : h + 2;
  }
  const uint8_t level = buffer[HEADER_LEVEL_AT];

  memcpy(header->method, buffer + HEADER_METHOD_AT, METHOD_NAME_SIZE);
  header->packed_size = Le32(buffer + HEADER_PACKED_AT);
  header->unpacked_size = Le32(buffer + HEADER_UNPACKED_AT);
  header->raw_time = Le32(buffer + HEADER_TIME_AT);
  header->attribute = buffer[HEADER_ATTRIBUTE_AT];
  header->level = level;
  b->pos = LEVEL2_CRC_AT;
  if (!ChainInside<kWide>(level)) {
    b->file_length = buffer[HEADER_NAME_LENGTH_AT];
    b->file_name = buffer + HEADER_NAME_AT;
    b->pos = HEADER_NAME_AT + b->file_length;
  }
  return HEADER_READ;
}

// What follows the name: d = h - n tells whether a CRC and an OS id do.
template <bool kWide>
HeaderResult ReadCrcAndOsId(SfxState* state, HeaderBytes* b, MemberHeader* header) {
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
  // Level 0 has no extended headers; Unix archivers put the time, mode and
  // owner into an area behind the CRC, marked by the OS id 'U'.
  if constexpr (kWide) {
    if (header->level == 0 && d >= HEADER_LAYOUT_UNIX && header->os_id == OS_ID_UNIX) ReadUnixArea(at + 2, header);
  }
  return HEADER_READ;
}

// The size of the next extended header at p: 2 bytes, 4 at level 3.
uint32_t NextSize(const uint8_t* p, bool wide) { return wide ? Le32(p) : Le16(p); }

// The chain of extended headers. Levels 2 and 3 hold it inside the bytes
// read already; the others read each one from the stream behind the basic
// header, and their packed size counts them.
template <bool kWide>
HeaderResult ReadExtendedHeaders(HeaderBytes* b, MemberHeader* header) {
  uint8_t* buffer = b->buffer;
  const uint32_t h = b->h;
  const bool inside = ChainInside<kWide>(header->level);
  const bool wide = kWide && header->level == 3;
  const uint32_t size_bytes = wide ? LEVEL3_WORD_SIZE : 2;
  const uint32_t overhead = 1 + size_bytes;  // type and next size
  const uint32_t start = wide ? LEVEL3_FIRST_EXT_AT : inside ? b->pos : h;
  uint32_t pos = start;
  uint32_t size = NextSize(buffer + pos, wide);
  pos += size_bytes;
  while (size != 0) {
    // Each one holds at least its type byte and the next size.
    if (size < overhead) return HEADER_DAMAGED;
    if (inside) {
      // An OS-9 archiver states its level-2 size 2 bytes short: the chain,
      // read by its own sizes, ends 2 bytes behind h, and the data starts
      // there. Exactly that is taken; any other overrun is damage. Once
      // taken, held is h + 2 and any further header overruns it.
      if (size > b->held - pos) {
        if (header->os_id != OS_ID_OS9 || wide || pos + size != h + 2 ||
            h + 2 > HeaderLimit<kWide>() || fread(buffer + h, 1, 2, b->in) != 2)
          return HEADER_DAMAGED;
        b->held = h + 2;
      }
    } else {
      if (size > HeaderLimit<kWide>() - pos) return HEADER_DAMAGED;
      if (!ReadExactly(b->in, buffer + pos, size)) return HEADER_DAMAGED;
    }
    const uint8_t type = buffer[pos];
    uint8_t* data = buffer + pos + 1;
    const uint32_t length = size - overhead;
    if (type == EXT_FILE_NAME) {
      b->file_name = data;
      b->file_length = length;
    } else if (type == EXT_DIRECTORY) {
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
    if constexpr (kWide) {
      if (type == EXT_HEADER_CRC && length >= 2) b->crc_at = pos + 1;
      ReadWideExtension(type, data, length, header);
    }
    pos += 1 + length;
    size = NextSize(buffer + pos, wide);
    pos += size_bytes;
  }
  if constexpr (kWide) {
    // Where the chain ends, for the header CRC of level 1.
    if (!inside) b->held = pos;
  }
  if (!inside && pos != start + 2) {
    const uint32_t extended = pos - start - 2;
    // Data cannot be shorter than the extended headers it is said to hold.
    if (header->packed_size < extended) return HEADER_DAMAGED;
    header->packed_size -= extended;
  }
  return HEADER_READ;
}

// The wide form's check of what the header says about its own bytes:
// levels 0 and 1 carry a checksum of the basic header (bytes 2 to h + 1); a
// header CRC extended header covers the whole header, itself taken as 0.
bool HeaderSumsMatch(HeaderBytes* b, uint8_t level) {
  uint8_t* buffer = b->buffer;
  if (!ChainInside<true>(level)) {
    uint8_t sum = 0;
    for (uint32_t i = 2; i < b->h + 2; ++i) sum = (uint8_t)(sum + buffer[i]);
    if (sum != buffer[HEADER_CHECKSUM_AT]) return false;
  }
  if (b->crc_at == 0) return true;
  uint8_t* field = buffer + b->crc_at;
  const uint16_t stored = Le16(field);
  field[0] = field[1] = 0;
  if (g_crc_table[1] == 0) BuildCrcTable();
  const uint16_t crc = Crc16(0, buffer, b->held);
  field[0] = (uint8_t)stored;
  field[1] = (uint8_t)(stored >> 8);
  return crc == stored;
}

// The member's path: the directory part, one "/" where it does not end in
// one (as an Amiga archiver writes it), and the file name.
template <bool kWide>
bool JoinName(const HeaderBytes* b, MemberHeader* header) {
  const uint32_t directory_length = b->directory_length;
  // Converted only now: the header's CRC covers the stored bytes.
  ConvertDirectoryName(b->directory, directory_length);
  const uint32_t file_length = b->file_length;
  if (directory_length + file_length > NameLimit<kWide>()) return false;
  char* end = header->name;
  if (directory_length) {
    memcpy(end, b->directory, directory_length);
    end += directory_length;
    if (file_length && end[-1] != '/') *end++ = '/';
  }
  if (file_length) memcpy(end, b->file_name, file_length);
  // At most NameLimit + 1 bytes were written; the name and its terminator
  // must fit.
  const uint32_t k = (uint32_t)(end + file_length - header->name);
  if (k > NameLimit<kWide>()) return false;
  header->name[k] = 0;
  // A name made on Unix may hold "\" as a character of its own; the host
  // keeps it when told to allow Unix names (the stub never is: its
  // g_allow_unix_names is the constant 0).
  if (!(g_allow_unix_names && header->os_id == OS_ID_UNIX)) ConvertBackslashes(header->name, k);
  return true;
}

// The body of ReadMemberHeader; buffer is the call's header buffer.
template <bool kWide>
HeaderResult ReadHeader(SfxState* state, MemberHeader* header, uint8_t* buffer) {
  HeaderBytes b = {};
  b.in = state->archive;
  b.buffer = buffer;
  HeaderResult result = ReadBasicFields<kWide>(&b, header);
  if (result == HEADER_READ) result = ReadCrcAndOsId<kWide>(state, &b, header);
  if (result == HEADER_READ && header->level != 0) result = ReadExtendedHeaders<kWide>(&b, header);
  if (result != HEADER_READ) return result;
  if constexpr (kWide) {
    if (!HeaderSumsMatch(&b, header->level)) return HEADER_CHECKSUM;
  }
  if (!JoinName<kWide>(&b, header)) return HEADER_DAMAGED;

  uint32_t time = header->raw_time;
  if (!ChainInside<kWide>(header->level)) {
    if (DosMonth(time) > 12) return HEADER_DAMAGED;
    // The wide form converts a local time with the rules of its own date
    // (daylight saving time included); the stub's with the standard offset.
    if constexpr (kWide)
      time = LocalDosTimeToUnix(time);
    else
      time = DosTimeToUnix(time);
  }
  // A Unix-time extended header has set mtime already (a time of 0 there
  // counts as absent).
  if (header->mtime == 0) header->mtime = time;
  return HEADER_READ;
}

}  // namespace

// Static: a frame this large would need stack probes, which the stub's
// build leaves out. Headers are read by one thread at a time.
static uint8_t g_header_buffer[HEADER_BUFFER_SIZE];

HeaderResult ReadMemberHeader(SfxState* state, MemberHeader* header) {
  memset(header, 0, sizeof *header);
  return ReadHeader<kHostTool>(state, header, g_header_buffer);
}

HeaderResult ReadStubMemberHeader(SfxState* state, MemberHeader* header) {
  memset(header, 0, sizeof *header);
  return ReadHeader<false>(state, header, g_header_buffer);
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

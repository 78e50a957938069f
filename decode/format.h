// Facts of the LZH format that the reader (decode/, extract/), the host
// tool's input sniffing and listing (host/) and the writer (pack/) all use;
// each is written here once, with the rules that tie one to another checked
// by the compiler.
#pragma once
#include <stdint.h>

// ---- Member headers ---------------------------------------------------------
//
// Format notes. Every level starts with the same 21 bytes: a size field,
// one byte that depends on the level, the method name, packed size,
// unpacked size, time, attribute and level byte. Then:
//   levels 0 and 1: byte 0 is h, the basic header is h + 2 bytes; byte 1
//     is the header checksum, the sum of bytes 2 to h + 1 modulo 256. The
//     name length n at 21 and the name at 22; d = h - n says what follows
//     the name (HEADER_LAYOUT_*). Level 1 ends its basic header with the
//     size of the first extended header, and its packed size counts the
//     extended headers that follow the basic header. The time is an MS-DOS
//     date and time, local to the machine that wrote it.
//   level 2: bytes 0 and 1 are the total header size (extended headers
//     included, 16 bits); the CRC at 21, OS id at 23, first extended-header
//     size at 24. The time is seconds since 1970 UTC.
//   level 3: bytes 0 and 1 hold the word size, 4: the total header size is
//     the 4 bytes at 24, the first extended-header size the 4 bytes at 28,
//     and each extended header ends in a 4-byte next size. Otherwise as
//     level 2.
// A first byte of 0 where a header would start ends the archive.
const uint32_t HEADER_SIZE_AT = 0;
const uint32_t HEADER_CHECKSUM_AT = 1;  // levels 0 and 1
const uint32_t HEADER_METHOD_AT = 2;
const uint32_t METHOD_NAME_SIZE = 5;  // "-lh5-": "-", three letters, "-"
const uint32_t HEADER_PACKED_AT = 7;
const uint32_t HEADER_UNPACKED_AT = 11;
const uint32_t HEADER_TIME_AT = 15;
const uint32_t HEADER_ATTRIBUTE_AT = 19;
const uint32_t HEADER_LEVEL_AT = 20;
const uint32_t HEADER_COMMON_SIZE = 21;  // the bytes every level starts with
static_assert(HEADER_METHOD_AT + METHOD_NAME_SIZE == HEADER_PACKED_AT, "the sizes follow the method");
static_assert(HEADER_LEVEL_AT + 1 == HEADER_COMMON_SIZE, "the level byte ends the common part");

// Levels 0 and 1: the name, and what d = h - n says follows it.
const uint32_t HEADER_NAME_LENGTH_AT = 21;
const uint32_t HEADER_NAME_AT = 22;
const int32_t HEADER_LAYOUT_BARE = 20;    // nothing: no CRC
const int32_t HEADER_LAYOUT_CRC = 22;     // the data's CRC-16
const int32_t HEADER_LAYOUT_OS_ID = 24;   // CRC and OS id (level 0: then maybe a Unix area)
static_assert(HEADER_NAME_AT - 2 == (uint32_t)HEADER_LAYOUT_BARE, "h counts from byte 2");
// The Unix extended area of a level-0 header behind its CRC (d = 34): the
// OS id 'U', a version byte, then the time (seconds since 1970 UTC), the
// mode, the user id and the group id.
const int32_t HEADER_LAYOUT_UNIX = 34;
const uint32_t UNIX_AREA_TIME_AT = 2;  // from the OS id
const uint32_t UNIX_AREA_MODE_AT = 6;
const uint32_t UNIX_AREA_UID_AT = 8;
const uint32_t UNIX_AREA_GID_AT = 10;
const uint32_t UNIX_AREA_SIZE = 12;
static_assert(HEADER_LAYOUT_CRC + (int32_t)UNIX_AREA_SIZE == HEADER_LAYOUT_UNIX, "CRC, then the area");

// Levels 2 and 3.
const uint32_t LEVEL2_CRC_AT = 21;
const uint32_t LEVEL2_OS_ID_AT = 23;
const uint32_t LEVEL2_FIRST_EXT_AT = 24;
const uint32_t LEVEL2_BASIC_SIZE = 26;  // up to and with the first extended-header size
const uint32_t LEVEL3_WORD_SIZE = 4;
const uint32_t LEVEL3_HEADER_SIZE_AT = 24;
const uint32_t LEVEL3_FIRST_EXT_AT = 28;
const uint32_t LEVEL3_BASIC_SIZE = 32;
static_assert(LEVEL2_FIRST_EXT_AT + 2 == LEVEL2_BASIC_SIZE, "a 2-byte first size ends level 2's basic header");
static_assert(LEVEL3_FIRST_EXT_AT + LEVEL3_WORD_SIZE == LEVEL3_BASIC_SIZE, "level 3's sizes are words");
// The levels this system reads: the stub 0 to 2, the host tool also 3.
const uint8_t LEVEL_STUB_MAX = 2;
const uint8_t LEVEL_HOST_MAX = 3;

// Extended headers: a type byte, the data, and the size of the next one (2
// bytes, 4 at level 3; 0 ends the chain). A header's size counts all three,
// so EXT_OVERHEAD is what it adds to its data at levels 1 and 2.
const uint32_t EXT_OVERHEAD = 3;
const uint8_t EXT_HEADER_CRC = 0x00;  // CRC-16 of the whole header, taken with itself 0
const uint8_t EXT_FILE_NAME = 0x01;
const uint8_t EXT_DIRECTORY = 0x02;
const uint8_t EXT_ATTRIBUTE = 0x40;
const uint8_t EXT_WINDOWS_TIMES = 0x41;  // creation, modification, access: 100 ns since 1601 UTC
const uint8_t EXT_SIZES_64 = 0x42;       // packed size, then unpacked size: 64 bits each
const uint8_t EXT_UNIX_MODE = 0x50;
const uint8_t EXT_UNIX_IDS = 0x51;  // group id, then user id
const uint8_t EXT_UNIX_GROUP = 0x52;
const uint8_t EXT_UNIX_USER = 0x53;
const uint8_t EXT_UNIX_TIME = 0x54;
const uint32_t WINDOWS_MODIFIED_AT = 8;  // in EXT_WINDOWS_TIMES' data
const uint32_t WINDOWS_TIMES_SIZE = 24;
// From 1601-01-01 to 1970-01-01 in the Windows time's 100 ns units.
const uint64_t WINDOWS_UNIX_EPOCH = 116444736000000000ull;
const uint64_t WINDOWS_TICKS_PER_SECOND = 10000000;
const uint32_t SIZES_64_SIZE = 16;
// Separates folders in the directory extended header.
const uint8_t FOLDER_SEPARATOR = 0xFF;

// The OS id byte: the system the archive was made on.
const uint8_t OS_ID_MSDOS = 'M';
const uint8_t OS_ID_HUMAN68K = 'H';  // a DOS-like system: its attribute byte means the same
const uint8_t OS_ID_OS9 = 'K';
const uint8_t OS_ID_UNIX = 'U';

// A package is a Windows program: its file starts with these two bytes.
const char PACKAGE_MAGIC[2] = {'M', 'Z'};

// ---- -lh4- to -lh7- (and -lhx-): blocks of Huffman codes ----------------------
//
// Format notes. The character/length alphabet holds 256 literals, then the
// match lengths MATCH_MIN to MATCH_MAX. A block starts with the count of its
// codes (BLOCK_CODES_BITS), then three codes, each as its code lengths:
//   the code-length code: a count (LENGTH_CODE_COUNT_BITS) and that many
//     length fields; behind the third one LENGTH_CODE_ZERO_RUN_BITS say how
//     many of the next lengths are 0 (its symbols 3 to 5 stand for the
//     shortest lengths, seldom used, so their zeros are sent cheaply);
//   the character code: a count (CHAR_COUNT_BITS) and that many lengths,
//     each a symbol of the code-length code: 0 is one zero length, 1 a
//     short run of zeros (ZERO_RUN_SHORT_BITS more), 2 a long one
//     (ZERO_RUN_LONG_BITS more), k above 2 the length k - 2;
//   the position code: a count (PositionCountBits) and that many length
//     fields.
// A count of 0 sends instead one value, in as many bits, that every code of
// that kind decodes to without taking a bit. A length field is 3 bits; 7 is
// an escape that goes on in unary: every further 1 bit adds one, a 0 ends it.
const int32_t MATCH_MIN = 3;
const int32_t MATCH_MAX = 256;
const int32_t CHAR_SYMBOLS = 256 + MATCH_MAX - MATCH_MIN + 1;
const uint32_t MATCH_BIAS = 256 - MATCH_MIN;  // a length symbol less this is the match length
// -lzs- counts its lengths from 2.
const uint32_t LZS_MATCH_BIAS = 254;
const int32_t CODE_BITS_MAX = 16;  // the longest code of any block code

const uint32_t BLOCK_CODES_BITS = 16;
const uint32_t LENGTH_CODE_COUNT_BITS = 5;
const uint32_t CHAR_COUNT_BITS = 9;
const int32_t LENGTH_CODE_ZERO_RUN_AT = 3;  // the zero run follows this many lengths
const uint32_t LENGTH_CODE_ZERO_RUN_BITS = 2;
const uint32_t LENGTH_SYMBOL_BIAS = 2;  // code-length symbol k > 2 is the length k - 2
const uint32_t ZERO_RUN_SHORT = 1;      // the code-length symbols of zero runs
const uint32_t ZERO_RUN_LONG = 2;
const uint32_t ZERO_RUN_SHORT_BITS = 4;
const uint32_t ZERO_RUN_SHORT_MIN = 3;
const uint32_t ZERO_RUN_LONG_BITS = 9;
const uint32_t ZERO_RUN_LONG_MIN = 20;
const int32_t LENGTH_CODE_SYMBOLS = (int32_t)LENGTH_SYMBOL_BIAS + 1 + CODE_BITS_MAX;
const uint32_t LENGTH_FIELD_BITS = 3;
const uint32_t LENGTH_FIELD_ESCAPE = 7;

static_assert(MATCH_BIAS + MATCH_MIN == 256, "the first length symbol follows the literals");
static_assert(CHAR_SYMBOLS == 510, "the character alphabet");
static_assert(LENGTH_CODE_SYMBOLS == 19, "lengths 1 to 16 behind the three zero symbols");
static_assert(CHAR_SYMBOLS < (1 << BLOCK_CODES_BITS), "a block count holds a whole alphabet");
static_assert(CHAR_SYMBOLS < (1 << CHAR_COUNT_BITS), "the character count and single value fit their field");
static_assert(LENGTH_CODE_SYMBOLS < (1 << LENGTH_CODE_COUNT_BITS), "the code-length count fits its field");
static_assert(LENGTH_CODE_ZERO_RUN_AT + (1 << LENGTH_CODE_ZERO_RUN_BITS) - 1 <= LENGTH_CODE_SYMBOLS,
              "the zero run after the third length stays inside the code-length code");
static_assert(LENGTH_SYMBOL_BIAS + 1 == (uint32_t)LENGTH_CODE_ZERO_RUN_AT,
              "the zero run covers the symbols of the shortest lengths");
// Runs of 1 and 2 zeros are cheaper as single zero symbols; 19 takes a short
// run and one zero; from 20 on one long run, which can clear the whole
// alphabet.
static_assert(ZERO_RUN_SHORT_MIN == 3, "short runs start where single zeros stop paying");
static_assert(ZERO_RUN_LONG_MIN == ZERO_RUN_SHORT_MIN + (1u << ZERO_RUN_SHORT_BITS) + 1,
              "a long run starts one past what a short run and a zero cover");
static_assert(ZERO_RUN_LONG_MIN + (1u << ZERO_RUN_LONG_BITS) - 1 >= (uint32_t)CHAR_SYMBOLS,
              "one long run clears the whole character alphabet");
static_assert(LENGTH_FIELD_ESCAPE == (1u << LENGTH_FIELD_BITS) - 1, "the escape is the field's top value");

// The position classes of a block method with a dictionary of 2^dict_bits
// bytes: class 0 is distance value 0, class k > 0 the values 2^(k-1) to
// 2^k - 1, sent as the class and its k - 1 low bits. Enough classes to
// reach 2^dict_bits - 1, at least 14; and the bits of the count that sends
// their code lengths.
constexpr int32_t PositionClasses(int32_t dict_bits) { return dict_bits <= 13 ? 14 : dict_bits + 1; }
constexpr int32_t PositionCountBits(int32_t dict_bits) { return dict_bits <= 13 ? 4 : 5; }
// The largest block dictionary: -lhx- (experiments with its readers show a
// 2^19-byte window, 20 position classes and a 5-bit count).
const int32_t BLOCK_DICT_BITS_MAX = 19;
constexpr bool PositionFieldsFit(int32_t dict_bits) {
  return PositionClasses(dict_bits) < (1 << PositionCountBits(dict_bits)) &&
         PositionClasses(dict_bits) - 1 >= dict_bits;
}
static_assert(PositionClasses(12) == 14 && PositionClasses(13) == 14 && PositionClasses(15) == 16 &&
                  PositionClasses(16) == 17 && PositionClasses(BLOCK_DICT_BITS_MAX) == 20,
              "-lh4- to -lh7- and -lhx-");
static_assert(PositionFieldsFit(12) && PositionFieldsFit(13) && PositionFieldsFit(15) && PositionFieldsFit(16) &&
                  PositionFieldsFit(BLOCK_DICT_BITS_MAX),
              "each count holds its classes, and the classes reach the whole dictionary");

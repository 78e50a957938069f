// Facts of the LZH format that the reader (decode/, extract/) and the writer
// (pack/) both use; each is written here once.
#pragma once
#include <stdint.h>

// Member headers: the bytes of a level-2 header before its extended
// headers, the bytes every extended header adds to its data (type byte and
// the next header's 2-byte size), and the extended-header types.
const uint32_t LEVEL2_BASIC_SIZE = 26;
const uint32_t EXT_OVERHEAD = 3;
const uint8_t EXT_HEADER_CRC = 0x00;
const uint8_t EXT_FILE_NAME = 0x01;
const uint8_t EXT_DIRECTORY = 0x02;
const uint8_t EXT_ATTRIBUTE = 0x40;
const uint8_t EXT_UNIX_MODE = 0x50;
const uint8_t EXT_UNIX_IDS = 0x51;  // group id, then user id
const uint8_t EXT_UNIX_GROUP = 0x52;
const uint8_t EXT_UNIX_USER = 0x53;
const uint8_t EXT_UNIX_TIME = 0x54;
// Separates folders in the directory extended header.
const uint8_t FOLDER_SEPARATOR = 0xFF;
// The OS id byte: the system the archive was made on.
const uint8_t OS_ID_MSDOS = 'M';
const uint8_t OS_ID_HUMAN68K = 'H';  // a DOS-like system: its attribute byte means the same
const uint8_t OS_ID_OS9 = 'K';
const uint8_t OS_ID_UNIX = 'U';

// -lh4- to -lh7-: the character/length alphabet (256 literals, then match
// lengths 3 to 256), the code-length code that sends its lengths, and the
// bias from a length symbol to its match length.
const int32_t CHAR_SYMBOLS = 510;
const int32_t LENGTH_CODE_SYMBOLS = 19;
const uint32_t MATCH_BIAS = 253;
// -lzs- counts its lengths from 2.
const uint32_t LZS_MATCH_BIAS = 254;

// The position classes of a block method with a dictionary of 2^dict_bits
// bytes (class 0 is distance 1, class k > 0 covers 2^(k-1) distances), and
// the bits of the count that sends their code lengths.
inline int32_t PositionClasses(int32_t dict_bits) {
  return dict_bits <= 14 ? 14 : dict_bits == 16 ? 17 : 16;
}
inline int32_t PositionCountBits(int32_t dict_bits) { return dict_bits <= 14 ? 4 : 5; }

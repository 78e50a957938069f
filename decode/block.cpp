// -lh4- to -lh7-: blocks of codes, each block sending its own Huffman codes
// for the 510 character/length symbols (through a 19-symbol code-length code)
// and for the position classes.
#include <string.h>

#include "decode/bitio.h"
#include "decode/format.h"
#include "decode/block_loop.h"
#include "decode/member.h"
#include "decode/methods.h"
#include "decode/loop.h"
#include "decode/table.h"
#include "platform/floor.h"

uint16_t g_block_left;
int32_t g_pos_symbols;
int32_t g_pos_count_bits;


void StartBlockMethod() {
  g_pos_symbols = PositionClasses(g_dict_bits);
  g_pos_count_bits = PositionCountBits(g_dict_bits);
  InitBits();
  g_block_left = 0;
}

// A table of code lengths sent with a fixed-size count (count_bits bits; a
// count of 0 means one value for every code, sent next, whose code takes no
// bits). Each length is 3 bits; 7 is an escape that continues in unary: every
// further 1 bit adds one, a 0 bit ends it (so 7 is "1110", 8 "11110", ...).
// For the code-length code (special = 3), the third length is followed by 2
// bits: that many of the next lengths are 0 (symbols 3 to 5 stand for the
// shortest lengths, seldom used, so their zero lengths are sent cheaply).
void ReadPosLengths(int16_t n, int32_t count_bits, int32_t special) {
  if (n > POS_LEN_SIZE) n = (int16_t)POS_LEN_SIZE;
  int32_t count = GetBits((uint8_t)count_bits);
  if (count == 0) {
    SetSingleCode(n, g_pos_len, 8, g_pos_table, GetBits((uint8_t)count_bits));
    return;
  }
  // count is below 32 and a zero run adds at most 3, so i stays inside
  // g_pos_len (128 entries).
  int32_t i = 0;
  while (i < count) {
    uint32_t c = g_bit_buf >> (16 - LENGTH_FIELD_BITS);
    if (c == LENGTH_FIELD_ESCAPE) {
      for (uint32_t mask = 1u << 12; g_bit_buf & mask; mask >>= 1) ++c;
    }
    FillBits((uint8_t)(c < LENGTH_FIELD_ESCAPE ? LENGTH_FIELD_BITS : c - 3));
    g_pos_len[i++] = (uint8_t)c;
    if (i == special) {
      for (int32_t z = GetBits(LENGTH_CODE_ZERO_RUN_BITS); z > 0; --z) g_pos_len[i++] = 0;
    }
  }
  while (i < n) g_pos_len[i++] = 0;
  BuildCode(n, g_pos_len, 8, g_pos_table);
}

// The 510 character/length code lengths, each sent in the code-length code:
// symbol 0 is one zero length, 1 is 3 to 18 zeros (4 more bits), 2 is 20 to
// 531 zeros (9 more bits), and symbol k above 2 is length k - 2. A count of
// 0 again means a single value whose code takes no bits.
void ReadCharLengths() {
  int32_t count = GetBits(CHAR_COUNT_BITS);
  if (count == 0) {
    SetSingleCode(CHAR_SYMBOLS, g_char_len, 12, g_char_table, GetBits(CHAR_COUNT_BITS));
    return;
  }
  // A damaged count or zero run may ask for more than 510 lengths: they are
  // read from the stream, but only the first 510 are kept.
  int32_t i = 0;
  while (i < count) {
    const uint32_t c = DecodeSymbol(g_pos_table, g_pos_len, 8, LENGTH_CODE_SYMBOLS);
    if (c > LENGTH_SYMBOL_BIAS) {
      if (i < CHAR_SYMBOLS) g_char_len[i] = (uint8_t)(c - LENGTH_SYMBOL_BIAS);
      ++i;
      continue;
    }
    int32_t zeros = c == 0               ? 1
                    : c == ZERO_RUN_SHORT ? GetBits(ZERO_RUN_SHORT_BITS) + ZERO_RUN_SHORT_MIN
                                          : GetBits(ZERO_RUN_LONG_BITS) + ZERO_RUN_LONG_MIN;
    for (; zeros > 0; --zeros, ++i)
      if (i < CHAR_SYMBOLS) g_char_len[i] = 0;
  }
  while (i < CHAR_SYMBOLS) g_char_len[i++] = 0;
  BuildCode(CHAR_SYMBOLS, g_char_len, 12, g_char_table);
}

void ReadBlockHeader() {
  g_block_left = GetBits(BLOCK_CODES_BITS);
  ReadPosLengths(LENGTH_CODE_SYMBOLS, LENGTH_CODE_COUNT_BITS, LENGTH_CODE_ZERO_RUN_AT);
  ReadCharLengths();
  ReadPosLengths((int16_t)g_pos_symbols, g_pos_count_bits, -1);
}

uint16_t DecodeCharBlock() {
  if (g_block_left == 0) ReadBlockHeader();
  --g_block_left;
  return (uint16_t)DecodeSymbol(g_char_table, g_char_len, 12, CHAR_SYMBOLS);
}

uint16_t DecodePosBlock() {
  const uint32_t j = DecodeSymbol(g_pos_table, g_pos_len, 8, (uint32_t)g_pos_symbols);
  if (j == 0) return 0;
  return (uint16_t)((1u << (j - 1)) + GetBits((uint8_t)(j - 1)));
}

#if VEMO_BLOCK_LOOP

// Per block, the lookup tables again with each symbol's code length beside
// it (length << 16 | symbol), so a short code costs one load; entries that
// lead into the tree (or to NO_CODE) keep their value with LONG_CODE set.
const uint32_t LONG_CODE = 0x80000000u;
static uint32_t char_codes[CHAR_TABLE_SIZE];
static uint32_t pos_codes[POS_TABLE_SIZE];

// Position entries go one step further: a short code carries its length
// (bits 0-7), the count of extra bits after it (8-15) and the distance those
// bits add to (16-31), so a whole distance costs one load and one shift.
// Other entries hold POS_LONG in bits 0-7 and the table's entry in 16-31.
const uint32_t POS_LONG = 0xFF;

static void PackPosCodes(uint32_t n) {
  for (uint32_t e = 0; e < POS_TABLE_SIZE; ++e) {
    const uint32_t j = g_pos_table[e];
    if (j >= n)
      pos_codes[e] = j << 16 | POS_LONG;
    else if (j == 0)
      pos_codes[e] = g_pos_len[0];
    else
      pos_codes[e] = (1u << (j - 1)) << 16 | (j - 1) << 8 | g_pos_len[j];
  }
}

// The packed entry of every value a table slot can hold: a symbol below
// CHAR_SYMBOLS, a tree node or NO_CODE. Packing a table is then one lookup
// per slot; only the symbols' part changes from block to block.
static uint32_t char_entry[NO_CODE + 1];

static void PackCharCodes() {
  for (uint32_t j = 0; j < (uint32_t)CHAR_SYMBOLS; ++j) char_entry[j] = (uint32_t)g_char_len[j] << 16 | j;
  if (char_entry[NO_CODE] == 0)
    for (uint32_t j = CHAR_SYMBOLS; j <= NO_CODE; ++j) char_entry[j] = LONG_CODE | j;
#pragma GCC unroll 8
  for (uint32_t e = 0; e < (uint32_t)CHAR_TABLE_SIZE; ++e) char_codes[e] = char_entry[g_char_table[e]];
}

static inline uint64_t LoadBigEndian64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// DecodeCharBlock and DecodePosBlock step for step, with the bit window, the
// input position and the block's count in locals of the loop; they go back
// to the globals (with g_bit_buf) around every call that reads bits itself.
// Loaded bits run ahead of the 16 that g_bit_buf shows: before each code at
// least 48 are loaded, enough for a character code, a position code and its
// extra bits (16 + 16 + 15 bits); longer consumptions (damaged lengths) go
// through FillBits. Bulk loads OR the next eight input bytes below the
// loaded bits: bits past the counted bytes are the true coming bits, so
// loading them again is harmless.
struct BlockDecoder {
  uint64_t w;
  uint32_t avail;
  const uint8_t* in;
  // The last position from which a bulk load may take its eight bytes:
  // within the member and within the buffer.
  const uint8_t* bulk_end;
  uint32_t left;
  uint32_t pos_symbols;

  BlockDecoder() : left(g_block_left), pos_symbols((uint32_t)g_pos_symbols) {
    Load();
    if (left != 0) PackTables();
  }
  void Save() {
    g_bit_window = w;
    g_bit_avail = avail;
    g_bit_buf = (uint16_t)(w >> 48);
    uint32_t taken = (uint32_t)(in - g_in_buf) - g_in_buf_pos;
    g_in_buf_pos += taken;
    g_packed_left -= taken;
  }
  void Load() {
    w = g_bit_window;
    avail = g_bit_avail;
    in = g_in_buf + g_in_buf_pos;
    uint32_t room = g_in_buf_size - g_in_buf_pos;
    const uint32_t bulk = g_packed_left < room ? g_packed_left : room;
    // Below 8 bytes no bulk load (null lies below every buffer).
    bulk_end = bulk >= 8 ? in + (bulk - 8) : nullptr;
  }
  void PackTables() {
    PackCharCodes();
    PackPosCodes(pos_symbols);
  }
  VEMO_LOOP_INLINE void Ensure() {
    if (__builtin_expect(avail < 48, 0)) {
      if (__builtin_expect(in <= bulk_end, 1)) {
        // Whole bytes up to 56 bits or more: avail + 8 * bytes is avail | 56.
        w |= LoadBigEndian64(in) >> avail;
        in += (63 - avail) >> 3;
        avail |= 56;
      } else {
        Save();
        RefillBitWindow();
        Load();
      }
    }
  }
  VEMO_LOOP_INLINE void Consume(uint32_t n) {
    if (n <= 16) {
      w <<= n;
      avail -= n;
    } else {
      Save();
      FillBits((uint8_t)n);
      Load();
    }
  }
  VEMO_LOOP_INLINE uint32_t Char() {
    if (__builtin_expect(left == 0, 0)) {
      Save();
      ReadBlockHeader();
      Load();
      left = g_block_left;
      PackTables();
    }
    left = (left - 1) & 0xFFFF;
    Ensure();
    const uint32_t code = char_codes[w >> 52];
    if (__builtin_expect(!(code & LONG_CODE), 1)) {
      w <<= code >> 16;  // at most 16
      avail -= code >> 16;
      return code & 0xFFFF;
    }
    const uint32_t j = WalkTree(code & 0xFFFF, CHAR_SYMBOLS, (uint32_t)(w >> 48), 1u << 3);
    Consume(g_char_len[j]);
    return j;
  }
  // Codes in bulk, while the block has codes left and the window area
  // lasts: a budget of codes that cannot carry pos past end by more than
  // one match (256 bytes each), so the loop tests neither the block's count
  // nor pos per code; a char entry whose code the table resolves tells a
  // literal from a match in one test. Returns the new pos; it stops before
  // a code that needs the tree (Char and Pos take that), leaving it unread.
  static constexpr bool kRuns = true;
  VEMO_LOOP_INLINE uint32_t Run(uint8_t* window, uint32_t pos, uint32_t end, uint32_t mask) {
    while (pos < end) {
      uint32_t n = (end - pos + 255) >> 8;
      if (n > left) n = left;
      if (n == 0) break;
      left -= n;
      do {
        Ensure();
        const uint32_t code = char_codes[w >> 52];
        if (__builtin_expect(!(code & (LONG_CODE | 0xFF00)), 1)) {
          w <<= code >> 16;
          avail -= code >> 16;
          window[pos++] = (uint8_t)code;
          continue;
        }
        if (code & LONG_CODE) {
          left += n;
          return pos;
        }
        w <<= code >> 16;
        avail -= code >> 16;
        const uint32_t len = (code & 0xFFFF) - MATCH_BIAS;
        const uint32_t dist = (Pos(0, 0) & mask) + 1;
        CopyMatch<true>(window + pos, dist, len);
        pos += len;
      } while (--n);
    }
    return pos;
  }
  // The 48 bits loaded before the character code leave at least 32 after
  // it, enough for a position code and its extra bits (16 + 15).
  VEMO_LOOP_INLINE uint32_t Pos(uint32_t, uint32_t) {
    const uint32_t pcode = pos_codes[w >> 56];
    if (__builtin_expect((pcode & 0xFF) != POS_LONG, 1)) {
      const uint32_t len = pcode & 0xFF;
      const uint32_t extra = (pcode >> 8) & 0xFF;
      const uint64_t rest = w << len;
      // Two shifts, so that no extra bits (extra 0) shift by 64.
      const uint32_t d = (pcode >> 16) + (uint32_t)((rest >> 1) >> (63 - extra));
      w = rest << extra;
      avail -= len + extra;
      return d;
    }
    const uint32_t p = WalkTree(pcode >> 16, pos_symbols, (uint32_t)(w >> 48), 1u << 7);
    Consume(g_pos_len[p]);
    // A damaged length may have taken more than 16 bits.
    Ensure();
    if (p == 0) return 0;
    const uint32_t extra = p - 1;  // at most 15
    const uint32_t d = (1u << extra) + (extra ? (uint32_t)(w >> (64 - extra)) : 0);
    w <<= extra;
    avail -= extra;
    return d;
  }
  void Finish() {
    Save();
    g_block_left = (uint16_t)left;
  }
};

int32_t RunBlockLoop(uint32_t size) {
  BlockDecoder d;
  return DictionaryLoop<true>(d, g_dict, size, MATCH_BIAS);
}
#endif

// -lh4- to -lh7-: blocks of codes, each block sending its own Huffman codes
// for the 510 character/length symbols (through a 19-symbol code-length code)
// and for the position classes.
//
// Format notes. A block is: 16 bits of code count (0 means 65536); the
// code-length code; the character/length code; the position code; then the
// codes themselves, each a character/length code and, after a match, its
// position code and the position's extra bits. There is no end marker: the
// member ends at its declared size, possibly inside a block.
//
// The block decoder is written once, as BlockDecoder<kFast>, over two
// variants that differ in where the bits are and what a table holds:
//   compact (the stub's): the process-wide bit input of bitio.h and the
//     shared tables of table.cpp (symbols, with a tree below for long
//     codes); each code is one call from the dictionary loop through the
//     method table (DecodeCharBlock, DecodePosBlock);
//   fast (the host's, builds with kFastDecode): a bit window in registers
//     and tables whose entries carry what a code means (literal byte or
//     match length, the bits it takes, a position's base and extra bits),
//     sized to the block's longest code with subtables for longer ones; it
//     decodes codes in bulk (Run), several literals per refill.
// Both read the block header with the same code and judge damage alike, so
// they give the same bytes and the same outcome for any input.
#include <string.h>

#include "decode/bitio.h"
#include "decode/block_loop.h"
#include "decode/format.h"
#include "decode/loop.h"
#include "decode/member.h"
#include "decode/methods.h"
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

// The two codes that ReadPosLengths reads into g_pos_len.
enum LengthTable : uint8_t { LENGTH_CODE, POSITION_CODE };

// Position class j stands for the distance values from PositionBase(j) on,
// with PositionExtra(j) bits after the class's code that say which.
inline uint32_t PositionBase(uint32_t j) { return j ? 1u << (j - 1) : 0; }
inline uint32_t PositionExtra(uint32_t j) { return j ? j - 1 : 0; }

// ---------------------------------------------------------------------------
// The compact variant: the process-wide bit input and the shared tables
// ---------------------------------------------------------------------------

struct GlobalBits {
  VEMO_LOOP_INLINE void Ensure() {}
  // The coming 16 bits, earliest topmost.
  VEMO_LOOP_INLINE uint32_t Peek() { return g_bit_buf; }
  VEMO_LOOP_INLINE void Skip(uint32_t n) { FillBits((uint8_t)n); }
  VEMO_LOOP_INLINE uint32_t Get(uint32_t n) { return GetBits((uint8_t)n); }
};

struct CompactCodes {
  typedef GlobalBits Bits;
  VEMO_LOOP_INLINE void SingleLengths(LengthTable, int32_t n, uint32_t v) {
    SetSingleCode(n, g_pos_len, 8, g_pos_table, v);
  }
  VEMO_LOOP_INLINE bool BuildLengths(LengthTable, int32_t n) { return BuildCode(n, g_pos_len, 8, g_pos_table); }
  VEMO_LOOP_INLINE void SingleChar(uint32_t v) { SetSingleCode(CHAR_SYMBOLS, g_char_len, 12, g_char_table, v); }
  VEMO_LOOP_INLINE bool BuildChar() { return BuildCode(CHAR_SYMBOLS, g_char_len, 12, g_char_table); }
  VEMO_LOOP_INLINE uint32_t DecodeLengthSymbol(Bits&) {
    return DecodeSymbol(g_pos_table, g_pos_len, 8, LENGTH_CODE_SYMBOLS);
  }
  VEMO_LOOP_INLINE uint32_t DecodeChar(Bits&) { return DecodeSymbol(g_char_table, g_char_len, 12, CHAR_SYMBOLS); }
  VEMO_LOOP_INLINE uint32_t DecodePos(Bits&) {
    const uint32_t j = DecodeSymbol(g_pos_table, g_pos_len, 8, (uint32_t)g_pos_symbols);
    if (j >= CODE_DAMAGED) return j;
    if constexpr (kHostTool) {
      // -lhx-'s farthest classes send more extra bits than one read takes.
      if (PositionExtra(j) > 16) {
        const uint32_t high = GetBits((uint8_t)(PositionExtra(j) - 16));
        return PositionBase(j) + (high << 16 | GetBits(16));
      }
    }
    return PositionBase(j) + GetBits((uint8_t)PositionExtra(j));
  }
};

template <bool kFast, bool kWide>
struct BlockVariant {
  typedef CompactCodes Codes;
};

// ---------------------------------------------------------------------------
// The fast variant: a bit window in registers and tables of whole meanings
// ---------------------------------------------------------------------------
// An entry of a fast table, 32 bits. Its low byte is the bits the code
// takes (flags 0), so consuming a code is a shift of the window by the entry
// (the shift takes its low 6 bits) and a subtraction of the entry from the
// count of bits loaded (which keeps its low byte exact; see RegisterBits).
//   bits 0-5    the bits the code takes, all of them: 0 for a one-value
//               code; for a position, its code and its extra bits
//   bit 6       ENTRY_SUBTABLE: a longer code; bits 16-31 say where its
//               subtable starts, bits 8-13 how many bits index it (the bits
//               after those of this table, whose number bits 0-5 hold)
//   bit 7       ENTRY_FREE: no code starts with these bits (damage)
// Character codes:
//   bits 8-15   a literal's byte
//   bits 16-24  a match's length
//   bit 31      ENTRY_LITERAL
// Position codes (class j: first distance value b, x extra bits):
//   bits 8-13   63 - the bits to read the extra bits from: the code and
//               them (none for class 0, where the distance is 0)
//   bits 16-31  b; for dictionaries past 2^16 bytes (kWide), whose b does
//               not fit, j
// The code-length code:
//   bits 0-5    the code's bits and a zero run's extra bits
//   bits 8-11   a zero run's extra bits
//   bits 16-20  a length, or the zeros of a run before its extra bits
//   bit 31      ENTRY_LITERAL: a length, not a run of zeros
const uint32_t ENTRY_SUBTABLE = 0x40;
const uint32_t ENTRY_FREE = 0x80;
const uint32_t ENTRY_LITERAL = 0x80000000u;

#if VEMO_FAST_DECODE

static inline uint64_t LoadBigEndian64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// The bit window of bitio.h, taken into locals for the member (Load) and
// handed back (Save) around the calls that read the globals' input. Bulk
// loads OR the next eight input bytes below the loaded bits: bits past the
// counted bytes are the true coming bits, so loading them again is harmless.
// The count of bits loaded is exact in its low byte only (0 to 63): codes
// are consumed by subtracting their whole entry, whose low byte is the bits
// they take.
struct RegisterBits {
  uint64_t w;
  uint32_t avail;  // bits of w loaded, in the low byte
  const uint8_t* in;
  // The last position from which a bulk load may take its eight bytes:
  // within the member and within the buffer (null below eight bytes: it lies
  // below every buffer).
  const uint8_t* bulk_end;

  void Load() {
    w = g_bit_window;
    avail = g_bit_avail;
    in = g_in_buf + g_in_buf_pos;
    const uint32_t room = g_in_buf_size - g_in_buf_pos;
    const uint32_t bulk = g_packed_left < room ? g_packed_left : room;
    bulk_end = bulk >= 8 ? in + (bulk - 8) : nullptr;
  }
  void Save() {
    g_bit_window = (BitWindow)w;
    g_bit_avail = Avail();
    g_bit_buf = (uint16_t)(w >> 48);
    const uint32_t taken = (uint32_t)(in - g_in_buf) - g_in_buf_pos;
    g_in_buf_pos += taken;
    g_packed_left -= taken;
  }
  VEMO_LOOP_INLINE uint32_t Avail() const { return (uint8_t)avail; }
  // Bulk loads left before the input's end or the buffer's: each takes at
  // most eight bytes, a code at most six.
  VEMO_LOOP_INLINE uint32_t BulkRoom() const { return in <= bulk_end ? (uint32_t)(bulk_end - in) : 0; }
  // Whole bytes up to 56 bits or more: avail + 8 * bytes is avail | 56.
  // Only where in <= bulk_end.
  VEMO_LOOP_INLINE void Refill() {
    w |= LoadBigEndian64(in) >> (avail & 63);
    in += 7 - ((avail >> 3) & 7);
    avail |= 56;
  }
  // At least kNeed bits, at most 56: by default a character code, a
  // position code and its extra bits (16 + 16 + 15), or any one read of a
  // block header.
  template <uint32_t kNeed = 48>
  VEMO_LOOP_INLINE void Ensure() {
    static_assert(kNeed <= 56, "a refill loads 56 bits or more");
    if (__builtin_expect(Avail() >= kNeed, 1)) return;
    if (__builtin_expect(in <= bulk_end, 1)) {
      Refill();
      return;
    }
    Save();
    RefillBitWindow();
    Load();
  }
  VEMO_LOOP_INLINE uint32_t Peek() const { return (uint32_t)(w >> 48); }
  // Consumes n bits, or the bits of an entry.
  VEMO_LOOP_INLINE void Skip(uint32_t n) {
    w <<= n & 63;
    avail -= n;
  }
  // n from 1 to 16.
  VEMO_LOOP_INLINE uint32_t Get(uint32_t n) {
    const uint32_t v = (uint32_t)(w >> (64 - n));
    Skip(n);
    return v;
  }
};

// Lookup bits at most (main table bits), per code. The character table
// indexes 10 bits at most: a block whose longest code is shorter builds a
// table of its longest code's size, which is cheap to fill.
const uint32_t CHAR_FAST_BITS = 10;
const uint32_t SMALL_FAST_BITS = 8;
const uint32_t MAX_POSITION_CLASSES = (uint32_t)PositionClasses(FAST_BLOCK_DICT_BITS_MAX);
// The bits a character code, a position code and its extra bits take at
// most, with the dictionary's bits.
constexpr uint32_t CodeBitsMax(int32_t dict_bits) { return 2 * CODE_BITS_MAX + dict_bits - 1; }
const int32_t NARROW_DICT_BITS_MAX = 16;
static_assert(CodeBitsMax(NARROW_DICT_BITS_MAX) <= 48, "-lh7-'s codes fit the 48 bits of Ensure's default");

// Entries a fast table of n symbols and main bits b may need: the main
// table, the subtables of complete prefixes (a subtable 2^d entries deep
// holds at least d + 1 codes, and 2^d / (d + 1) is largest at the deepest d)
// and the one incomplete subtable an incomplete code may end in.
constexpr uint32_t FastEntriesPerCode(uint32_t d) {
  return d == 0 ? 1 : ((1u << d) + d) / (d + 1) > FastEntriesPerCode(d - 1) ? ((1u << d) + d) / (d + 1)
                                                                            : FastEntriesPerCode(d - 1);
}
constexpr uint32_t FastTableEntries(uint32_t n, uint32_t b) {
  return (1u << b) + n * FastEntriesPerCode(16 - b) + (1u << (16 - b));
}

// Fills count (a power of two) entries with e, two or four per store.
static inline void FillEntries(uint32_t* p, uint32_t count, uint32_t e) {
  if (count == 1) {
    *p = e;
    return;
  }
  const uint64_t two = e * 0x100000001ull;
  if (count == 2) {
    memcpy(p, &two, 8);
    return;
  }
  for (uint32_t i = 0; i < count; i += 4) {
    memcpy(p + i, &two, 8);
    memcpy(p + i + 2, &two, 8);
  }
}

// A fast table: its entries and the shift that indexes its main part by the
// top bits of a window (64 - main bits).
template <uint32_t kEntries>
struct FastTable {
  uint32_t shift;
  uint32_t entry[kEntries];

  // The entry of the code at the top of w, through its subtable if need be.
  VEMO_LOOP_INLINE uint32_t Find(uint64_t w) const {
    uint32_t e = entry[w >> shift];
    if (__builtin_expect(e & ENTRY_SUBTABLE, 0))
      e = entry[(e >> 16) + (uint32_t)((w << (e & 63)) >> (64 - ((e >> 8) & 63)))];
    return e;
  }

  // A code of one value, taking no bits (v outside the n symbols: no code).
  template <class EntryOf>
  void Single(uint32_t n, uint32_t v, EntryOf entry_of) {
    shift = 63;
    entry[0] = entry[1] = v < n ? entry_of(v, 0) : ENTRY_FREE;
  }

  // Builds the canonical code of count[len] symbols with codes of len bits
  // (1 to 16), the highest of them head[len], link[s] the next lower symbol
  // of s's length. The lists come from reading the lengths, so no pass over
  // every symbol is needed to count or sort them. The code is judged as
  // BuildDecodeTable judges it: false for an over-full code (no code is
  // built: every entry is ENTRY_FREE); an incomplete code leaves ENTRY_FREE
  // where no code is. entry_of(symbol, length) makes a code's entry. The
  // main part indexes the bits of the longest code, at most max_bits; each
  // longer code's first max_bits bits lead to a subtable just large enough
  // for the codes that share them (as libdeflate builds its tables).
  template <class EntryOf>
  bool BuildListed(const uint32_t* count, const uint16_t* head, const uint16_t* link, uint32_t max_bits,
                   EntryOf entry_of) {
    const uint32_t bits = MainBits(count, max_bits);
    if (bits == 0) {
      Single(0, 0, entry_of);  // no code at all
      return false;
    }
    // A length's codes follow the shorter ones' and each other in symbol
    // order, a run of 2^(bits - len) main entries each: the list fills its
    // length's runs from the last down.
    uint32_t end = 0;
    for (uint32_t len = 1; len <= bits; ++len) {
      const uint32_t step = 1u << (bits - len);
      end += count[len] << (bits - len);
      const uint32_t c = count[len], s = head[len];
      switch (step) {
        case 1: FillListed<1>(end, len, c, s, link, entry_of); break;
        case 2: FillListed<2>(end, len, c, s, link, entry_of); break;
        case 4: FillListed<4>(end, len, c, s, link, entry_of); break;
        case 8: FillListed<8>(end, len, c, s, link, entry_of); break;
        case 16: FillListed<16>(end, len, c, s, link, entry_of); break;
        default:
          for (uint32_t at = end, k = c, t = s; k > 0; --k, t = link[t]) {
            at -= step;
            FillEntries(entry + at, step, entry_of(t, len));
          }
      }
    }
    // The longer codes in code order, for their subtables.
    uint16_t sorted[CHAR_SYMBOLS];
    uint32_t k = 0;
    for (uint32_t len = bits + 1; len <= 16; ++len) {
      k += count[len];
      uint32_t j = k, s = head[len];
      for (uint32_t c = count[len]; c > 0; --c, s = link[s]) sorted[--j] = (uint16_t)s;
    }
    return BuildLonger(sorted, count, bits, end, entry_of);
  }

  // The runs of kStep entries of c codes of len bits listed from s, the
  // last ending at entry end: the run's size a constant, so that each is
  // a store or two.
  template <uint32_t kStep, class EntryOf>
  VEMO_LOOP_INLINE void FillListed(uint32_t end, uint32_t len, uint32_t c, uint32_t s, const uint16_t* link,
                                   EntryOf entry_of) {
    uint32_t* p = entry + end;
    for (; c > 0; --c, s = link[s]) {
      p -= kStep;
      const uint32_t e = entry_of(s, len);
      if constexpr (kStep == 1) {
        *p = e;
      } else {
        const uint64_t two = e * 0x100000001ull;
        for (uint32_t i = 0; i < kStep; i += 2) memcpy(p + i, &two, 8);
      }
    }
  }

  // The main bits of a code of count[len] codes of each length: those of
  // its longest code, at most max_bits (1 for a code of no codes, which
  // leaves every entry free); 0 for an over-full code, which is damage.
  uint32_t MainBits(const uint32_t* count, uint32_t max_bits) {
    int32_t left = 1 << 16;
    uint32_t longest = 0;
    for (uint32_t len = 1; len <= 16; ++len) {
      left -= (int32_t)(count[len] << (16 - len));
      if (count[len]) longest = len;
    }
    if (left < 0) return 0;
    const uint32_t bits = longest == 0 ? 1 : longest < max_bits ? longest : max_bits;
    shift = 64 - bits;
    return bits;
  }

  // The codes longer than the main bits, sorted (by length, then symbol),
  // each in a subtable of its prefix, from the end of the main part on; at
  // is the end of the main entries that the shorter codes filled. Marks the
  // entries no code reaches free.
  template <class EntryOf>
  bool BuildLonger(const uint16_t* sorted, const uint32_t* count, uint32_t bits, uint32_t at, EntryOf entry_of) {
    uint32_t k = 0;
    uint32_t main_end = at;  // the main entries in use
    uint32_t next = 1u << bits;
    uint32_t code = at << (16 - bits);  // the next code, left-aligned in 16 bits
    uint32_t prefix = ~0u, sub_bits = 0, sub_end = 0;
    for (uint32_t len = bits + 1; len <= 16; ++len) {
      for (uint32_t c = count[len]; c > 0; --c) {
        if (code >> (16 - bits) != prefix) {
          if (prefix != ~0u) FillFree(at, sub_end);
          prefix = code >> (16 - bits);
          // The codes from here on fill the prefix's code space (unless the
          // code is incomplete and runs out first).
          sub_bits = len - bits;
          uint32_t used = c;
          while (used < 1u << sub_bits && bits + sub_bits < 16) {
            ++sub_bits;
            used = 2 * used + count[bits + sub_bits];
          }
          if (next + (1u << sub_bits) > kEntries) {  // a bound; see FastTableEntries
            Single(0, 0, entry_of);
            return false;
          }
          entry[prefix] = next << 16 | sub_bits << 8 | ENTRY_SUBTABLE | bits;
          main_end = prefix + 1;
          at = next;
          next += 1u << sub_bits;
          sub_end = next;
        }
        const uint32_t step = 1u << (bits + sub_bits - len);
        FillEntries(entry + at, step, entry_of(sorted[k++], len));
        at += step;
        code += 1u << (16 - len);
      }
    }
    if (prefix != ~0u) FillFree(at, sub_end);
    FillFree(main_end, 1u << bits);
    return true;
  }

  void FillFree(uint32_t from, uint32_t end) {
    for (; from < end; ++from) entry[from] = ENTRY_FREE;
  }
};

// The entries of each code.
// A character code's entry less its bits, by symbol: one load per code
// when a table is built.
struct CharMeanings {
  uint32_t of[CHAR_SYMBOLS];
  constexpr CharMeanings() : of() {
    for (uint32_t s = 0; s < (uint32_t)CHAR_SYMBOLS; ++s) of[s] = s < 256 ? ENTRY_LITERAL | s << 8 : (s - MATCH_BIAS) << 16;
  }
};
static constexpr CharMeanings kCharMeanings;
struct CharEntry {
  uint32_t operator()(uint32_t s, uint32_t len) const { return kCharMeanings.of[s] | len; }
};
template <bool kWide>
struct PosEntry {
  uint32_t operator()(uint32_t j, uint32_t len) const {
    const uint32_t taken = len + PositionExtra(j);
    return (kWide ? j : PositionBase(j)) << 16 | (63 - (j ? taken : 0)) << 8 | taken;
  }
};
struct LengthEntry {
  uint32_t operator()(uint32_t s, uint32_t len) const {
    if (s > LENGTH_SYMBOL_BIAS) return ENTRY_LITERAL | (s - LENGTH_SYMBOL_BIAS) << 16 | len;
    const uint32_t extra = s == 0 ? 0 : s == ZERO_RUN_SHORT ? ZERO_RUN_SHORT_BITS : ZERO_RUN_LONG_BITS;
    const uint32_t zeros = s == 0 ? 1 : s == ZERO_RUN_SHORT ? ZERO_RUN_SHORT_MIN : ZERO_RUN_LONG_MIN;
    return zeros << 16 | extra << 8 | (len + extra);
  }
};

// kWide: a dictionary past 2^16 bytes (-lhx-), whose position entries hold
// the class and whose codes may take 16 + 16 + 18 bits.
template <bool kWide>
struct FastCodes {
  typedef RegisterBits Bits;
  static constexpr uint32_t kCodeBits = CodeBitsMax(kWide ? FAST_BLOCK_DICT_BITS_MAX : NARROW_DICT_BITS_MAX);
  FastTable<FastTableEntries(LENGTH_CODE_SYMBOLS, SMALL_FAST_BITS)> length_code;
  FastTable<FastTableEntries(MAX_POSITION_CLASSES, SMALL_FAST_BITS)> pos_code;
  FastTable<FastTableEntries(CHAR_SYMBOLS, CHAR_FAST_BITS)> char_code;
  // The character code's symbols listed by length (see BuildListed), as
  // ReadCharLengths reads them.
  uint32_t per_length[17];
  uint16_t head[17];
  uint16_t char_link[CHAR_SYMBOLS];

  // A member starts with no codes: until a header builds them, every
  // decode through them is damage.
  FastCodes() {
    length_code.Single(0, 0, LengthEntry());
    pos_code.Single(0, 0, PosEntry<kWide>());
    char_code.Single(0, 0, CharEntry());
  }

  void SingleLengths(LengthTable which, int32_t n, uint32_t v) {
    if (which == LENGTH_CODE)
      length_code.Single((uint32_t)n, v, LengthEntry());
    else
      pos_code.Single((uint32_t)n, v, PosEntry<kWide>());
  }
  // The lengths listed by length as for the character code (see
  // BuildListed); a length above 16 is no code at all.
  bool BuildLengths(LengthTable which, int32_t n) {
    uint32_t counts[17] = {0};
    uint16_t heads[17] = {0};
    uint16_t links[POS_LEN_SIZE];
    bool fits = true;
    for (uint32_t s = 0; s < (uint32_t)n; ++s) {
      const uint32_t len = g_pos_len[s];
      if (len == 0) continue;
      if (len > 16) {
        fits = false;
        break;
      }
      links[s] = heads[len];
      heads[len] = (uint16_t)s;
      ++counts[len];
    }
    if (which == LENGTH_CODE) {
      if (fits) return length_code.BuildListed(counts, heads, links, SMALL_FAST_BITS, LengthEntry());
      length_code.Single(0, 0, LengthEntry());
      return false;
    }
    if (fits) return pos_code.BuildListed(counts, heads, links, SMALL_FAST_BITS, PosEntry<kWide>());
    pos_code.Single(0, 0, PosEntry<kWide>());
    return false;
  }
  void SingleChar(uint32_t v) { char_code.Single(CHAR_SYMBOLS, v, CharEntry()); }

  // The block decoder's ReadCharLengths (which see), listing each length's
  // symbols as it reads them, for BuildListed: a zero run is a step of the
  // symbol count, and nothing goes over all 510 symbols.
  VEMO_LOOP_INLINE bool ReadCharLengths(Bits& in) {
    in.Ensure();
    const uint32_t count = in.Get(CHAR_COUNT_BITS);
    if (count == 0) {
      SingleChar(in.Get(CHAR_COUNT_BITS));
      return true;
    }
    // The window in locals, so that it stays in registers (see Run).
    Bits b = in;
    const bool read = ListCharLengths(b, count);
    in = b;
    return read && char_code.BuildListed(per_length, head, char_link, CHAR_FAST_BITS, CharEntry());
  }
  VEMO_LOOP_INLINE bool ListCharLengths(Bits& in, uint32_t count) {
    const uint32_t* const entries = length_code.entry;
    const uint32_t shift = length_code.shift;
    uint32_t counts[17] = {0};
    uint16_t heads[17] = {0};
    // A damaged count may ask for 511 lengths: the last is read, not kept.
    const uint32_t kept = count < (uint32_t)CHAR_SYMBOLS ? count : (uint32_t)CHAR_SYMBOLS;
    uint32_t i = 0;
    while (i < kept) {
      const uint32_t e = NextLength(in, entries, shift);
      if (e & ENTRY_FREE) return false;
      if ((int32_t)e < 0) {
        const uint32_t len = (e >> 16) & 0x1F;
        char_link[i] = heads[len];
        heads[len] = (uint16_t)i;
        ++counts[len];
        ++i;
      } else {
        i += e >> 16;
      }
    }
    if (i < count && (NextLength(in, entries, shift) & ENTRY_FREE)) return false;
    memcpy(per_length, counts, sizeof counts);
    memcpy(head, heads, sizeof heads);
    return true;
  }
  // The next code-length code, its bits consumed: its entry (ENTRY_FREE
  // for damage, nothing consumed), a zero run's bits 16-30 the run's zeros.
  VEMO_LOOP_INLINE uint32_t NextLength(Bits& in, const uint32_t* entries, uint32_t shift) {
    in.template Ensure<CODE_BITS_MAX + ZERO_RUN_LONG_BITS>();
    uint32_t e = entries[in.w >> shift];
    if (__builtin_expect(e & (ENTRY_SUBTABLE | ENTRY_FREE), 0)) {
      e = length_code.Find(in.w);
      if (e & ENTRY_FREE) return e;
    }
    if ((int32_t)e < 0) {
      in.Skip(e);
      return e;
    }
    // The run's extra bits end the entry's bits.
    const uint32_t top = (uint32_t)((in.w >> (63 - (e & 63))) >> 1);
    in.Skip(e);
    return ((e >> 16) + (top & ((1u << ((e >> 8) & 15)) - 1))) << 16;
  }
  VEMO_LOOP_INLINE uint32_t DecodeChar(Bits& in) {
    in.template Ensure<kCodeBits < 48 ? 48 : kCodeBits>();
    const uint32_t e = char_code.Find(in.w);
    if (e & ENTRY_FREE) return CODE_DAMAGED;
    in.Skip(e);
    return e & ENTRY_LITERAL ? (e >> 8) & 0xFF : (e >> 16) + MATCH_BIAS;
  }
  // A position code and its extra bits, which the bits ensured before the
  // character code leave. The top bits of the window up to the extra bits
  // hold the extra bits as their low bits; the class's first value b is a
  // power of two (or 0) and b - 1 masks them.
  VEMO_LOOP_INLINE uint32_t DecodePos(Bits& in) {
    const uint32_t e = pos_code.Find(in.w);
    if (e & ENTRY_FREE) return CODE_DAMAGED;
    return Distance(in, e);
  }
  // The distance value of a position entry e that is not ENTRY_FREE.
  VEMO_LOOP_INLINE uint32_t Distance(Bits& in, uint32_t e) {
    const uint32_t first = kWide ? (1u << (e >> 16)) >> 1 : e >> 16;
    const uint32_t top = (uint32_t)((in.w >> ((e >> 8) & 63)) >> 1);
    in.Skip(e);
    return first + (top & (first - 1));
  }
};

template <bool kWide>
struct BlockVariant<true, kWide> {
  typedef FastCodes<kWide> Codes;
};

#endif  // VEMO_FAST_DECODE

// ---------------------------------------------------------------------------
// The block decoder
// ---------------------------------------------------------------------------

template <bool kFast, bool kWide = false>
struct BlockDecoder {
  typedef typename BlockVariant<kFast, kWide>::Codes Codes;
  typedef typename Codes::Bits Bits;
  Bits in;
  Codes codes;
  uint16_t left;  // the fast variant's count of codes left (see Left)

  // Codes left in the block: the compact variant keeps it in the global
  // between its calls, the fast one in the decoder for the member.
  VEMO_LOOP_INLINE uint16_t& Left() {
    if constexpr (kFast) return left;
    return g_block_left;
  }

  // A table of code lengths into g_pos_len, sent with a fixed-size count
  // (count_bits bits; a count of 0 means one value for every code, sent
  // next, whose code takes no bits). Each length is 3 bits; 7 is an escape
  // that continues in unary: every further 1 bit adds one, a 0 bit ends it
  // (so 7 is "1110", 8 "11110", ...). For the code-length code (special =
  // 3), the third length is followed by 2 bits: that many of the next
  // lengths are 0 (symbols 3 to 5 stand for the shortest lengths, seldom
  // used, so their zero lengths are sent cheaply). A count above n is read
  // in full; the lengths past n are not part of the code.
  VEMO_LOOP_INLINE bool ReadPosLengths(int16_t n, int32_t count_bits, int32_t special, LengthTable which) {
    if (n > POS_LEN_SIZE) n = (int16_t)POS_LEN_SIZE;
    in.Ensure();
    int32_t count = (int32_t)in.Get((uint32_t)count_bits);
    if (count == 0) {
      codes.SingleLengths(which, n, in.Get((uint32_t)count_bits));
      return true;
    }
    // count is below 32 and a zero run adds at most 3, so i stays inside
    // g_pos_len (128 entries).
    int32_t i = 0;
    while (i < count) {
      in.Ensure();
      const uint32_t bits = in.Peek();
      uint32_t c = bits >> (16 - LENGTH_FIELD_BITS);
      if (c == LENGTH_FIELD_ESCAPE) {
        for (uint32_t mask = 1u << 12; bits & mask; mask >>= 1) ++c;
      }
      in.Skip(c < LENGTH_FIELD_ESCAPE ? LENGTH_FIELD_BITS : c - 3);
      g_pos_len[i++] = (uint8_t)c;
      if (i == special) {
        for (int32_t z = (int32_t)in.Get(LENGTH_CODE_ZERO_RUN_BITS); z > 0; --z) g_pos_len[i++] = 0;
      }
    }
    while (i < n) g_pos_len[i++] = 0;
    return codes.BuildLengths(which, n);
  }

  // The 510 character/length code lengths, each sent in the code-length
  // code: symbol 0 is one zero length, 1 is 3 to 18 zeros (4 more bits), 2 is
  // 20 to 531 zeros (9 more bits), and symbol k above 2 is length k - 2. A
  // count of 0 again means a single value whose code takes no bits.
  VEMO_LOOP_INLINE bool ReadCharLengths() {
    if constexpr (kFast) {
      return codes.ReadCharLengths(in);
    } else {
      in.Ensure();
      int32_t count = (int32_t)in.Get(CHAR_COUNT_BITS);
      if (count == 0) {
        codes.SingleChar(in.Get(CHAR_COUNT_BITS));
        return true;
      }
      // A damaged count or zero run may ask for more than 510 lengths: they are
      // read from the stream, but only the first 510 are kept.
      int32_t i = 0;
      while (i < count) {
        in.Ensure();
        const uint32_t c = codes.DecodeLengthSymbol(in);
        if (c > LENGTH_SYMBOL_BIAS) {
          if (c >= CODE_DAMAGED) return false;
          if (i < CHAR_SYMBOLS) g_char_len[i] = (uint8_t)(c - LENGTH_SYMBOL_BIAS);
          ++i;
          continue;
        }
        int32_t zeros = c == 0               ? 1
                        : c == ZERO_RUN_SHORT ? (int32_t)(in.Get(ZERO_RUN_SHORT_BITS) + ZERO_RUN_SHORT_MIN)
                                              : (int32_t)(in.Get(ZERO_RUN_LONG_BITS) + ZERO_RUN_LONG_MIN);
        for (; zeros > 0; --zeros, ++i)
          if (i < CHAR_SYMBOLS) g_char_len[i] = 0;
      }
      while (i < CHAR_SYMBOLS) g_char_len[i++] = 0;
      return codes.BuildChar();
    }
  }

  // The block header: the code count and the three codes; false where one
  // of them is damaged.
  bool ReadHeader() {
    in.Ensure();
    Left() = (uint16_t)in.Get(BLOCK_CODES_BITS);
    return ReadPosLengths(LENGTH_CODE_SYMBOLS, (int32_t)LENGTH_CODE_COUNT_BITS, LENGTH_CODE_ZERO_RUN_AT,
                          LENGTH_CODE) &&
           ReadCharLengths() &&
           ReadPosLengths((int16_t)g_pos_symbols, g_pos_count_bits, -1, POSITION_CODE);
  }

  VEMO_LOOP_INLINE uint32_t Char() {
    if (Left() == 0 && !ReadHeader()) return CODE_DAMAGED;
    --Left();
    return codes.DecodeChar(in);
  }
  VEMO_LOOP_INLINE uint32_t Pos(uint32_t, uint32_t) { return codes.DecodePos(in); }

  // The fast variant's own: the member's input in registers from the start
  // routine's InitBits on, handed back at the end.
  BlockDecoder() {
    if constexpr (kFast) {
      left = g_block_left;
      in.Load();
    }
  }
  VEMO_LOOP_INLINE bool Overrun() { return InputOverrun(in.Avail()); }
  void Finish() {
    in.Ensure();
    in.Save();
    g_block_left = left;
  }

  // Codes in bulk, while the block has codes left, the window area lasts and
  // the input is a bulk load away: a budget of codes that cannot carry pos
  // past end by more than one match (256 bytes each) nor the input past
  // bulk_end, so the loop tests neither the block's count nor pos nor the
  // input per code. An entry tells a literal from a match in one test; up to
  // three literals are taken per refill (16 bits or fewer each of the 56).
  // Returns where it stopped, at a code for Char to take (the end of the
  // block or of the budget) or at damaged data.
  static constexpr bool kRuns = kFast;
  VEMO_LOOP_INLINE RunEnd Run(uint8_t* window, uint32_t pos, uint32_t end, uint32_t mask) {
    // The state in locals, so that it stays in registers: the decoder
    // itself is handed to calls (ReadHeader) that keep it in memory.
    Bits b = in;
    uint32_t codes_left = left;
    // Only -lh4-'s classes reach past its dictionary (14 classes, 2^12
    // bytes): the others' distances need no mask.
    const RunEnd stop = 1u << (g_pos_symbols - 1) > mask + 1 ? RunCodes<true>(b, codes_left, window, pos, end, mask)
                                                             : RunCodes<false>(b, codes_left, window, pos, end, mask);
    in = b;
    left = (uint16_t)codes_left;
    return stop;
  }
  template <bool kMask>
  VEMO_LOOP_INLINE RunEnd RunCodes(Bits& b, uint32_t& codes_left, uint8_t* window, uint32_t pos, uint32_t end,
                                   uint32_t mask) {
    const uint32_t* const chars = codes.char_code.entry;
    const uint32_t char_shift = codes.char_code.shift;
    uint8_t* out = window + pos;
    uint8_t* const out_end = window + end;
    while (out < out_end) {
      uint32_t n = (uint32_t)(out_end - out + 255) >> 8;
      if (n > codes_left) n = codes_left;
      const uint32_t input = b.BulkRoom() >> 3;
      if (n > input) n = input;
      if (n == 0) break;
      codes_left -= n;
      do {
        b.Refill();
        uint32_t e = chars[b.w >> char_shift];
        if ((int32_t)e < 0) {
          b.Skip(e);
          *out++ = (uint8_t)(e >> 8);
          if (--n == 0) break;
          e = chars[b.w >> char_shift];
          if ((int32_t)e < 0) {
            b.Skip(e);
            *out++ = (uint8_t)(e >> 8);
            if (--n == 0) break;
            e = chars[b.w >> char_shift];
            if ((int32_t)e < 0) {
              b.Skip(e);
              *out++ = (uint8_t)(e >> 8);
              continue;
            }
          }
          // A match (or a long code) next: its entry stays valid, since a
          // refill only adds bits below those loaded.
          b.Refill();
        }
        if (__builtin_expect(e & (ENTRY_SUBTABLE | ENTRY_FREE), 0)) {
          e = codes.char_code.Find(b.w);
          if (e & ENTRY_FREE) return RunEnd{(uint32_t)(out - window), true};
          if ((int32_t)e < 0) {
            b.Skip(e);
            *out++ = (uint8_t)(e >> 8);
            continue;
          }
        }
        b.Skip(e);
        const uint32_t len = e >> 16;
        const uint32_t pe = codes.pos_code.Find(b.w);
        if (pe & ENTRY_FREE) return RunEnd{(uint32_t)(out - window), true};
        const uint32_t d = codes.Distance(b, pe);
        CopyMatch<true>(out, (kMask ? d & mask : d) + 1, len);
        out += len;
      } while (--n);
    }
    return RunEnd{(uint32_t)(out - window), false};
  }
};

// The compact variant's routines: the method table's and the tests'.
bool ReadPosLengths(int16_t n, int32_t count_bits, int32_t special) {
  return BlockDecoder<false>().ReadPosLengths(n, count_bits, special, LENGTH_CODE);
}
bool ReadCharLengths() { return BlockDecoder<false>().ReadCharLengths(); }
uint32_t DecodeCharBlock() { return BlockDecoder<false>().Char(); }
uint32_t DecodePosBlock() { return BlockDecoder<false>().Pos(0, 0); }

#if VEMO_FAST_DECODE
template <bool kWide>
VEMO_LOOP_INLINE DecodeStatus BlockLoop(uint32_t size) {
  BlockDecoder<true, kWide> d;
  return DictionaryLoop<true>(d, g_dict, size, MATCH_BIAS);
}

static DecodeStatus BlockLoops(uint32_t size) {
  return size > 1u << NARROW_DICT_BITS_MAX ? BlockLoop<true>(size) : BlockLoop<false>(size);
}

#if defined(__x86_64__)
// The same loops compiled for processors with BMI2, whose shifts by a
// register count take one instruction and leave the flags alone: the loop
// shifts its bit window by a variable count at every code.
__attribute__((target("bmi2"))) static DecodeStatus BlockLoopsBmi2(uint32_t size) {
  return size > 1u << NARROW_DICT_BITS_MAX ? BlockLoop<true>(size) : BlockLoop<false>(size);
}
#endif

DecodeStatus RunBlockLoop(uint32_t size) {
#if defined(__x86_64__)
  static const bool bmi2 = __builtin_cpu_supports("bmi2");
  if (bmi2) return BlockLoopsBmi2(size);
#endif
  return BlockLoops(size);
}
#endif

// Block-Huffman compression: a match finder over each method's window, a
// parse into codes (greedy or lazy at the fast levels; at the others a
// shortest path under the code lengths of an earlier parse of the same
// stretch, iterated), and blocks whose boundaries are chosen by their exact
// encoded size and what each block costs the reader.
//
// Format notes. The codes of one block: symbols 0-255 are literal bytes,
// 256-509 matches of 3-256 bytes; each match is followed by its distance
// value d (the copy starts d + 1 bytes back, at most the dictionary size) as
// a position class (0 for d = 0, else the bit length of d) and the d bits
// below the class's top bit. A block is its token count (16 bits, so at most
// 65535 tokens), then three codes, each sent as lengths or, when it has a
// single value, as that value alone (which then takes no bits per token):
// the code-length code (which sends the character code's lengths, with runs
// of zero lengths), the character code, and the position code. Every code
// must be complete: strict readers refuse a code with unused room.
//
// Prices. The parsers weigh each choice (a literal, or a match of some
// length and distance) by what it would cost in the output: its code's
// length in bits under the code lengths that an earlier parse of nearby data
// produced, kept in sixteenths of a bit (Prices::SCALE) and computed with
// integers only, so that every machine makes the same choices and the same
// bytes. A match is worth taking when its price is below that of the
// literals it replaces. A price is an estimate of a code's length, never
// the length itself: the codes are made only once a block's tokens are
// known, from the tokens' own counts, so the parse and the codes chase each
// other. Three sources, from rough to exact: a guess from the bytes'
// frequencies (the segment's first chunk), each symbol's share of the
// counts of the last parse (-log2 of its frequency, not rounded), and the
// code lengths of the very block a position lands in (level 9's second
// parse, Reparse).
//
// Chunks. The near-optimal parse finds the shortest path through a chunk
// of up to 32768 positions at a time (params.chunk): every position's
// matches are found once into a cache (at most 8 a position on average),
// then the path is taken from the chunk's end backwards, the cheapest way
// from each position to the end under the prices (cost[]) and the step
// that takes it (step[]: 1 for a literal, else the match's length and
// distance); the path is then followed forwards into tokens. A match never
// crosses a chunk's end: that costs a few bits at each end and bounds the
// cache. A chunk's path prices the next chunk, and the segment's first
// chunk, priced by a guess, is parsed twice.
//
// Where a block ends. A block ends where a segment ends (segments are
// compressed apart, see compress.h), where its 65535 tokens are used up, and
// where the data changes enough that new codes pay for their header: the
// tokens are cut into slices, each priced as a block of its own, and
// neighbouring blocks are joined, the pair that gains most first, while the
// joined block is no larger than the two apart plus what a table build
// costs the reader (READ_BYTES). Then each boundary moves, within a slice
// either way, to the token where its two blocks cost least under their
// codes, and the blocks are joined again where that now pays (twice). At
// level 9 the segment is then parsed again, each block's stretch priced by
// that block's codes and no chunk crossing a block's end, and the new
// tokens are split afresh. The member's last block may be written in one
// of several ways for where it lands (ChooseEnding).
#include "pack/compress.h"

#include <string.h>

#include <algorithm>

#include "decode/format.h"
#include "pack/bitwriter.h"
#include "pack/huffman.h"

namespace {

const int LENGTH_BIAS = (int)MATCH_BIAS;
// Position classes of the largest dictionary (-lh7-); the smaller ones use
// a prefix of them.
const int POSITION_CLASSES_MAX = PositionClasses(16);
// Tokens per block at most: the block header counts them in 16 bits.
const uint32_t BLOCK_MAX_TOKENS = (1u << BLOCK_CODES_BITS) - 1;
// What a block costs the reader beyond its bits (LevelParams::read_bytes):
// each block makes it build its code tables anew, about 26,000
// instructions, as long as decoding some 1,800 bytes. That is priced as the
// bits READ_BYTES bytes of the blocks take, at their own rate: two blocks
// are joined unless apart they are smaller by more than that. A fixed price
// in bits would let data that compresses a hundred times (runs, repeats)
// give up hundreds of bytes per block saved, where a table build is a
// speck beside the bytes it decodes. The corpus's binary half (16 MiB,
// -lh5-, level 5) comes in 1,614 blocks at 96 and decodes in 1.07 times
// the instructions of jlha's archive of it, a little smaller than with every
// split that pays taken (4,167 blocks, 1.34 times). Level 9 parses each
// block again with its own codes, which makes a block worth more there: 16
// is 1.0% smaller than 96 on that half, in 4,692 blocks instead of 2,164
// (1.36 times jlha's instructions instead of 1.12).
const uint64_t READ_BYTES = 96;
const uint64_t READ_BYTES_BEST = 16;

// The longest compare of a position that is only added to the trees (one
// inside a long match, or in the history): the tree takes it in the place of
// an earlier one that matches it this far. Beyond 64 bytes the order below
// hardly ever matters (4 MiB of the corpus's text and of its binary come out
// the same at level 9), and on zeros level 9 took 1.4 times jlha's time
// without it, comparing 256 bytes a position.
const uint32_t ADDED_NICE = 64;

const int HASH_BITS = 16;
const uint32_t WINDOW = 1u << 17;  // the finders' arrays, beyond the largest distance

// A token: symbol in the low 9 bits, the distance value d above them.
inline uint32_t Literal(uint8_t byte) { return byte; }
inline uint32_t Match(uint32_t length, uint32_t distance) {
  return (length + LENGTH_BIAS) | ((distance - 1) << 9);
}
inline uint32_t TokenSymbol(uint32_t t) { return t & 511; }
inline uint32_t TokenDistanceValue(uint32_t t) { return t >> 9; }

inline int PositionClass(uint32_t d) { return d == 0 ? 0 : 32 - __builtin_clz(d); }
// The bits sent below a class's top bit.
inline int ExtraBits(int position_class) { return position_class > 1 ? position_class - 1 : 0; }

// What each level does.
struct LevelParams {
  bool optimal;    // shortest-path parse (else greedy or lazy)
  bool lazy;       // lazy: a match may give way to a better one a byte later
  int depth;       // candidates examined per position
  int nice;        // a match this long ends the search and is taken
  int passes;      // optimal: parses per chunk, each priced by the one before
  uint32_t chunk;  // optimal: positions parsed together
  uint32_t slice;  // tokens of the slices blocks are assembled from
  int reparses;    // optimal: parses again by the blocks of the one before
  uint64_t read_bytes;  // what a block costs the reader (see READ_BYTES)
};
const LevelParams LEVELS[LEVEL_MAX + 1] = {
    {false, false, 0, 0, 0, 0, 0, 0, 0},                       // (unused)
    {false, false, 4, 16, 0, 0, 1024, 0, READ_BYTES},          // 1
    {false, true, 8, 32, 0, 0, 1024, 0, READ_BYTES},           // 2
    {false, true, 32, 64, 0, 0, 1024, 0, READ_BYTES},          // 3
    {false, true, 96, 128, 0, 0, 1024, 0, READ_BYTES},         // 4
    {true, false, 12, 48, 1, 16384, 512, 0, READ_BYTES},       // 5
    {true, false, 16, 64, 1, 16384, 512, 0, READ_BYTES},       // 6
    {true, false, 24, 96, 1, 16384, 512, 0, READ_BYTES},       // 7
    {true, false, 32, 128, 1, 32768, 256, 0, READ_BYTES},      // 8
    {true, false, 64, 256, 2, 32768, 256, 1, READ_BYTES_BEST}, // 9
};

// ---------------------------------------------------------------- blocks

struct Frequencies {
  uint32_t chars[CHAR_SYMBOLS];
  uint32_t positions[POSITION_CLASSES_MAX];
  uint64_t extra_bits;  // distance bits below the class's top bit
  uint32_t tokens;

  void Clear() { memset(this, 0, sizeof *this); }
  void Add(uint32_t t) {
    uint32_t s = TokenSymbol(t);
    chars[s]++;
    if (s >= 256) {
      int c = PositionClass(TokenDistanceValue(t));
      positions[c]++;
      extra_bits += (uint64_t)ExtraBits(c);
    }
    tokens++;
  }
  void AddAll(const Frequencies& o) {
    for (int i = 0; i < CHAR_SYMBOLS; ++i) chars[i] += o.chars[i];
    for (int i = 0; i < POSITION_CLASSES_MAX; ++i) positions[i] += o.positions[i];
    extra_bits += o.extra_bits;
    tokens += o.tokens;
  }
};

// One item of the character-length sequence: a code-length symbol and the
// bits that follow it.
struct LengthItem {
  uint8_t symbol;
  uint8_t extra_count;
  uint16_t extra;
};

// One code of a block header: its lengths, sent as a count and the lengths,
// or (count 0) as the single value every code decodes to.
template <int N>
struct HeaderCode {
  uint8_t len[N];
  uint16_t code[N];
  int count;
  int single;
};

// Everything the block header sends, and the exact size of the block.
struct BlockPlan {
  HeaderCode<CHAR_SYMBOLS> chars;
  HeaderCode<LENGTH_CODE_SYMBOLS> tree;
  HeaderCode<POSITION_CLASSES_MAX> positions;
  LengthItem items[CHAR_SYMBOLS];
  int item_count;
  uint64_t bits;
};

// A code length in the header's length field: 0-6 in 3 bits, longer ones as
// 7 and then a 1 for each length above 7 and a closing 0.
template <typename Put>
void PutLengthField(int len, Put put) {
  const int escape = (int)LENGTH_FIELD_ESCAPE;
  if (len < escape) {
    put((uint32_t)len, LENGTH_FIELD_BITS);
  } else {
    put(LENGTH_FIELD_ESCAPE, LENGTH_FIELD_BITS);
    put(((1u << (len - escape)) - 1) << 1, len - escape + 1);
  }
}

inline int LengthFieldBits(int len) {
  int bits = 0;
  PutLengthField(len, [&](uint32_t, int n) { bits += n; });
  return bits;
}

int LastUsed(const uint8_t* len, int n) {
  for (uint64_t word; n >= 8; n -= 8) {  // eight lengths at a time
    memcpy(&word, len + n - 8, 8);
    if (word) break;
  }
  while (n > 0 && len[n - 1] == 0) --n;
  return n;
}

int LastNonZero(const uint32_t* freq, int n) {
  int value = 0;
  for (int s = 0; s < n; ++s)
    if (freq[s]) value = s;
  return value;
}

// Sends the code-length tree's lengths: the count, then each length, with
// the number of zero lengths after the third one in 2 bits.
template <typename Put>
void ForEachTreeField(const BlockPlan& p, Put put) {
  put((uint32_t)p.tree.count, LENGTH_CODE_COUNT_BITS);
  for (int k = 0; k < p.tree.count; ++k) {
    PutLengthField(p.tree.len[k], put);
    if (k == LENGTH_CODE_ZERO_RUN_AT - 1) {
      const int most = (1 << LENGTH_CODE_ZERO_RUN_BITS) - 1;
      int z = 0;
      while (z < most && k + 1 + z < p.tree.count && p.tree.len[k + 1 + z] == 0) ++z;
      put((uint32_t)z, LENGTH_CODE_ZERO_RUN_BITS);
      k += z;
    }
  }
}

// The character code's lengths as the run-length items the header sends:
// lengths above 0 as length + 2, runs of zero lengths as 0 (one), 1 (3-18)
// or 2 (20 and more).
void MakeLengthItems(BlockPlan* p) {
  // Kept in locals: the items' byte stores could otherwise change them.
  const uint8_t* len = p->chars.len;
  const int count = p->chars.count;
  LengthItem* items = p->items;
  int n = 0;
  int i = 0;
  while (i < count) {
    if (len[i]) {
      items[n++] = {(uint8_t)(len[i] + LENGTH_SYMBOL_BIAS), 0, 0};
      ++i;
      continue;
    }
    int run = 0;
    while (i + run < count && len[i + run] == 0) ++run;
    const int short_max = (int)(ZERO_RUN_SHORT_MIN + (1u << ZERO_RUN_SHORT_BITS) - 1);
    if (run < (int)ZERO_RUN_SHORT_MIN) {
      for (int k = 0; k < run; ++k) items[n++] = {0, 0, 0};
    } else if (run <= short_max) {
      items[n++] = {ZERO_RUN_SHORT, ZERO_RUN_SHORT_BITS, (uint16_t)(run - ZERO_RUN_SHORT_MIN)};
    } else if (run < (int)ZERO_RUN_LONG_MIN) {
      items[n++] = {0, 0, 0};
      items[n++] = {ZERO_RUN_SHORT, ZERO_RUN_SHORT_BITS, (uint16_t)(short_max - ZERO_RUN_SHORT_MIN)};
    } else {
      items[n++] = {ZERO_RUN_LONG, ZERO_RUN_LONG_BITS, (uint16_t)(run - ZERO_RUN_LONG_MIN)};
    }
    i += run;
  }
  p->item_count = n;
}

// The character code: lengths and their items; the header bits it takes
// beyond the tree, and the bits of the characters themselves.
uint64_t PlanCharCode(const Frequencies& f, BlockPlan* p) {
  uint64_t coded = 0;
  int used = MakeCodeLengths(f.chars, CHAR_SYMBOLS, MAX_CODE_BITS, p->chars.len, &coded);
  p->item_count = 0;
  if (used <= 1) {
    p->chars.count = 0;
    p->chars.single = LastNonZero(f.chars, CHAR_SYMBOLS);
    memset(p->chars.len, 0, sizeof p->chars.len);
    return 2 * CHAR_COUNT_BITS;
  }
  p->chars.count = LastUsed(p->chars.len, CHAR_SYMBOLS);
  MakeLengthItems(p);
  return CHAR_COUNT_BITS + coded;
}

// How a block closes: inside the data, as the member's last block, or as
// the last block with its header a few bits longer (see Ending).
enum class Close { INNER, LAST, LAST_PADDED };

int TreeFieldBits(const BlockPlan& p) {
  int bits = 0;
  ForEachTreeField(p, [&](uint32_t, int n) { bits += n; });
  return bits;
}

// The code-length tree for the items; its header bits and the items' bits.
//
// A tree of a single code-length value has a short form (count 0 and the
// value). The member's last block never uses it, nor any tree of fewer than
// three lengths: one common reader then refuses the member, depending on
// where the data ends. There the tree is sent as lengths, at least three.
// LAST_PADDED sends more of them (unused, length 0), enough to move the
// end of the data off a byte boundary.
uint64_t PlanTreeCode(Close close, BlockPlan* p) {
  uint32_t freq[LENGTH_CODE_SYMBOLS] = {0};
  uint64_t extra = 0;
  for (int k = 0; k < p->item_count; ++k) {
    freq[p->items[k].symbol]++;
    extra += p->items[k].extra_count;
  }
  uint64_t coded = 0;
  int used = MakeCodeLengths(freq, LENGTH_CODE_SYMBOLS, MAX_CODE_BITS, p->tree.len, &coded);
  int value = LastNonZero(freq, LENGTH_CODE_SYMBOLS);
  uint64_t bits = 0;
  if (used <= 1 && close == Close::INNER) {
    p->tree.single = value;
    p->tree.count = 0;
    memset(p->tree.len, 0, sizeof p->tree.len);
    bits = 2 * LENGTH_CODE_COUNT_BITS;
    coded = 0;  // the single value takes no bits
  } else {
    if (used <= 1) {  // the used value and a partner, one bit each
      memset(p->tree.len, 0, sizeof p->tree.len);
      p->tree.len[value] = 1;
      p->tree.len[value == 0 ? 1 : 0] = 1;
    }
    p->tree.count = std::max(LastUsed(p->tree.len, LENGTH_CODE_SYMBOLS), LENGTH_CODE_ZERO_RUN_AT);
    int plain = TreeFieldBits(*p);
    bits = (uint64_t)plain;
    if (close == Close::LAST_PADDED) {
      // Each further length adds 3 bits, or none while the 2-bit run of
      // zeros after the third length covers it.
      int count = p->tree.count;
      while (p->tree.count < LENGTH_CODE_SYMBOLS && (TreeFieldBits(*p) - plain) % 8 == 0) ++p->tree.count;
      if ((TreeFieldBits(*p) - plain) % 8 == 0) p->tree.count = count;
      bits = (uint64_t)TreeFieldBits(*p);
    }
  }
  // A lone used value sent as lengths has length 1, as MakeCodeLengths gave it.
  return bits + coded + extra;
}

// The position code; its header bits and the positions' bits.
uint64_t PlanPositionCode(const Frequencies& f, int pos_symbols, int pos_count_bits, BlockPlan* p) {
  uint64_t coded = 0;
  int used = MakeCodeLengths(f.positions, pos_symbols, MAX_CODE_BITS, p->positions.len, &coded);
  if (used <= 1) {
    p->positions.count = 0;
    p->positions.single = LastNonZero(f.positions, pos_symbols);
    memset(p->positions.len, 0, sizeof p->positions.len);
    return 2 * (uint64_t)pos_count_bits + f.extra_bits;
  }
  p->positions.count = LastUsed(p->positions.len, pos_symbols);
  uint64_t bits = (uint64_t)pos_count_bits + f.extra_bits;
  for (int k = 0; k < p->positions.count; ++k) bits += (uint64_t)LengthFieldBits(p->positions.len[k]);
  return bits + coded;
}

// Plans a block for the frequencies; with want_codes the canonical codes are
// made too (a size estimate does without them).
void PlanBlock(const Frequencies& f, int pos_symbols, int pos_count_bits, bool want_codes, Close close,
               BlockPlan* p) {
  uint64_t bits = 16;  // the token count
  bits += PlanCharCode(f, p);
  bits += PlanTreeCode(close, p);
  bits += PlanPositionCode(f, pos_symbols, pos_count_bits, p);
  p->bits = bits;
  if (want_codes) {
    MakeCanonicalCodes(p->chars.len, CHAR_SYMBOLS, p->chars.code);
    MakeCanonicalCodes(p->tree.len, LENGTH_CODE_SYMBOLS, p->tree.code);
    MakeCanonicalCodes(p->positions.len, pos_symbols, p->positions.code);
  }
}

// Writes blocks for a segment's tokens.
class BlockWriter {
 public:
  BlockWriter(int dict_bits, uint32_t slice_tokens, uint64_t read_bytes)
      : pos_symbols_(PositionClasses(dict_bits)), pos_count_bits_(PositionCountBits(dict_bits)),
        slice_tokens_(slice_tokens), read_bytes_(read_bytes) {
    parts_.reserve(MAX_PARTS);  // allocated here, never while a segment is compressed
  }

  // Chooses block boundaries for the tokens and writes the blocks. Every
  // slice starts as a block; then, while some pair of neighbouring blocks
  // is no larger joined than apart with a table build added, the pair that
  // gains the most (the first of equals) is joined. final: the last block
  // is the member's last. Records where the last block starts (token and
  // bit) and where the last table-read code begins.
  void WriteAll(BitWriter* w, const uint32_t* tokens, uint32_t count, bool final) {
    has_lookup_ = false;
    last_code_bits_ = 0;
    uint32_t n = Split(tokens, count);
    uint32_t last = 0;
    for (uint32_t k = 0; k < n; k = parts_[k].next) {
      if (parts_[k].next >= n) {
        last = k;
        break;
      }
      Write(w, tokens + parts_[k].start, parts_[k].freq, Close::INNER);
    }
    last_block_token_ = n ? parts_[last].start : 0;
    last_block_bit_ = w->BitCount();
    lookup_before_last_ = last_lookup_;
    has_lookup_before_last_ = has_lookup_;
    if (n) Write(w, tokens + parts_[last].start, parts_[last].freq, final ? Close::LAST : Close::INNER);
  }

  // Chooses the block boundaries for the tokens as WriteAll does, without
  // writing; then calls block(first token, token count, its size in bits)
  // for each block in order.
  template <typename Block>
  void ForEachBlock(const uint32_t* tokens, uint32_t count, Block block) {
    uint32_t n = Split(tokens, count);
    for (uint32_t k = 0; k < n; k = parts_[k].next) block(parts_[k].start, parts_[k].freq.tokens, parts_[k].bits);
  }

 private:
  // The slices of the tokens, joined into blocks (see WriteAll); returns
  // the slice count n: the blocks are parts_[0], parts_[parts_[0].next]...
  // up to an index of n or more.
  uint32_t Split(const uint32_t* tokens, uint32_t count) {
    // At most MAX_PARTS slices, which bounds the memory they take.
    uint32_t slice = std::max(slice_tokens_, (count + MAX_PARTS - 1) / MAX_PARTS);
    slice_used_ = slice;
    uint32_t n = (count + slice - 1) / slice;
    parts_.resize(n);
    for (uint32_t k = 0; k < n; ++k) {
      Part& part = parts_[k];
      part.start = k * slice;
      Recount(tokens, part.start, std::min(count, part.start + slice), &part.freq);
      part.next = k + 1;
      part.prev = k - 1;
      part.bytes = Bytes(part.freq);
    }
    // Tokens that as one block take no fewer bits than their bytes (random
    // data, data compressed already) are cut into blocks of as many whole
    // slices as a block holds, no join priced: codes cannot gain there, the
    // member is stored in the end or the stretch costs its bytes, and the
    // pricing was over half the time such data took.
    joined_.Clear();
    for (uint32_t k = 0; k < n; ++k) joined_.AddAll(parts_[k].freq);
    if (n > 1 && Estimate(joined_) >= 8 * Bytes(joined_)) {
      for (uint32_t k = 0; k < n;) {
        Part& block = parts_[k];
        for (++k; k < n && block.freq.tokens + parts_[k].freq.tokens <= BLOCK_MAX_TOKENS; ++k)
          block.freq.AddAll(parts_[k].freq);
        block.next = k;
        block.bits = Estimate(block.freq);
      }
      return n;
    }
    for (uint32_t k = 0; k < n; ++k) parts_[k].bits = Estimate(parts_[k].freq);
    for (uint32_t k = 0; k + 1 < n; ++k) Pair(k);
    Join(n);
    for (int pass = 0; pass < REFINE_PASSES && Refine(tokens, n); ++pass) {
      for (uint32_t k = 0; parts_[k].next < n; k = parts_[k].next) Pair(k);
      Join(n);
    }
    return n;
  }

  // Joins neighbouring blocks, the pair that gains most first, while some
  // pair gains.
  void Join(uint32_t n) {
    for (;;) {
      uint32_t pick = n;
      int64_t most = -1;
      for (uint32_t k = 0; k < n; k = parts_[k].next)
        if (parts_[k].next < n && parts_[k].gain > most) {
          most = parts_[k].gain;
          pick = k;
        }
      if (pick == n) break;
      Part& part = parts_[pick];
      uint32_t next = part.next;
      part.freq.AddAll(parts_[next].freq);
      part.bytes += parts_[next].bytes;
      part.bits = part.joined_bits;
      part.next = parts_[next].next;
      if (part.next < n) Pair(pick);
      else part.gain = -1;
      if (pick > 0) {
        uint32_t before = parts_[pick].prev;
        Pair(before);
      }
      if (part.next < n) parts_[part.next].prev = pick;
    }
  }

  // Moves each boundary between two blocks to the token where the pair
  // costs least under the two blocks' codes, within a slice either way:
  // the slices put boundaries only near where the data changes, and this
  // puts them at the change itself.
  bool Refine(const uint32_t* tokens, uint32_t n) {
    bool moved = false;
    // The next pair's first block is this pair's second: its costs carry
    // over (have_a) unless a boundary was skipped.
    int32_t* cost_a = cost_[0];
    int32_t* cost_b = cost_[1];
    bool have_a = false;
    for (uint32_t k = 0; parts_[k].next < n; k = parts_[k].next) {
      Part& a = parts_[k];
      Part& b = parts_[a.next];
      uint32_t at = b.start, a_start = a.start, b_end = b.start + b.freq.tokens;
      uint32_t reach = slice_used_;
      uint32_t low = std::max(a_start + 1, at > reach ? at - reach : 0);
      uint32_t high = std::min(b_end - 1, at + reach);
      low = std::max(low, b_end > BLOCK_MAX_TOKENS ? b_end - BLOCK_MAX_TOKENS : 0);
      high = std::min(high, a_start + BLOCK_MAX_TOKENS);
      if (low >= high) {
        have_a = false;
        continue;
      }
      if (!have_a) TokenCosts(a.freq, cost_a);
      TokenCosts(b.freq, cost_b);
      std::swap(cost_a, cost_b);  // b's costs stay for the next pair
      have_a = true;
      const int32_t* ca = cost_b;
      const int32_t* cb = cost_a;
      // delta: what the pair gains, in bits, with the boundary at i
      // instead of at.
      int64_t delta = 0, best = 0;
      uint32_t best_at = at;
      for (uint32_t i = at; i-- > low;) {
        delta += Cost(ca, tokens[i]) - Cost(cb, tokens[i]);
        if (delta > best) best = delta, best_at = i;
      }
      delta = 0;
      for (uint32_t i = at; i < high; ++i) {
        delta += Cost(cb, tokens[i]) - Cost(ca, tokens[i]);
        if (delta > best) best = delta, best_at = i + 1;
      }
      if (best_at == at) continue;
      // Kept only when the pair's exact size, headers included, drops: a
      // symbol new to a block may lengthen its header by more.
      Recount(tokens, a_start, best_at, &moved_a_);
      Recount(tokens, best_at, b_end, &moved_b_);
      uint64_t bits_a = Estimate(moved_a_), bits_b = Estimate(moved_b_);
      if (bits_a + bits_b >= a.bits + b.bits) continue;
      moved = true;
      uint64_t pair_bytes = a.bytes + b.bytes;
      a.freq = moved_a_;
      b.freq = moved_b_;
      a.bytes = Bytes(moved_a_);
      b.bytes = pair_bytes - a.bytes;
      a.bits = bits_a;
      b.bits = bits_b;
      b.start = best_at;
      PlanCosts(cost_a);  // plan_ is b's, from the last Estimate
    }
    return moved;
  }

  // Each symbol's code length in a block of the frequencies: chars[s],
  // and at 510 + c the position class c's; an unused symbol at two bits
  // more than the longest code.
  void TokenCosts(const Frequencies& f, int32_t* out) {
    PlanBlock(f, pos_symbols_, pos_count_bits_, false, Close::INNER, &plan_);
    PlanCosts(out);
  }

  void PlanCosts(int32_t* out) {
    CodeCosts(plan_.chars, CHAR_SYMBOLS, out);
    CodeCosts(plan_.positions, pos_symbols_, out + CHAR_SYMBOLS);
  }

  template <int N>
  static void CodeCosts(const HeaderCode<N>& code, int n, int32_t* out) {
    if (code.count == 0) {
      for (int s = 0; s < n; ++s) out[s] = 3;
      out[code.single] = 0;
      return;
    }
    int longest = 1;
    for (int s = 0; s < n; ++s) longest = std::max(longest, (int)code.len[s]);
    for (int s = 0; s < n; ++s) out[s] = code.len[s] ? code.len[s] : longest + 2;
  }

  static int64_t Cost(const int32_t* costs, uint32_t t) {
    uint32_t s = TokenSymbol(t);
    int64_t c = costs[s];
    if (s >= 256) c += costs[CHAR_SYMBOLS + PositionClass(TokenDistanceValue(t))];
    return c;
  }

  static void Recount(const uint32_t* tokens, uint32_t from, uint32_t to, Frequencies* f) {
    f->Clear();
    for (uint32_t i = from; i < to; ++i) f->Add(tokens[i]);
  }

 public:

  // Tokens in the last block WriteAll wrote.
  uint32_t LastBlockTokens(uint32_t count) const { return count - last_block_token_; }

  // Writes the member's last block again, in place of what WriteAll wrote:
  // with split, as two blocks (all its tokens but the last, then the last
  // alone, whose codes then have a single value each and take no bits);
  // close: LAST or LAST_PADDED.
  void RewriteLast(BitWriter* w, const uint32_t* tokens, uint32_t count, bool split, Close close) {
    w->Rewind(last_block_bit_);
    last_lookup_ = lookup_before_last_;
    has_lookup_ = has_lookup_before_last_;
    uint32_t alone = split ? count - 1 : last_block_token_;
    if (split) {
      block_.Clear();
      for (uint32_t i = last_block_token_; i < alone; ++i) block_.Add(tokens[i]);
      Write(w, tokens + last_block_token_, block_, Close::INNER);
    }
    block_.Clear();
    for (uint32_t i = alone; i < count; ++i) block_.Add(tokens[i]);
    Write(w, tokens + alone, block_, close);
  }

  // The last code that was read through a table (a code with more than one
  // value) in what was written: whether there is one and where it begins;
  // and how many bits the very last code took.
  bool has_lookup() const { return has_lookup_; }
  uint64_t last_lookup() const { return last_lookup_; }
  int last_code_bits() const { return last_code_bits_; }

 private:
  uint64_t Estimate(const Frequencies& f) {
    PlanBlock(f, pos_symbols_, pos_count_bits_, false, Close::INNER, &plan_);
    return plan_.bits;
  }

  // Writes one code, noting where the last table-read code begins.
  void PutCode(BitWriter* w, uint16_t code, int len) {
    if (len) {
      has_lookup_ = true;
      last_lookup_ = w->BitCount();
    }
    w->Put(code, len);
  }

  void Write(BitWriter* w, const uint32_t* tokens, const Frequencies& f, Close close) {
    PlanBlock(f, pos_symbols_, pos_count_bits_, true, close, &plan_);
    const BlockPlan& p = plan_;
    auto put = [w](uint32_t v, int n) { w->Put(v, n); };
    w->Put(f.tokens, BLOCK_CODES_BITS);
    ForEachTreeField(p, put);
    if (p.tree.count == 0) w->Put((uint32_t)p.tree.single, LENGTH_CODE_COUNT_BITS);
    if (p.chars.count == 0) {
      w->Put(0, CHAR_COUNT_BITS);
      w->Put((uint32_t)p.chars.single, CHAR_COUNT_BITS);
    } else {
      w->Put((uint32_t)p.chars.count, CHAR_COUNT_BITS);
      for (int k = 0; k < p.item_count; ++k) {
        const LengthItem& it = p.items[k];
        PutCode(w, p.tree.code[it.symbol], p.tree.len[it.symbol]);
        if (it.extra_count) w->Put(it.extra, it.extra_count);
      }
    }
    if (p.positions.count == 0) {
      w->Put(0, pos_count_bits_);
      w->Put((uint32_t)p.positions.single, pos_count_bits_);
    } else {
      w->Put((uint32_t)p.positions.count, pos_count_bits_);
      for (int k = 0; k < p.positions.count; ++k) PutLengthField(p.positions.len[k], put);
    }
    for (uint32_t i = 0; i < f.tokens; ++i) {
      uint32_t t = tokens[i];
      uint32_t s = TokenSymbol(t);
      uint64_t at = w->BitCount();
      PutCode(w, p.chars.code[s], p.chars.len[s]);
      if (s >= 256) {
        uint32_t d = TokenDistanceValue(t);
        int c = PositionClass(d);
        PutCode(w, p.positions.code[c], p.positions.len[c]);
        if (c > 1) w->Put(d - (1u << (c - 1)), c - 1);
      }
      last_code_bits_ = (int)(w->BitCount() - at);
    }
  }

  // A block while boundaries are chosen: its tokens from start, its codes'
  // counts and size, the next block's index, and what joining it to the
  // next saves (-1: not allowed).
  struct Part {
    uint32_t start;
    uint32_t next;
    uint32_t prev;
    Frequencies freq;
    uint64_t bits;
    uint64_t joined_bits;
    int64_t gain;
    uint64_t bytes;  // the bytes its tokens stand for
  };

  // The bytes the tokens counted in f stand for.
  static uint64_t Bytes(const Frequencies& f) {
    uint64_t bytes = 0;
    for (int s = 0; s < CHAR_SYMBOLS; ++s) bytes += (uint64_t)f.chars[s] * (s < 256 ? 1 : (uint32_t)(s - LENGTH_BIAS));
    return bytes;
  }

  // Prices joining block k to the next.
  void Pair(uint32_t k) {
    Part& part = parts_[k];
    const Part& next = parts_[part.next];
    if (part.freq.tokens + next.freq.tokens > BLOCK_MAX_TOKENS) {
      part.gain = -1;
      return;
    }
    joined_ = part.freq;
    joined_.AddAll(next.freq);
    part.joined_bits = Estimate(joined_);
    uint64_t apart = part.bits + next.bits;
    int64_t read = (int64_t)(apart * read_bytes_ / std::max<uint64_t>(part.bytes + next.bytes, 1));
    part.gain = (int64_t)apart + read - (int64_t)part.joined_bits;
  }

  int pos_symbols_;
  int pos_count_bits_;
  static const uint32_t MAX_PARTS = 2048;
  static const int REFINE_PASSES = 2;
  uint32_t slice_tokens_;
  uint64_t read_bytes_;
  uint32_t slice_used_ = 0;  // the last split's slice length
  int32_t cost_[2][CHAR_SYMBOLS + POSITION_CLASSES_MAX];
  BlockPlan plan_;
  std::vector<Part> parts_;
  Frequencies block_, joined_, moved_a_, moved_b_;
  uint32_t last_block_token_ = 0;
  uint64_t last_block_bit_ = 0;
  bool has_lookup_ = false, has_lookup_before_last_ = false;
  uint64_t last_lookup_ = 0, lookup_before_last_ = 0;
  int last_code_bits_ = 0;
};

// ---------------------------------------------------------------- matching

// Positions are kept as absolute numbers that grow from one segment to the
// next with a gap of a window between, so that nothing found for an earlier
// segment is ever taken for this one and the tables need no clearing.
// Position 0 is "none".
class PositionSpace {
 public:
  // Starts a segment of len bytes; returns the absolute position of its
  // first byte. Sets reset when the tables must be cleared first.
  uint32_t Begin(size_t len, bool* reset) {
    *reset = false;
    if ((uint64_t)next_ + len + 2 * WINDOW >= 0xF0000000u) {
      next_ = WINDOW + 1;
      *reset = true;
    }
    uint32_t base = next_;
    next_ += (uint32_t)len + WINDOW;
    return base;
  }

 private:
  uint32_t next_ = WINDOW + 1;
};

inline uint32_t Hash3(const uint8_t* d) {
  uint32_t v = (uint32_t)d[0] | ((uint32_t)d[1] << 8) | ((uint32_t)d[2] << 16);
  return (v * 2654435761u) >> (32 - HASH_BITS);
}

inline uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t n, uint32_t limit) {
  while (n + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + n, 8);
    memcpy(&y, b + n, 8);
    if (x != y) return n + (uint32_t)(__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  if (n >= limit) return n;
  if (limit < 8) {
    while (n < limit && a[n] == b[n]) ++n;
    return n;
  }
  // The last word ends at limit and overlaps bytes already found equal.
  uint64_t x, y;
  memcpy(&x, a + limit - 8, 8);
  memcpy(&y, b + limit - 8, 8);
  if (x == y) return limit;
  return limit - 8 + (uint32_t)(__builtin_ctzll(x ^ y) >> 3);
}

struct Found {
  uint32_t length;
  uint32_t distance;
};

// Hash chains: for each position the previous one with the same first
// three bytes. data points at absolute position base.
class ChainFinder {
 public:
  ChainFinder() : head_(1u << HASH_BITS, 0), prev_(WINDOW, 0) {}

  void Begin(const uint8_t* data, uint32_t base, bool reset) {
    if (reset) std::fill(head_.begin(), head_.end(), 0);
    data_ = data;
    base_ = base;
  }

  // Adds position i (an index into data; at least 3 bytes from the end).
  void Insert(uint32_t i) {
    uint32_t h = Hash3(data_ + i);
    uint32_t abs = base_ + i;
    prev_[abs & (WINDOW - 1)] = head_[h];
    head_[h] = abs;
  }

  // The longest match for i (inserted) up to limit bytes, of at most max
  // distance; the nearest of equal length. Length 0 when none.
  Found Longest(uint32_t i, uint32_t limit, uint32_t nice, uint32_t max_distance, int depth) const {
    Found best = {0, 0};
    uint32_t abs = base_ + i;
    uint32_t cutoff = abs - max_distance - 1;
    const uint8_t* cur = data_ + i;
    uint32_t best_len = MIN_MATCH - 1;
    uint32_t cand = prev_[abs & (WINDOW - 1)];
    while (cand > cutoff && depth-- > 0) {
      const uint8_t* c = data_ + (cand - base_);
      if (c[best_len] == cur[best_len] && c[0] == cur[0] && c[1] == cur[1] && c[2] == cur[2]) {
        uint32_t len = CommonLength(c, cur, 3, limit);
        if (len > best_len) {
          best_len = len;
          best = {len, abs - cand};
          if (len >= nice) break;
        }
      }
      cand = prev_[cand & (WINDOW - 1)];
    }
    return best;
  }

 private:
  std::vector<uint32_t> head_;
  std::vector<uint32_t> prev_;
  const uint8_t* data_ = nullptr;
  uint32_t base_ = 0;
};

// Binary trees: for each hash of four bytes, a tree of earlier positions
// ordered by the bytes that follow them, re-rooted at every new position;
// beside them the latest position of each hash of three bytes, for matches
// of three. Finds, for each position, the nearest match of every length
// that is longer than all nearer ones (within the search depth).
class TreeFinder {
 public:
  TreeFinder() : head3_(1u << HASH_BITS, 0), head_(1u << HASH_BITS, 0), child_(2 * WINDOW, 0) {}

  void Begin(const uint8_t* data, uint32_t base, bool reset) {
    if (reset) {
      std::fill(head3_.begin(), head3_.end(), 0);
      std::fill(head_.begin(), head_.end(), 0);
    }
    data_ = data;
    base_ = base;
  }

  // Adds position i and, when out is given, stores its matches there in
  // order of increasing length (at most limit bytes long); returns their
  // count. limit >= 3; nice <= limit. A match of nice bytes ends the walk,
  // and where it is, the tree takes the new position in the old one's
  // place: so a position only added (no out) needs no compare beyond nice
  // bytes, and is given limit = nice, at most ADDED_NICE (on a run of zeros
  // a walk then compares 48 or 64 bytes instead of 256).
  int Advance(uint32_t i, uint32_t limit, uint32_t nice, uint32_t max_distance, int depth, Found* out) {
    const uint8_t* cur = data_ + i;
    uint32_t abs = base_ + i;
    uint32_t cutoff = abs - max_distance - 1;
    int count = 0;
    uint32_t h3 = Hash3(cur);
    uint32_t near3 = head3_[h3];
    head3_[h3] = abs;
    uint32_t best = MIN_MATCH - 1;
    if (out && near3 > cutoff) {
      const uint8_t* m = data_ + (near3 - base_);
      if (m[0] == cur[0] && m[1] == cur[1] && m[2] == cur[2]) {
        out[count++] = {3, abs - near3};
        best = 3;
      }
    }
    if (limit < 4) return count;
    uint32_t h = Hash4(cur);
    uint32_t node = head_[h];
    head_[h] = abs;
    uint32_t* pending_lt = &child_[2 * (abs & (WINDOW - 1))];
    uint32_t* pending_gt = pending_lt + 1;
    if (node <= cutoff) {
      *pending_lt = *pending_gt = 0;
      return count;
    }
    uint32_t best_lt = 0, best_gt = 0, len = 0;
    for (;;) {
      const uint8_t* m = data_ + (node - base_);
      uint32_t* links = &child_[2 * (node & (WINDOW - 1))];
      if (m[len] == cur[len]) {
        len = CommonLength(m, cur, len + 1, limit);
        if (len > best && out) {
          best = len;
          out[count++] = {len, abs - node};
        }
        if (len >= nice) {
          *pending_lt = links[0];
          *pending_gt = links[1];
          return count;
        }
      }
      if (m[len] < cur[len]) {
        *pending_lt = node;
        pending_lt = links + 1;
        node = *pending_lt;
        best_lt = len;
        if (best_gt < len) len = best_gt;
      } else {
        *pending_gt = node;
        pending_gt = links;
        node = *pending_gt;
        best_gt = len;
        if (best_lt < len) len = best_lt;
      }
      if (node <= cutoff || --depth <= 0) {
        *pending_lt = *pending_gt = 0;
        return count;
      }
    }
  }

 private:
  static uint32_t Hash4(const uint8_t* d) {
    uint32_t v;
    memcpy(&v, d, 4);
    return (v * 2654435761u) >> (32 - HASH_BITS);
  }

  std::vector<uint32_t> head3_;
  std::vector<uint32_t> head_;
  std::vector<uint32_t> child_;
  const uint8_t* data_ = nullptr;
  uint32_t base_ = 0;
};

// ---------------------------------------------------------------- parsing

// Prices in SCALE-ths of a bit under a set of code lengths: chars[s] for a
// character symbol (literal or match length), positions[c] for a position
// class with its extra bits. A match's price is the sum of its length's and
// its class's.
struct Prices {
  static const uint32_t SCALE = 16;
  uint32_t chars[CHAR_SYMBOLS];
  uint32_t positions[POSITION_CLASSES_MAX];  // the class's code and its extra bits

  // From the frequencies of a parse: each symbol's share in bits (not
  // rounded to whole code lengths, which lets the next parse weigh close
  // choices finer).
  void FromFrequencies(const Frequencies& f, int pos_symbols) {
    // Every symbol counts as used once more, so that one the last parse did
    // without stays within reach of the next. (A larger weight on the real
    // counts prices the unused ones out of reach in a block of a few hundred
    // codes, where a first match of a length pays its header entry back.)
    uint32_t fc[CHAR_SYMBOLS], fp[POSITION_CLASSES_MAX];
    for (int s = 0; s < CHAR_SYMBOLS; ++s) fc[s] = f.chars[s] + 1;
    for (int c = 0; c < pos_symbols; ++c) fp[c] = f.positions[c] + 1;
    Entropy(fc, CHAR_SYMBOLS, chars);
    Entropy(fp, pos_symbols, positions);
    for (int c = 0; c < pos_symbols; ++c) positions[c] += (uint32_t)ExtraBits(c) * SCALE;
  }

  // From a block's codes: what each choice costs in that very block, in
  // whole bits (a code of a single value costs none). A symbol the block
  // does not use costs two bits more than its longest code: using it
  // changes the codes, which may still pay.
  void FromPlan(const BlockPlan& p, int pos_symbols) {
    FromLengths(p.chars, CHAR_SYMBOLS, chars);
    FromLengths(p.positions, pos_symbols, positions);
    for (int c = 0; c < pos_symbols; ++c) positions[c] += (uint32_t)ExtraBits(c) * SCALE;
  }

  template <int N>
  static void FromLengths(const HeaderCode<N>& code, int n, uint32_t* out) {
    if (code.count == 0) {
      for (int s = 0; s < n; ++s) out[s] = 3 * SCALE;
      out[code.single] = 0;
      return;
    }
    SetUnused(code.len, n, out);
    for (int s = 0; s < n; ++s) out[s] *= SCALE;
  }

  // Each symbol's share of the counts in bits (1 to MAX_CODE_BITS + 2),
  // in SCALE-ths of a bit; integers only, so every machine prices alike.
  static void Entropy(const uint32_t* freq, int n, uint32_t* out) {
    uint64_t total = 0;
    for (int s = 0; s < n; ++s) total += freq[s];
    int32_t top = Log2(total);
    for (int s = 0; s < n; ++s) {
      int32_t b = top - Log2(freq[s]);
      b = std::max<int32_t>(b, (int32_t)SCALE);
      b = std::min<int32_t>(b, (MAX_CODE_BITS + 2) * (int32_t)SCALE);
      out[s] = (uint32_t)b;
    }
  }

  // log2(x) in SCALE-ths (x >= 1): the top bit's place, then the fraction
  // by squaring the mantissa a bit at a time.
  static int32_t Log2(uint64_t x) {
    int whole = 63 - __builtin_clzll(x);
    uint64_t m = whole >= 15 ? x >> (whole - 15) : x << (15 - whole);  // in [2^15, 2^16)
    int32_t frac = 0;
    for (uint32_t bit = SCALE >> 1; bit; bit >>= 1) {
      m = (m * m) >> 15;
      if (m >= (1u << 16)) {
        m >>= 1;
        frac |= (int32_t)bit;
      }
    }
    return whole * (int32_t)SCALE + frac;
  }

  // A first guess for text or code: literals by the bytes' own frequencies,
  // a match 8 bits and its distance's extra bits at the least, longer
  // matches and farther distances a little dearer.
  void Guess(const uint8_t* data, size_t size, int pos_symbols) {
    uint32_t freq[CHAR_SYMBOLS] = {0};
    for (size_t i = 0; i < size; ++i) freq[data[i]]++;
    uint8_t len[CHAR_SYMBOLS];
    MakeCodeLengths(freq, 256, MAX_CODE_BITS, len);
    SetUnused(len, 256, chars);
    for (int s = 0; s < 256; ++s) chars[s] *= SCALE;
    for (int s = 256; s < CHAR_SYMBOLS; ++s) chars[s] = (4 + (uint32_t)PositionClass((uint32_t)(s - 256))) * SCALE;
    for (int c = 0; c < pos_symbols; ++c) positions[c] = (4 + (uint32_t)ExtraBits(c)) * SCALE;
  }

  uint32_t Match(uint32_t length, uint32_t distance) const {
    return chars[length + LENGTH_BIAS] + positions[PositionClass(distance - 1)];
  }

 private:
  static void SetUnused(const uint8_t* len, int n, uint32_t* out) {
    int longest = 1;
    for (int s = 0; s < n; ++s) longest = std::max(longest, (int)len[s]);
    for (int s = 0; s < n; ++s) out[s] = len[s] ? len[s] : (uint32_t)std::min(longest + 2, MAX_CODE_BITS + 2);
  }
};

}  // namespace

// Everything one compressor keeps from segment to segment.
struct Compressor::State {
  static const uint32_t CHUNK = 1u << 15;  // positions parsed together at most
  static const uint32_t CACHE = CHUNK * 8;  // matches kept for a chunk
  int dict_bits;
  LevelParams params;
  uint32_t max_distance;
  int pos_symbols;
  PositionSpace space;
  ChainFinder chains;
  TreeFinder trees;
  BlockWriter blocks;
  std::vector<uint32_t> tokens;
  // The optimal parse's chunk: matches of each position, the cheapest way
  // from each position to the chunk's end, and the step that takes it.
  std::vector<Found> cache;
  std::vector<uint32_t> cache_start;
  std::vector<uint32_t> cost;
  std::vector<uint32_t> step;
  Frequencies stats;
  Prices prices;
  // Re-parsing: the tokens of the parse before, and its blocks: where each
  // ends in the data and its tokens.
  struct Span {
    uint32_t end;
    uint32_t first;
    uint32_t count;
  };
  std::vector<uint32_t> earlier;
  std::vector<Span> spans;
  BlockPlan plan;

  State(int bits, int level)
      : dict_bits(bits), params(LEVELS[level]), max_distance(MaxDistance(bits)),
        pos_symbols(PositionClasses(bits)), blocks(bits, params.slice, params.read_bytes) {
    tokens.reserve(SEGMENT_BYTES + 1);
    if (params.optimal) {
      cache.resize(CACHE + MAX_MATCH);
      cache_start.resize(CHUNK + MAX_MATCH + 1);
      cost.resize(CHUNK + MAX_MATCH + 1);
      step.resize(CHUNK + MAX_MATCH + 1);
    }
    if (params.reparses) {
      earlier.reserve(SEGMENT_BYTES + 1);
      spans.reserve(SEGMENT_BYTES / params.slice + 1);
    }
  }

  void ParseGreedy(const uint8_t* data, uint32_t start, uint32_t end);
  void ParseOptimal(const uint8_t* data, uint32_t start, uint32_t end, bool by_blocks);
  bool Reparse(const uint8_t* data, uint32_t start, uint32_t end);
  uint32_t FindChunk(uint32_t start, uint32_t end, uint32_t most, uint32_t* skip_until);
  void ShortestPath(const uint8_t* data, uint32_t start, uint32_t n);
  void EmitPath(const uint8_t* data, uint32_t start, uint32_t n, bool keep, Frequencies* f);
  void Finish(BitWriter* w, Ending* e);
  void AddEnding(SegmentCode* out, bool split, Close close);
};

// Greedy and lazy parsing with hash chains, priced in bits under the code
// lengths of what was parsed so far (re-estimated every PRICE_SPAN bytes).
// A match is taken only when it costs less than its literals; a lazy match
// gives way when a literal and the match at the next position cover the
// same bytes for less.
void Compressor::State::ParseGreedy(const uint8_t* data, uint32_t start, uint32_t end) {
  const uint32_t PRICE_SPAN = 16384;
  uint32_t nice = (uint32_t)params.nice;
  uint32_t inserted = 0;  // positions below are in the chains
  auto insert_to = [&](uint32_t upto) {
    uint32_t stop = std::min(upto, end >= MIN_MATCH ? end - MIN_MATCH + 1 : 0);
    for (; inserted < stop; ++inserted) chains.Insert(inserted);
    if (inserted < upto) inserted = upto;
  };
  auto literals = [&](uint32_t from, uint32_t to) {
    uint32_t sum = 0;
    for (uint32_t k = from; k < to; ++k) sum += prices.chars[data[k]];
    return sum;
  };
  auto find = [&](uint32_t i) -> Found {
    insert_to(i + 1);
    uint32_t left = end - i;
    if (left < (uint32_t)MIN_MATCH) return {0, 0};
    uint32_t limit = std::min<uint32_t>(left, MAX_MATCH);
    Found m = chains.Longest(i, limit, std::min(nice, limit), max_distance, params.depth);
    if (m.length && prices.Match(m.length, m.distance) >= literals(i, i + m.length)) m = {0, 0};
    return m;
  };
  auto emit = [&](uint32_t t) {
    tokens.push_back(t);
    stats.Add(t);
  };
  insert_to(start);
  stats.Clear();
  prices.Guess(data + start, std::min(end - start, PRICE_SPAN), pos_symbols);
  uint32_t reprice = start + PRICE_SPAN;
  uint32_t i = start;
  Found m = find(i);
  while (i < end) {
    if (i >= reprice) {
      prices.FromFrequencies(stats, pos_symbols);
      reprice = i + PRICE_SPAN;
    }
    if (m.length == 0) {
      emit(Literal(data[i]));
      ++i;
      if (i < end) m = find(i);
      continue;
    }
    if (params.lazy && m.length < nice && i + 1 < end) {
      Found next = find(i + 1);
      if (next.length) {
        // Both ways to the same point: the match here and literals after
        // it, or a literal, the next match and literals after that.
        uint32_t reach = std::max(i + m.length, i + 1 + next.length);
        uint32_t here = prices.Match(m.length, m.distance) + literals(i + m.length, reach);
        uint32_t later = prices.chars[data[i]] + prices.Match(next.length, next.distance) +
                         literals(i + 1 + next.length, reach);
        if (later < here) {
          emit(Literal(data[i]));
          ++i;
          m = next;
          continue;
        }
      }
    }
    emit(Match(m.length, m.distance));
    i += m.length;
    if (i < end) m = find(i);
  }
}

// Finds the matches of positions start.. into the cache, up to end or until
// the cache is full; returns the chunk's length. Positions inside a match of
// the nice length or more get none (they are only added to the trees).
uint32_t Compressor::State::FindChunk(uint32_t start, uint32_t end, uint32_t most, uint32_t* skip_until) {
  // The last chunk's path was cut at its end, also inside a long match: this
  // chunk's first positions need their matches whatever came before.
  *skip_until = std::min(*skip_until, start);
  uint32_t n = std::min(most, params.chunk);
  uint32_t used = 0;
  uint32_t i = 0;
  for (; i < n && used <= CACHE; ++i) {
    uint32_t p = start + i;
    cache_start[i] = used;
    uint32_t left = end - p;
    if (left < (uint32_t)MIN_MATCH) continue;
    uint32_t limit = std::min<uint32_t>(left, MAX_MATCH);
    uint32_t nice = std::min<uint32_t>((uint32_t)params.nice, limit);
    if (p < *skip_until) {
      uint32_t added = std::min(nice, ADDED_NICE);
      trees.Advance(p, added, added, max_distance, params.depth, nullptr);
      continue;
    }
    int count = trees.Advance(p, limit, nice, max_distance, params.depth, &cache[used]);
    used += (uint32_t)count;
    if (count && cache[used - 1].length >= nice) *skip_until = p + cache[used - 1].length;
  }
  // Nor does a chunk end inside a match of the nice length: the path would
  // have to cut it there, and where data compresses a few hundred times a
  // cut costs as much as hundreds of bytes. The positions the match covers
  // are only added, at most MAX_MATCH past the chunk's length.
  uint32_t stretch = std::min<uint32_t>(most, i + MAX_MATCH);
  for (; i < stretch && start + i < *skip_until; ++i) {
    cache_start[i] = used;
    uint32_t added = std::min<uint32_t>({end - (start + i), MAX_MATCH, (uint32_t)params.nice, ADDED_NICE});
    if (added >= (uint32_t)MIN_MATCH) trees.Advance(start + i, added, added, max_distance, params.depth, nullptr);
  }
  cache_start[i] = used;
  return i;
}

// The cheapest way from each position of the chunk to its end, under the
// current prices, from the end backwards. At position i the choices are a
// literal, or any length from 3 up to each cached match's own: the matches
// come by increasing length, each the nearest of its length, so a length
// is priced with the first (nearest, cheapest to send) match that reaches
// it. len carries over from one match to the next for that reason.
void Compressor::State::ShortestPath(const uint8_t* data, uint32_t start, uint32_t n) {
  cost[n] = 0;
  for (uint32_t i = n; i-- > 0;) {
    uint32_t best = prices.chars[data[start + i]] + cost[i + 1];
    uint32_t best_step = 1;
    uint32_t len = MIN_MATCH;
    uint32_t room = n - i;
    for (uint32_t k = cache_start[i]; k < cache_start[i + 1] && len <= room; ++k) {
      const Found& m = cache[k];
      uint32_t top = std::min(m.length, room);
      uint32_t dist_price = prices.positions[PositionClass(m.distance - 1)];
      for (; len <= top; ++len) {
        uint32_t c = prices.chars[len + LENGTH_BIAS] + dist_price + cost[i + len];
        if (c < best) {
          best = c;
          best_step = len | (m.distance << 9);
        }
      }
    }
    cost[i] = best;
    step[i] = best_step;
  }
}

// Follows the cheapest path from the chunk's start, counting its codes into
// f; with keep, its tokens are kept.
void Compressor::State::EmitPath(const uint8_t* data, uint32_t start, uint32_t n, bool keep, Frequencies* f) {
  f->Clear();
  for (uint32_t i = 0; i < n;) {
    uint32_t s = step[i];
    uint32_t len = s & 511;
    uint32_t t = len == 1 ? Literal(data[start + i]) : Match(len, s >> 9);
    f->Add(t);
    if (keep) tokens.push_back(t);
    i += len;
  }
}

// Near-optimal parsing: the matches of a chunk are found once, then the
// shortest path is taken under prices from the previous chunk (or a guess),
// and again under the prices of the path just found, passes times.
//
// by_blocks: a parse again, block by block of the parse before (spans),
// each block priced by its own codes, one pass; no chunk crosses a block's
// end, so every choice is weighed by the codes it will be written with, if
// the blocks stay as they were.
void Compressor::State::ParseOptimal(const uint8_t* data, uint32_t start, uint32_t end, bool by_blocks) {
  uint32_t skip_until = 0;
  for (uint32_t i = 0; i < start && end - i >= (uint32_t)MIN_MATCH; ++i) {
    uint32_t added = std::min<uint32_t>({end - i, MAX_MATCH, (uint32_t)params.nice, ADDED_NICE});
    trees.Advance(i, added, added, max_distance, params.depth, nullptr);
  }
  bool first = true;
  size_t block = 0;
  while (start < end) {
    uint32_t most = end - start;
    int passes = params.passes;
    if (by_blocks) {
      if (first || start >= spans[block].end) {
        if (!first) ++block;
        const Span& b = spans[block];
        Frequencies& f = stats;
        f.Clear();
        for (uint32_t k = 0; k < b.count; ++k) f.Add(earlier[b.first + k]);
        PlanBlock(f, pos_symbols, PositionCountBits(dict_bits), false, Close::INNER, &plan);
        prices.FromPlan(plan, pos_symbols);
      }
      most = spans[block].end - start;
      passes = 1;
    }
    uint32_t n = FindChunk(start, end, most, &skip_until);
    // The first chunk has only guessed prices: it gets a pass more.
    if (first && !by_blocks) {
      prices.Guess(data + start, n, pos_symbols);
      passes = std::max(passes, 2);
    }
    first = false;
    for (int pass = 0; pass < passes; ++pass) {
      ShortestPath(data, start, n);
      bool last = pass + 1 == passes;
      EmitPath(data, start, n, last, &stats);
      if (!by_blocks) prices.FromFrequencies(stats, pos_symbols);
    }
    start += n;
  }
}

// Splits the tokens into blocks, notes where each block ends in the data,
// and parses the segment again by those blocks (ParseOptimal). The match
// finder runs again from the window's start, at a new place in the
// position space. Not where it cannot pay for its time: a segment that
// hardly compresses (within 1/64 of its size: random data, stored in the
// end) or that compresses more than 32 times (runs, exact repeats: a few
// bytes to gain); false then, and the tokens are left as they were.
bool Compressor::State::Reparse(const uint8_t* data, uint32_t start, uint32_t end) {
  spans.clear();
  uint32_t at = start, done = 0;
  uint64_t bits = 0;
  blocks.ForEachBlock(tokens.data(), (uint32_t)tokens.size(), [&](uint32_t first, uint32_t count, uint64_t size) {
    for (; done < first + count; ++done) {
      uint32_t s = TokenSymbol(tokens[done]);
      at += s < 256 ? 1 : s - LENGTH_BIAS;
    }
    spans.push_back({at, first, count});
    bits += size;
  });
  uint64_t raw_bits = 8 * (uint64_t)(end - start);
  if (bits * 64 >= raw_bits * 63 || bits * 32 < raw_bits) return false;
  earlier.swap(tokens);
  tokens.clear();
  bool reset;
  uint32_t base = space.Begin(end, &reset);
  trees.Begin(data, base, reset);
  ParseOptimal(data, start, end, true);
  return true;
}

Compressor::Compressor(int dict_bits, int level) : s_(new State(dict_bits, level)) {}
Compressor::~Compressor() { delete s_; }

void Compressor::Compress(const uint8_t* data, size_t history, size_t size, bool final, SegmentCode* out) {
  State& s = *s_;
  bool reset;
  uint32_t base = s.space.Begin(history + size, &reset);
  s.tokens.clear();
  uint32_t start = (uint32_t)history, end = (uint32_t)(history + size);
  if (s.params.optimal) {
    s.trees.Begin(data, base, reset);
    s.ParseOptimal(data, start, end, false);
    for (int k = 0; k < s.params.reparses && s.Reparse(data, start, end); ++k) {
    }
  } else {
    s.chains.Begin(data, base, reset);
    s.ParseGreedy(data, start, end);
  }
  uint32_t count = (uint32_t)s.tokens.size();
  out->count = 1;
  Ending& plain = out->endings[0];
  plain.bits.bytes.clear();
  BitWriter w(&plain.bits.bytes);
  s.blocks.WriteAll(&w, s.tokens.data(), count, final);
  s.Finish(&w, &plain);
  if (!final) return;
  // Other endings for the member's last segment, which the joiner picks
  // from by where the segment lands (see ChooseEnding).
  bool split = plain.has_lookup && plain.bits.bits < plain.last_lookup + 16 && s.blocks.LastBlockTokens(count) >= 2;
  if (split) s.AddEnding(out, true, Close::LAST);
  if (out->endings[out->count - 1].bare_end) s.AddEnding(out, split, Close::LAST_PADDED);
}

void Compressor::State::Finish(BitWriter* w, Ending* e) {
  e->bits.bits = w->BitCount();
  e->has_lookup = blocks.has_lookup();
  e->last_lookup = blocks.last_lookup();
  e->bare_end = blocks.last_code_bits() == 0;
  w->Flush();
}

void Compressor::State::AddEnding(SegmentCode* out, bool split, Close close) {
  Ending& e = out->endings[out->count++];
  e.bits.bytes = out->endings[0].bits.bytes;
  BitWriter w(&e.bits.bytes);
  blocks.RewriteLast(&w, tokens.data(), (uint32_t)tokens.size(), split, close);
  Finish(&w, &e);
}

namespace {

// Every reader tried decodes a member whose data ends so, and some fail on
// each of the other endings:
// - a reader that looks a code up in a table first fills its bit window
//   with the next 16 bits, also for the member's last code, and fails when
//   the data ends sooner; so the last code read through a table begins at
//   least 16 bits before the end of the data (whole bytes);
// - a reader stops once it has taken the last bit, also when codes that
//   take no bits are still due (codes of a single value); so such a code
//   never ends the data on a byte boundary: the padding bits after it keep
//   that reader going;
// - some readers refuse data that goes on past the byte holding the last
//   bit of the last code, so the end is never padded with a whole byte.
bool EndingFits(const Ending& e, uint64_t start_bit) {
  uint64_t end = start_bit + e.bits.bits;
  uint64_t byte_end = (end + 7) / 8 * 8;
  if (e.has_lookup && byte_end < start_bit + e.last_lookup + 16) return false;
  return !(e.bare_end && end % 8 == 0);
}

}  // namespace

const BitString& ChooseEnding(const SegmentCode& code, uint64_t start_bit) {
  for (int k = 0; k < code.count; ++k)
    if (EndingFits(code.endings[k], start_bit)) return code.endings[k].bits;
  return code.endings[code.count - 1].bits;
}

void BitJoiner::Append(const BitString& s) {
  uint64_t whole = s.bits / 8;
  int rest = (int)(s.bits % 8);
  const uint8_t* b = s.bytes.data();
  if (partial_bits_ == 0) {
    out_->insert(out_->end(), b, b + whole);
  } else {
    int k = partial_bits_;
    size_t at = out_->size();
    out_->resize(at + (size_t)whole);
    uint8_t* o = out_->data() + at;
    uint8_t carry = partial_;
    for (uint64_t i = 0; i < whole; ++i) {
      o[i] = (uint8_t)(carry | (b[i] >> k));
      carry = (uint8_t)(b[i] << (8 - k));
    }
    partial_ = carry;
  }
  if (rest) {
    // The last byte's high rest bits follow the partial bits.
    uint8_t last = (uint8_t)(b[whole] & (0xFF00 >> rest));
    int k = partial_bits_;
    uint8_t merged = (uint8_t)(partial_ | (last >> k));
    int total = k + rest;
    if (total >= 8) {
      out_->push_back(merged);
      partial_ = (uint8_t)(last << (8 - k));
      partial_bits_ = total - 8;
    } else {
      partial_ = merged;
      partial_bits_ = total;
    }
  }
  total_ += s.bits;
}

void BitJoiner::Finish() {
  if (partial_bits_) out_->push_back(partial_);
  partial_ = 0;
  partial_bits_ = 0;
}

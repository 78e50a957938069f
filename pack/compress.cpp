// Block-Huffman compression: a hash-chain match finder over the whole input,
// a parse into codes driven by their prices in bits, and blocks whose
// boundaries are chosen by their exact encoded size.
//
// The codes of one block: symbols 0-255 are literal bytes, 256-509 matches of
// 3-256 bytes; each match is followed by its distance value d (the copy
// starts d + 1 bytes back) as a position class (0 for d = 0, else the bit
// length of d) and the d bits below the class's top bit.
#include "pack/compress.h"

#include <string.h>

#include <algorithm>
#include <memory>

#include "pack/bitwriter.h"
#include "pack/huffman.h"

namespace {

const int CHAR_SYMBOLS = 510;
const int LENGTH_CODE_SYMBOLS = 19;
const int LENGTH_BIAS = 253;
// Tokens per block at most: the block header counts them in 16 bits.
const uint32_t BLOCK_MAX_TOKENS = 65535;
// Blocks are assembled from slices of this many tokens.
const uint32_t SLICE_TOKENS = 2048;
// Tokens collected before their blocks are chosen and written out.
const uint32_t BATCH_TOKENS = 1u << 20;

const int HASH_BITS = 16;
const uint32_t WINDOW = 1u << 16;  // the chain array covers the largest dictionary

// A token: symbol in the low 9 bits, the distance value d above them.
inline uint32_t Literal(uint8_t byte) { return byte; }
inline uint32_t Match(uint32_t length, uint32_t distance) {
  return (length + LENGTH_BIAS) | ((distance - 1) << 9);
}
inline uint32_t TokenSymbol(uint32_t t) { return t & 511; }
inline uint32_t TokenDistanceValue(uint32_t t) { return t >> 9; }

inline int PositionClass(uint32_t d) { return d == 0 ? 0 : 32 - __builtin_clz(d); }

// ---------------------------------------------------------------- input

// The input seen through a buffer that slides along it: the bytes from a
// dictionary's length before the current segment to a little past its end
// are kept, read from the source as they are needed. Positions are absolute.
class Window {
 public:
  Window(ByteSource* source, uint64_t size) : source_(source), size_(size), buf_(WINDOW_BUFFER) {}

  const uint8_t* At(uint64_t p) const { return buf_.data() + (p - base_); }

  // Makes [keep_from, min(upto, size)) available; false when the source
  // fails.
  bool Ensure(uint64_t upto, uint64_t keep_from) {
    if (upto > size_) upto = size_;
    if (upto <= end_) return true;
    if (upto - keep_from > buf_.size()) return false;  // cannot happen with the sizes used
    if (upto > base_ + buf_.size()) {
      memmove(buf_.data(), buf_.data() + (keep_from - base_), (size_t)(end_ - keep_from));
      base_ = keep_from;
    }
    uint64_t room = base_ + buf_.size() - end_;
    uint64_t want = std::min<uint64_t>(room, size_ - end_);
    if (!source_->Read(buf_.data() + (end_ - base_), (size_t)want)) return false;
    end_ += want;
    return true;
  }

 private:
  static const size_t WINDOW_BUFFER = 4u << 20;
  ByteSource* source_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t base_ = 0;  // position of buf_[0]
  uint64_t end_ = 0;   // position after the last byte read
};

// ---------------------------------------------------------------- matching

struct Found {
  uint32_t length;
  uint32_t distance;
};

class ChainMatcher {
 public:
  ChainMatcher(const Window* window, uint64_t size, uint32_t max_distance, const CompressEffort& effort)
      : window_(window), size_(size), max_distance_(max_distance), max_chain_(effort.max_chain),
        nice_(effort.nice_length), head_(1u << HASH_BITS, -1), prev_(WINDOW, -1) {}

  // Adds every position before p to the chains.
  void InsertUpTo(size_t p) {
    while (next_insert_ < p) Insert(next_insert_++);
  }

  // Every match for position p that is longer than all nearer ones, in order
  // of increasing length, into out; then inserts p. Returns the count.
  int FindAllAndInsert(size_t p, Found* out) {
    int count = 0;
    size_t left = size_ - p;
    if (left < (size_t)MIN_MATCH) {
      next_insert_ = p + 1;
      return 0;
    }
    uint32_t limit = left < (size_t)MAX_MATCH ? (uint32_t)left : (uint32_t)MAX_MATCH;
    uint32_t nice = std::min<uint32_t>((uint32_t)nice_, limit);
    uint32_t h = Hash(p);
    int64_t cand = head_[h];
    int chain = max_chain_;
    const uint8_t* cur = window_->At(p);
    uint32_t best_len = MIN_MATCH - 1;
    while (cand >= 0 && chain-- > 0) {
      uint32_t dist = (uint32_t)(p - (size_t)cand);
      if (dist > max_distance_) break;
      const uint8_t* c = window_->At((uint64_t)cand);
      if (c[best_len] == cur[best_len] && c[0] == cur[0] && c[1] == cur[1]) {
        uint32_t len = CommonLength(c, cur, limit);
        if (len > best_len) {
          best_len = len;
          out[count].length = len;
          out[count].distance = dist;
          ++count;
          if (len >= nice) break;
        }
      }
      cand = prev_[(size_t)cand & (WINDOW - 1)];
    }
    Insert(p);
    next_insert_ = p + 1;
    return count;
  }

 private:
  uint32_t Hash(size_t p) const {
    const uint8_t* d = window_->At(p);
    uint32_t v = (uint32_t)d[0] | ((uint32_t)d[1] << 8) | ((uint32_t)d[2] << 16);
    return (v * 2654435761u) >> (32 - HASH_BITS);
  }

  void Insert(size_t p) {
    if (size_ - p < (size_t)MIN_MATCH) return;
    uint32_t h = Hash(p);
    prev_[p & (WINDOW - 1)] = head_[h];
    head_[h] = (int64_t)p;
  }

  static uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t n = 0;
    while (n + 8 <= limit) {
      uint64_t x, y;
      memcpy(&x, a + n, 8);
      memcpy(&y, b + n, 8);
      if (x != y) return n + (uint32_t)(__builtin_ctzll(x ^ y) >> 3);
      n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
  }

  const Window* window_;
  uint64_t size_;
  uint32_t max_distance_;
  int max_chain_;
  int nice_;
  std::vector<int64_t> head_;
  std::vector<int64_t> prev_;
  size_t next_insert_ = 0;
};

// ---------------------------------------------------------------- block plans

struct Frequencies {
  uint32_t chars[CHAR_SYMBOLS];
  uint32_t positions[17];
  uint64_t extra_bits;  // distance bits below the class's top bit
  uint32_t tokens;

  void Clear() { memset(this, 0, sizeof *this); }
  void Add(uint32_t t) {
    uint32_t s = TokenSymbol(t);
    chars[s]++;
    if (s >= 256) {
      int c = PositionClass(TokenDistanceValue(t));
      positions[c]++;
      if (c > 1) extra_bits += (uint64_t)(c - 1);
    }
    tokens++;
  }
  void AddAll(const Frequencies& o) {
    for (int i = 0; i < CHAR_SYMBOLS; ++i) chars[i] += o.chars[i];
    for (int i = 0; i < 17; ++i) positions[i] += o.positions[i];
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

// Everything the block header sends, and the exact size of the block.
struct BlockPlan {
  uint8_t char_len[CHAR_SYMBOLS];
  uint16_t char_code[CHAR_SYMBOLS];
  int char_count;       // lengths sent; 0: a single character value
  int char_single;
  uint8_t tree_len[LENGTH_CODE_SYMBOLS];
  uint16_t tree_code[LENGTH_CODE_SYMBOLS];
  int tree_count;       // 0: a single code-length value
  int tree_single;
  uint8_t pos_len[17];
  uint16_t pos_code[17];
  int pos_count;        // 0: a single class
  int pos_single;
  LengthItem items[CHAR_SYMBOLS];
  int item_count;
  uint64_t bits;
};

inline int LengthFieldBits(int len) { return len < 7 ? 3 : len - 3; }

void PutLengthField(BitWriter* w, int len) {
  if (len < 7) {
    w->Put((uint32_t)len, 3);
  } else {
    w->Put(7, 3);
    w->Put(((1u << (len - 7)) - 1) << 1, len - 6);
  }
}

int LastUsed(const uint8_t* len, int n) {
  while (n > 0 && len[n - 1] == 0) --n;
  return n;
}

// Sends the code-length tree's lengths: the count, then each length, with
// the number of zero lengths after the third one in 2 bits.
template <typename Sink>
void ForEachTreeField(const BlockPlan& p, Sink put) {
  put((uint32_t)p.tree_count, 5);
  for (int k = 0; k < p.tree_count; ++k) {
    int len = p.tree_len[k];
    if (len < 7) {
      put((uint32_t)len, 3);
    } else {
      put(7, 3);
      put(((1u << (len - 7)) - 1) << 1, len - 6);
    }
    if (k == 2) {
      int z = 0;
      while (z < 3 && k + 1 + z < p.tree_count && p.tree_len[k + 1 + z] == 0) ++z;
      put((uint32_t)z, 2);
      k += z;
    }
  }
}

// Plans a block for the frequencies; with want_codes the canonical codes are
// made too (a size estimate does without them).
//
// A tree of a single code-length value has a short form (count 0 and the
// value). The member's final block never uses it, nor any tree of fewer than
// three lengths: one common reader then refuses the member, depending on
// where the data ends. There the tree is sent as lengths, at least three.
void PlanBlock(const Frequencies& f, int pos_symbols, int pos_count_bits, bool want_codes, bool final,
               BlockPlan* p) {
  uint64_t bits = 16;
  int used = MakeCodeLengths(f.chars, CHAR_SYMBOLS, MAX_CODE_BITS, p->char_len);
  p->item_count = 0;
  uint32_t tree_freq[LENGTH_CODE_SYMBOLS] = {0};
  if (used <= 1) {
    int value = 0;
    for (int s = 0; s < CHAR_SYMBOLS; ++s)
      if (f.chars[s]) value = s;
    p->char_count = 0;
    p->char_single = value;
    memset(p->char_len, 0, sizeof p->char_len);
    bits += 9 + 9;
  } else {
    p->char_count = LastUsed(p->char_len, CHAR_SYMBOLS);
    int i = 0;
    while (i < p->char_count) {
      if (p->char_len[i]) {
        p->items[p->item_count++] = {(uint8_t)(p->char_len[i] + 2), 0, 0};
        ++i;
        continue;
      }
      int run = 0;
      while (i + run < p->char_count && p->char_len[i + run] == 0) ++run;
      if (run <= 2) {
        for (int k = 0; k < run; ++k) p->items[p->item_count++] = {0, 0, 0};
      } else if (run <= 18) {
        p->items[p->item_count++] = {1, 4, (uint16_t)(run - 3)};
      } else if (run == 19) {
        p->items[p->item_count++] = {0, 0, 0};
        p->items[p->item_count++] = {1, 4, 15};
      } else {
        p->items[p->item_count++] = {2, 9, (uint16_t)(run - 20)};
      }
      i += run;
    }
    for (int k = 0; k < p->item_count; ++k) tree_freq[p->items[k].symbol]++;
  }
  int tree_used = MakeCodeLengths(tree_freq, LENGTH_CODE_SYMBOLS, MAX_CODE_BITS, p->tree_len);
  int tree_value = 0;
  for (int s = 0; s < LENGTH_CODE_SYMBOLS; ++s)
    if (tree_freq[s]) tree_value = s;
  if (tree_used <= 1 && !final) {
    p->tree_single = tree_value;
    p->tree_count = 0;
    memset(p->tree_len, 0, sizeof p->tree_len);
    bits += 5 + 5;
  } else {
    if (tree_used <= 1) {  // the used value and a partner, one bit each
      memset(p->tree_len, 0, sizeof p->tree_len);
      p->tree_len[tree_value] = 1;
      p->tree_len[tree_value == 0 ? 1 : 0] = 1;
    }
    p->tree_count = std::max(LastUsed(p->tree_len, LENGTH_CODE_SYMBOLS), 3);
    ForEachTreeField(*p, [&](uint32_t, int n) { bits += (uint64_t)n; });
  }
  if (p->char_count > 0) {
    bits += 9;
    for (int k = 0; k < p->item_count; ++k)
      bits += (uint64_t)p->tree_len[p->items[k].symbol] + p->items[k].extra_count;
    for (int s = 0; s < CHAR_SYMBOLS; ++s) bits += (uint64_t)f.chars[s] * p->char_len[s];
  }
  int pos_used = MakeCodeLengths(f.positions, pos_symbols, MAX_CODE_BITS, p->pos_len);
  if (pos_used <= 1) {
    int value = 0;
    for (int s = 0; s < pos_symbols; ++s)
      if (f.positions[s]) value = s;
    p->pos_count = 0;
    p->pos_single = value;
    memset(p->pos_len, 0, sizeof p->pos_len);
    bits += 2 * (uint64_t)pos_count_bits;
  } else {
    p->pos_count = LastUsed(p->pos_len, pos_symbols);
    bits += (uint64_t)pos_count_bits;
    for (int k = 0; k < p->pos_count; ++k) bits += (uint64_t)LengthFieldBits(p->pos_len[k]);
    for (int s = 0; s < pos_symbols; ++s) bits += (uint64_t)f.positions[s] * p->pos_len[s];
  }
  bits += f.extra_bits;
  p->bits = bits;
  if (want_codes) {
    MakeCanonicalCodes(p->char_len, CHAR_SYMBOLS, p->char_code);
    MakeCanonicalCodes(p->tree_len, LENGTH_CODE_SYMBOLS, p->tree_code);
    MakeCanonicalCodes(p->pos_len, pos_symbols, p->pos_code);
  }
}

uint64_t EstimateBits(const Frequencies& f, int pos_symbols, int pos_count_bits) {
  static thread_local BlockPlan plan;
  PlanBlock(f, pos_symbols, pos_count_bits, false, false, &plan);
  return plan.bits;
}

// Where the last character or position code of the output began.
thread_local uint64_t g_last_lookup_bit;

// Some decoders look 16 bits ahead for every code, also for the last one,
// and fail when the data ends sooner; others insist that the data ends with
// the byte holding the last code. Both hold when the last code starts at
// least 16 bits before the end of its byte.
const uint64_t LOOKAHEAD_BITS = 16;

void WriteBlock(BitWriter* w, const uint32_t* tokens, uint32_t count, const BlockPlan& p, int pos_count_bits) {
  w->Put(count, 16);
  if (p.tree_count == 0) {
    w->Put(0, 5);
    w->Put((uint32_t)p.tree_single, 5);
  } else {
    ForEachTreeField(p, [w](uint32_t value, int n) { w->Put(value, n); });
  }
  if (p.char_count == 0) {
    w->Put(0, 9);
    w->Put((uint32_t)p.char_single, 9);
  } else {
    w->Put((uint32_t)p.char_count, 9);
    for (int k = 0; k < p.item_count; ++k) {
      const LengthItem& it = p.items[k];
      w->Put(p.tree_code[it.symbol], p.tree_len[it.symbol]);
      w->Put(it.extra, it.extra_count);
    }
  }
  if (p.pos_count == 0) {
    w->Put(0, pos_count_bits);
    w->Put((uint32_t)p.pos_single, pos_count_bits);
  } else {
    w->Put((uint32_t)p.pos_count, pos_count_bits);
    for (int k = 0; k < p.pos_count; ++k) PutLengthField(w, p.pos_len[k]);
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t t = tokens[i];
    uint32_t s = TokenSymbol(t);
    g_last_lookup_bit = w->BitCount();
    w->Put(p.char_code[s], p.char_len[s]);
    if (s >= 256) {
      uint32_t d = TokenDistanceValue(t);
      int c = PositionClass(d);
      g_last_lookup_bit = w->BitCount();
      w->Put(p.pos_code[c], p.pos_len[c]);
      if (c > 1) w->Put(d - (1u << (c - 1)), c - 1);
    }
  }
}

// Chooses block boundaries for a batch of tokens and writes the blocks.
// Slices are joined to the block before them while that makes the two
// smaller together than apart.
//
// With split_last the last token gets a block of its own, which ends the
// data with a block header and a code of whatever length it needs. With
// final the batch's last block is the member's last.
void WriteBatch(BitWriter* w, const uint32_t* tokens, uint32_t count, int pos_symbols, int pos_count_bits,
                bool split_last, bool final) {
  static thread_local BlockPlan plan;
  static thread_local Frequencies block, slice, joined;
  if (split_last && count > 1) {
    WriteBatch(w, tokens, count - 1, pos_symbols, pos_count_bits, false, false);
    block.Clear();
    block.Add(tokens[count - 1]);
    PlanBlock(block, pos_symbols, pos_count_bits, true, final, &plan);
    WriteBlock(w, tokens + count - 1, 1, plan, pos_count_bits);
    return;
  }
  uint32_t start = 0;
  block.Clear();
  uint64_t block_bits = 0;
  for (uint32_t s = 0; s < count; s += SLICE_TOKENS) {
    uint32_t end = std::min(count, s + SLICE_TOKENS);
    slice.Clear();
    for (uint32_t i = s; i < end; ++i) slice.Add(tokens[i]);
    uint64_t slice_bits = EstimateBits(slice, pos_symbols, pos_count_bits);
    if (block.tokens == 0) {
      block = slice;
      block_bits = slice_bits;
      continue;
    }
    bool fits = block.tokens + slice.tokens <= BLOCK_MAX_TOKENS;
    uint64_t joined_bits = 0;
    if (fits) {
      joined = block;
      joined.AddAll(slice);
      joined_bits = EstimateBits(joined, pos_symbols, pos_count_bits);
    }
    if (fits && joined_bits <= block_bits + slice_bits) {
      block = joined;
      block_bits = joined_bits;
    } else {
      PlanBlock(block, pos_symbols, pos_count_bits, true, false, &plan);
      WriteBlock(w, tokens + start, block.tokens, plan, pos_count_bits);
      start += block.tokens;
      block = slice;
      block_bits = slice_bits;
    }
  }
  if (block.tokens) {
    PlanBlock(block, pos_symbols, pos_count_bits, true, final, &plan);
    WriteBlock(w, tokens + start, block.tokens, plan, pos_count_bits);
  }
}

// ---------------------------------------------------------------- parsing

// Parsing by price: within a segment, the cheapest way to reach every
// position is found from literal and match prices in bits (the code lengths
// the recent statistics give), then the cheapest path is taken back from the
// segment's end. Matches of at least the nice length are taken outright.
class OptimalParser {
 public:
  OptimalParser(ByteSource* source, uint64_t size, uint32_t max_distance, int pos_symbols,
                const CompressEffort& effort)
      : window_(source, size), size_(size), pos_symbols_(pos_symbols), nice_((uint32_t)effort.nice_length),
        finder_(&window_, size, max_distance, effort) {
    cost_.resize(SEGMENT + MAX_MATCH + 1);
    step_.resize(SEGMENT + MAX_MATCH + 1);
    memset(&stats_, 0, sizeof stats_);
    for (int s = 0; s < 256; ++s) char_price_[s] = 8;
    for (int s = 256; s < CHAR_SYMBOLS; ++s) char_price_[s] = 7 + (s - 256) / 16;
    for (int c = 0; c < 17; ++c) pos_price_[c] = 3 + (c > 1 ? c - 1 : 0);
  }

  // Parses segments into tokens while max leaves room for one more; true
  // while input remains. Sets failed() when the source fails.
  bool Next(std::vector<uint32_t>* tokens, size_t max) {
    while (pos_ < size_ && tokens->size() + SEGMENT <= max) {
      uint64_t keep = pos_ > WINDOW ? pos_ - WINDOW : 0;
      if (!window_.Ensure(pos_ + SEGMENT + MAX_MATCH, keep)) {
        failed_ = true;
        return false;
      }
      Segment(tokens);
    }
    return pos_ < size_;
  }
  bool failed() const { return failed_; }

 private:
  static const uint32_t SEGMENT = 16384;
  static const uint32_t NO_COST = 0xFFFFFFFFu;

  uint32_t MatchPrice(uint32_t length, uint32_t distance) const {
    uint32_t d = distance - 1;
    return char_price_[length + LENGTH_BIAS] + pos_price_[PositionClass(d)];
  }

  void Segment(std::vector<uint32_t>* tokens) {
    size_t base = pos_;
    uint32_t span = (uint32_t)std::min<size_t>(SEGMENT, size_ - base);
    for (uint32_t i = 0; i <= span; ++i) cost_[i] = NO_COST;
    cost_[0] = 0;
    Found found[MAX_MATCH + 1];
    uint32_t forced_until = 0;  // positions below are inside a long match
    for (uint32_t i = 0; i < span; ++i) {
      size_t p = base + i;
      if (i < forced_until) {
        finder_.InsertUpTo(p + 1);
        continue;
      }
      uint32_t here = cost_[i];
      uint8_t byte = *window_.At(p);
      uint32_t lit = here + char_price_[byte];
      if (lit < cost_[i + 1]) {
        cost_[i + 1] = lit;
        step_[i + 1] = Literal(byte) | LITERAL_STEP;
      }
      finder_.InsertUpTo(p);
      int n = finder_.FindAllAndInsert(p, found);
      if (n == 0) continue;
      uint32_t longest = found[n - 1].length;
      uint32_t limit = std::min<uint32_t>(longest, span - i);
      if (longest >= nice_ && limit == longest) {
        uint32_t c = here + MatchPrice(longest, found[n - 1].distance);
        if (c < cost_[i + longest]) {
          cost_[i + longest] = c;
          step_[i + longest] = Match(longest, found[n - 1].distance);
        }
        forced_until = i + longest;
        continue;
      }
      uint32_t len = MIN_MATCH;
      for (int k = 0; k < n && len <= limit; ++k) {
        uint32_t dist_price = pos_price_[PositionClass(found[k].distance - 1)];
        uint32_t top = std::min(found[k].length, limit);
        for (; len <= top; ++len) {
          uint32_t c = here + char_price_[len + LENGTH_BIAS] + dist_price;
          if (c < cost_[i + len]) {
            cost_[i + len] = c;
            step_[i + len] = Match(len, found[k].distance);
          }
        }
      }
    }
    // Walk back from the end, then emit in order.
    path_.clear();
    uint32_t at = span;
    while (at > 0) {
      uint32_t t = step_[at];
      path_.push_back(t & ~LITERAL_STEP);
      at -= (t & LITERAL_STEP) ? 1 : TokenSymbol(t) - LENGTH_BIAS;
    }
    for (size_t k = path_.size(); k-- > 0;) {
      tokens->push_back(path_[k]);
      stats_.Add(path_[k]);
    }
    finder_.InsertUpTo(base + span);
    pos_ = base + span;
    UpdatePrices();
  }

  // Prices from the statistics so far, recent segments weighing more.
  void UpdatePrices() {
    uint32_t freq[CHAR_SYMBOLS];
    uint8_t len[CHAR_SYMBOLS];
    for (int s = 0; s < CHAR_SYMBOLS; ++s) freq[s] = stats_.chars[s] * 2 + 1;
    MakeCodeLengths(freq, CHAR_SYMBOLS, MAX_CODE_BITS, len);
    for (int s = 0; s < CHAR_SYMBOLS; ++s) char_price_[s] = len[s];
    uint32_t pfreq[17];
    uint8_t plen[17];
    for (int c = 0; c < pos_symbols_; ++c) pfreq[c] = stats_.positions[c] * 2 + 1;
    MakeCodeLengths(pfreq, pos_symbols_, MAX_CODE_BITS, plen);
    for (int c = 0; c < pos_symbols_; ++c) pos_price_[c] = plen[c] + (c > 1 ? (uint32_t)(c - 1) : 0);
    for (int s = 0; s < CHAR_SYMBOLS; ++s) stats_.chars[s] >>= 1;
    for (int c = 0; c < 17; ++c) stats_.positions[c] >>= 1;
  }

  // Marks a literal step in the step array (tokens use 25 bits).
  static const uint32_t LITERAL_STEP = 1u << 31;

  Window window_;
  uint64_t size_;
  int pos_symbols_;
  uint32_t nice_;
  ChainMatcher finder_;
  uint64_t pos_ = 0;
  bool failed_ = false;
  std::vector<uint32_t> cost_;
  std::vector<uint32_t> step_;
  std::vector<uint32_t> path_;
  Frequencies stats_;
  uint32_t char_price_[CHAR_SYMBOLS];
  uint32_t pos_price_[17];
};

}  // namespace

namespace {

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(const uint8_t* data) : data_(data) {}
  bool Read(uint8_t* buf, size_t n) override {
    if (n) memcpy(buf, data_, n);
    data_ += n;
    return true;
  }

 private:
  const uint8_t* data_;
};

class VectorSink : public ByteSink {
 public:
  explicit VectorSink(std::vector<uint8_t>* out) : out_(out) {}
  bool Write(const uint8_t* data, size_t n) override {
    out_->insert(out_->end(), data, data + n);
    return true;
  }

 private:
  std::vector<uint8_t>* out_;
};

}  // namespace

CompressResult CompressStream(ByteSource* source, uint64_t size, int dict_bits, const CompressEffort& effort,
                              ByteSink* sink, uint64_t* packed_size) {
  int pos_symbols = dict_bits <= 14 ? 14 : (dict_bits == 16 ? 17 : 16);
  int pos_count_bits = dict_bits <= 14 ? 4 : 5;
  // The bytes of the batch being written; those of earlier batches have gone
  // to the sink, since only the last batch may be written again.
  std::vector<uint8_t> out;
  BitWriter w(&out);
  std::vector<uint32_t> tokens;
  tokens.reserve(BATCH_TOKENS);
  std::unique_ptr<OptimalParser> parser(
      new OptimalParser(source, size, MaxDistance(dict_bits), pos_symbols, effort));
  bool more = size > 0;
  uint64_t written = 0;
  BitWriter before_last = w;
  while (more) {
    if (!out.empty()) {
      if (!sink->Write(out.data(), out.size())) return COMPRESS_FAILED;
      written += out.size();
      out.clear();
    }
    tokens.clear();
    more = parser->Next(&tokens, BATCH_TOKENS);
    if (parser->failed()) return COMPRESS_FAILED;
    before_last = w;
    WriteBatch(&w, tokens.data(), (uint32_t)tokens.size(), pos_symbols, pos_count_bits, false, !more);
    if (written + out.size() >= size) return COMPRESS_NOT_SMALLER;
  }
  if (size > 0 && (w.BitCount() + 7) / 8 * 8 < g_last_lookup_bit + LOOKAHEAD_BITS) {
    out.clear();
    w = before_last;
    WriteBatch(&w, tokens.data(), (uint32_t)tokens.size(), pos_symbols, pos_count_bits, true, true);
  }
  w.Flush();
  if (written + out.size() >= size) return COMPRESS_NOT_SMALLER;
  if (!out.empty() && !sink->Write(out.data(), out.size())) return COMPRESS_FAILED;
  *packed_size = written + out.size();
  return COMPRESS_OK;
}

bool CompressBlockHuffman(const uint8_t* data, size_t size, int dict_bits,
                          const CompressEffort& effort, std::vector<uint8_t>* out) {
  out->clear();
  MemorySource source(data);
  VectorSink sink(out);
  uint64_t packed = 0;
  return CompressStream(&source, size, dict_bits, effort, &sink, &packed) == COMPRESS_OK;
}

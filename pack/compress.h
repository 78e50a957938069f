// The block-Huffman compressor for the -lh5-, -lh6- and -lh7- methods.
//
// A member is cut into segments at fixed offsets. Each segment is compressed
// on its own, with the raw bytes before it as its window history, into whole
// blocks; the segments' bit strings are then joined in order. The output
// depends only on the input, the method and the level, never on which
// thread compressed which segment.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "decode/format.h"

// Compression levels, as gzip numbers them: 1 fastest, 9 smallest.
const int LEVEL_MIN = 1;
const int LEVEL_MAX = 9;
const int LEVEL_DEFAULT = 5;
const int LEVEL_BEST = 9;  // --best

// Longest and shortest match, and the largest distance (bytes back) for a
// dictionary of 1 << dict_bits bytes. A distance of the full dictionary size
// is never used: not every decoder keeps that byte.
const int MIN_MATCH = MATCH_MIN;
const int MAX_MATCH = MATCH_MAX;
inline uint32_t MaxDistance(int dict_bits) { return (1u << dict_bits) - 1; }

// Segment length: the offsets where a member is cut.
const size_t SEGMENT_BYTES = 1u << 20;
// The window history a segment at offset > 0 is given.
inline size_t HistoryBytes(int dict_bits, uint64_t offset) {
  return offset < MaxDistance(dict_bits) ? (size_t)offset : (size_t)MaxDistance(dict_bits);
}

// Bits, most significant first, in whole bytes (the last one padded with
// zero bits).
struct BitString {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;
};

// One segment's compressed form.
struct SegmentCode {
  BitString code;
  // The member's last segment only: where its last character or position
  // code begins (a bit offset into code), and, when the end may come too
  // soon after that code for some decoders (see NeedsSplit), the same
  // segment with its last code in a block of its own.
  uint64_t last_lookup = 0;
  bool has_split = false;
  BitString split;
};

// Some decoders look 16 bits ahead for every code, also for the last one,
// and fail when the data ends sooner; others insist that the data ends with
// the byte holding the last code. Both hold when the last code starts at
// least 16 bits before the end of its byte. start_bit: where the segment
// begins in the member's data.
bool NeedsSplit(const SegmentCode& code, uint64_t start_bit);

// A compressor for one method and level. Its buffers are allocated once, so
// that one compressor serves every segment of a run. Not shared between
// threads.
class Compressor {
 public:
  Compressor(int dict_bits, int level);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Compresses data[history, history + size) (size <= SEGMENT_BYTES, above
  // 0), data[0, history) being the bytes before it. final: the member's last
  // segment, whose last block ends the member.
  void Compress(const uint8_t* data, size_t history, size_t size, bool final, SegmentCode* out);

 private:
  struct State;
  State* s_;
};

// Appends bit strings one after another, shifting each to where the last
// ended.
class BitJoiner {
 public:
  explicit BitJoiner(std::vector<uint8_t>* out) : out_(out) {}
  void Append(const BitString& bits);
  // Bits appended so far.
  uint64_t BitCount() const { return total_; }
  // Pads the partial last byte with zero bits and moves it to out.
  void Finish();

 private:
  std::vector<uint8_t>* out_;
  uint64_t total_ = 0;
  uint8_t partial_ = 0;  // the pending high bits of the next byte
  int partial_bits_ = 0;
};

// Compresses size bytes for a dictionary of 1 << dict_bits bytes (13, 15 or
// 16) into out (replaced), segment by segment as a member is. Returns false
// when the output would not be smaller than the input.
bool CompressBlockHuffman(const uint8_t* data, size_t size, int dict_bits, int level, std::vector<uint8_t>* out);

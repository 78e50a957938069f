// The block-Huffman compressor for the -lh5-, -lh6- and -lh7- methods.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

// How hard the compressor looks for matches.
struct CompressEffort {
  int max_chain;   // candidates examined per position
  int nice_length; // a match this long ends the search and is taken as it is
};

const CompressEffort EFFORT_NORMAL = {16, 32};
const CompressEffort EFFORT_BEST = {256, 256};

// Longest and shortest match, and the largest distance (bytes back) for a
// dictionary of 1 << dict_bits bytes. A distance of the full dictionary size
// is never used: not every decoder keeps that byte.
const int MIN_MATCH = 3;
const int MAX_MATCH = 256;
inline uint32_t MaxDistance(int dict_bits) { return (1u << dict_bits) - 1; }

// Where the streaming compressor takes its input: Read fills exactly n
// bytes, false when it cannot (a read error, or the input got shorter).
class ByteSource {
 public:
  virtual ~ByteSource() {}
  virtual bool Read(uint8_t* buf, size_t n) = 0;
};
// Where it puts its output; false on a write error.
class ByteSink {
 public:
  virtual ~ByteSink() {}
  virtual bool Write(const uint8_t* data, size_t n) = 0;
};

enum CompressResult { COMPRESS_OK, COMPRESS_NOT_SMALLER, COMPRESS_FAILED };

// Compresses size bytes from source into sink with a sliding window, in
// bounded memory whatever the size. COMPRESS_NOT_SMALLER as soon as the
// output would not be smaller than the input (the sink then holds some of
// it); COMPRESS_FAILED when the source or the sink fails. packed_size: the
// bytes written, on success.
CompressResult CompressStream(ByteSource* source, uint64_t size, int dict_bits, const CompressEffort& effort,
                              ByteSink* sink, uint64_t* packed_size);

// Compresses size bytes for a dictionary of 1 << dict_bits bytes (13, 15 or
// 16) into out (replaced). Stops early and returns false as soon as the
// output would not be smaller than the input; true when it is smaller.
bool CompressBlockHuffman(const uint8_t* data, size_t size, int dict_bits,
                          const CompressEffort& effort, std::vector<uint8_t>* out);

// Helpers of the packer tests: inputs of known shapes, temporary folders,
// and reading archives back through the core's reader and decoder.
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/header.h"
#include "extract/progress.h"
#include "extract/walk.h"
#include "pack/archive.h"
#include "pack/compress.h"

namespace pack_test {

using Bytes = std::vector<uint8_t>;

// Text-like data: words from a small vocabulary, so it compresses.
inline Bytes Words(size_t size, uint32_t seed) {
  static const char* words[] = {"archive ", "member ", "header ", "the ", "of ", "block ", "code\n",
                                "\xe6\x97\xa5\xe6\x9c\xac ", "length ", "distance ", "12345 ", "; "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = words[rng() % 12];
    out.insert(out.end(), w, w + strlen(w));
  }
  out.resize(size);
  return out;
}

inline Bytes Random(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = (uint8_t)rng();
  return out;
}

// Random data built of literals, runs and copies from random distances up to
// max_distance, the shapes a match finder meets.
inline Bytes Structured(size_t size, uint32_t max_distance, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    uint32_t kind = rng() % 4;
    uint32_t len = 1 + rng() % (kind == 3 ? 600 : 40);
    if (kind == 0 || out.empty()) {
      for (uint32_t i = 0; i < len; ++i) out.push_back((uint8_t)(rng() % 7 + 'a'));
    } else if (kind == 1) {
      out.insert(out.end(), len, (uint8_t)rng());
    } else {
      uint32_t span = (uint32_t)std::min<size_t>(out.size(), max_distance);
      size_t from = out.size() - 1 - rng() % span;
      for (uint32_t i = 0; i < len; ++i) out.push_back(out[from + i]);
    }
  }
  out.resize(size);
  return out;
}

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/vemopack.XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const Bytes& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

inline Bytes ReadFile(const std::string& path) {
  Bytes out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  return out;
}

// Compresses a whole member in memory segment by segment, as the pipeline
// does: false when the result would not be smaller than the input.
inline bool CompressMember(const uint8_t* data, size_t size, int dict_bits, int level, Bytes* out) {
  out->clear();
  if (size == 0) return false;
  Compressor compressor(dict_bits, level);
  BitJoiner joiner(out);
  SegmentCode code;
  for (size_t at = 0; at < size; at += SEGMENT_BYTES) {
    size_t n = std::min(SEGMENT_BYTES, size - at);
    size_t history = HistoryBytes(dict_bits, at);
    compressor.Compress(data + at - history, history, n, at + n == size, &code);
    joiner.Append(ChooseEnding(code, joiner.BitCount()));
  }
  joiner.Finish();
  return out->size() < size;
}

// Decodes packed bytes of the given method (a MethodTable index) with the
// core's DecodeMember.
inline Bytes DecodeWithCore(const Bytes& packed, int32_t method_index, uint32_t unpacked, uint16_t* crc) {
  BuildCrcTable();
  g_total_bytes = 0;
  g_continue = 1;
  static SfxState state;
  memset(&state, 0, sizeof state);
  Bytes copy = packed;
  copy.push_back(0);  // fmemopen wants a non-empty buffer
  state.archive = fmemopen(copy.data(), copy.size(), "rb");
  char* out_buf = nullptr;
  size_t out_size = 0;
  FILE* out = open_memstream(&out_buf, &out_size);
  DecodeStatus status = (DecodeStatus)-1;  // none yet
  *crc = DecodeMember(state.archive, out, unpacked, (uint32_t)packed.size(), method_index, &status);
  fclose(out);
  fclose(state.archive);
  Bytes result(out_buf, out_buf + out_size);
  free(out_buf);
  return result;
}

// One member as the core's reader and decoder see it.
struct ReadMember {
  MemberHeader header;
  Bytes data;
  uint16_t crc;  // of the decoded data
};

// Walks an archive file (from offset) as extraction does and decodes every
// member with DecodeMember. Returns false when the walk stops before a
// proper end (a member's data past the file's end included).
inline bool ReadArchiveWithCore(const std::string& path, long offset, std::vector<ReadMember>* out) {
  BuildCrcTable();
  g_total_bytes = 0;
  g_continue = 1;
  static SfxState state;
  memset(&state, 0, sizeof state);
  state.archive = fopen(path.c_str(), "rb");
  if (!state.archive) return false;
  MemberWalk walk;
  WalkBegin(&walk, &state, StreamEnd(state.archive));
  SeekStream(state.archive, offset);
  bool ok = true;
  while (true) {
    ReadMember m;
    memset(&m.header, 0, sizeof m.header);
    int32_t r = WalkNext(&walk, &m.header);
    if (r != WALK_MEMBER) {
      // A proper end is the closing 0 byte, and nothing after it.
      ok = r == HEADER_END && fgetc(state.archive) == EOF;
      break;
    }
    int32_t index = FindMethod(m.header.method);
    m.crc = 0;
    if (index >= 0 && index != METHOD_LHD) {
      char* buf = nullptr;
      size_t size = 0;
      FILE* o = open_memstream(&buf, &size);
      m.crc = DecodeMember(state.archive, o, m.header.unpacked_size, m.header.packed_size, index, nullptr);
      fclose(o);
      m.data.assign(buf, buf + size);
      free(buf);
    }
    out->push_back(m);
  }
  fclose(state.archive);
  return ok;
}

}  // namespace pack_test

// Helpers of the decoder tests: running DecodeMember over bytes in memory,
// recording what reaches the streams, reading the jLHA fixtures, and a small
// writer of -lh4- to -lh7- blocks with fixed-length codes.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/payload.h"
#include "extract/progress.h"
#include "platform/host_hooks.h"

namespace decode_test {

typedef std::vector<uint8_t> Bytes;

inline Bytes ReadFileBytes(const std::string& path) {
  Bytes data;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return data;
  uint8_t buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) data.insert(data.end(), buf, buf + n);
  fclose(f);
  return data;
}

inline std::string FixturePath(const char* name) {
  return std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/block/" + name;
}

// A stream over a byte vector that records the size of every write that
// reaches it. Unbuffered, so each fwrite arrives as one call (reads arrive a
// byte at a time, so ftell tells exactly how far the stream was read).
struct Recorder {
  Bytes data;
  size_t read_pos = 0;
  std::vector<size_t> writes;
};

inline ssize_t RecorderRead(void* cookie, char* buf, size_t size) {
  Recorder* r = (Recorder*)cookie;
  size_t n = r->data.size() - r->read_pos;
  if (n > size) n = size;
  memcpy(buf, r->data.data() + r->read_pos, n);
  r->read_pos += n;
  return (ssize_t)n;
}

inline ssize_t RecorderWrite(void* cookie, const char* buf, size_t size) {
  Recorder* r = (Recorder*)cookie;
  r->writes.push_back(size);
  r->data.insert(r->data.end(), buf, buf + size);
  return (ssize_t)size;
}

inline FILE* OpenRecorder(Recorder* r, const char* mode) {
  cookie_io_functions_t io = {RecorderRead, RecorderWrite, nullptr, nullptr};
  FILE* f = fopencookie(r, mode, io);
  setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

struct Decoded {
  Bytes out;
  uint16_t crc = 0;
  DecodeStatus status = (DecodeStatus)-1;  // none yet
  long in_pos = 0;  // where the input stream was left
  std::vector<size_t> writes;
};

typedef uint16_t (*MemberDecoder)(FILE*, FILE*, MemberSize, MemberSize, int32_t, DecodeStatus*);

// Decodes packed as one member of the given method with decoder; the input
// stream holds the packed bytes followed by trailing (what lies behind the
// member).
inline Decoded DecodeBytesWith(MemberDecoder decoder, const Bytes& packed, int32_t method, uint32_t unpacked,
                               const Bytes& trailing) {
  BuildCrcTable();
  Recorder in, out;
  in.data = packed;
  in.data.insert(in.data.end(), trailing.begin(), trailing.end());
  FILE* in_file = OpenRecorder(&in, "r");
  FILE* out_file = OpenRecorder(&out, "w");
  static SfxState state;
  memset(&state, 0, sizeof state);
  state.archive = in_file;
  Decoded d;
  d.crc = decoder(state.archive, out_file, unpacked, (uint32_t)packed.size(), method, &d.status);
  d.in_pos = (long)in.read_pos;
  fclose(in_file);
  fclose(out_file);
  d.out = out.data;
  d.writes = out.writes;
  return d;
}

// With this build's own decoder (DecodeMember).
inline Decoded DecodeBytes(const Bytes& packed, int32_t method, uint32_t unpacked,
                           const Bytes& trailing = Bytes()) {
  return DecodeBytesWith(DecodeMember, packed, method, unpacked, trailing);
}

// A variant of the member decoder that ships: the stub's compact one (every
// build) and the host's fast one (where built).
struct Variant {
  const char* name;
  MemberDecoder decoder;
  bool fast;
  Decoded Decode(const Bytes& packed, int32_t method, uint32_t unpacked, const Bytes& trailing = Bytes()) const {
    return DecodeBytesWith(decoder, packed, method, unpacked, trailing);
  }
};

inline const std::vector<Variant>& Variants() {
  static const std::vector<Variant> all = [] {
    std::vector<Variant> v = {{"compact", DecodeMemberCompact, false}};
#if VEMO_FAST_DECODE
    v.push_back({"fast", DecodeMemberFast, true});
#endif
    return v;
  }();
  return all;
}

// Runs body(variant) with each variant of this build in turn.
template <typename F>
void ForEachVariant(F body) {
  for (const Variant& v : Variants()) body(v);
}

inline uint16_t Crc16(const Bytes& data) {
  uint32_t crc = 0;
  for (uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1;
  }
  return (uint16_t)crc;
}

// One member of a level-2 archive written by jLHA.
struct Member {
  std::string method;
  uint32_t unpacked = 0;
  uint16_t crc = 0;
  Bytes packed;
};

inline bool ReadLevel2Member(const Bytes& archive, Member* m) {
  if (archive.size() < 26 || archive[20] != 2) return false;
  uint32_t header = archive[0] | archive[1] << 8;
  auto le32 = [&](size_t at) {
    return (uint32_t)archive[at] | archive[at + 1] << 8 | archive[at + 2] << 16 |
           (uint32_t)archive[at + 3] << 24;
  };
  uint32_t packed = le32(7);
  if (header + packed > archive.size()) return false;
  m->method.assign((const char*)&archive[2], 5);
  m->unpacked = le32(11);
  m->crc = (uint16_t)(archive[21] | archive[22] << 8);
  m->packed.assign(archive.begin() + header, archive.begin() + header + packed);
  return true;
}

// Most-significant-bit-first writer.
struct BitWriter {
  Bytes bytes;
  uint32_t bits = 0;
  void Put(uint32_t value, uint32_t n) {
    for (uint32_t i = n; i-- > 0;) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= (uint8_t)(0x80 >> (bits % 8));
      ++bits;
    }
  }
};

// An item of a block: a literal byte, or a match of len bytes whose distance
// value is dist (the copy starts dist + 1 bytes back).
struct Item {
  bool match;
  uint32_t value;  // literal byte or match length
  uint32_t dist;
};

// Writes a block whose character code gives every one of the 510 symbols a
// 9-bit code (the symbol's own number) and whose position code gives every
// class a 5-bit code, so that any item sequence can be written. count_field
// is the stored code count (0 stands for 65536).
inline void PutFlatBlock(BitWriter* w, const std::vector<Item>& items, uint32_t count_field,
                         int32_t dict_bits) {
  const uint32_t pos_symbols = dict_bits <= 14 ? 14 : dict_bits == 16 ? 17 : 16;
  const uint32_t count_bits = dict_bits <= 14 ? 4 : 5;
  w->Put(count_field, 16);
  w->Put(0, 5);   // code-length code: a single value
  w->Put(11, 5);  // ... 11, a length of 9
  w->Put(510, 9);
  w->Put(pos_symbols, count_bits);
  for (uint32_t i = 0; i < pos_symbols; ++i) w->Put(5, 3);  // length 5 is "101"
  for (const Item& it : items) {
    if (!it.match) {
      w->Put(it.value, 9);
      continue;
    }
    w->Put(253 + it.value, 9);
    uint32_t cls = 0;
    while ((it.dist >> cls) != 0) ++cls;
    w->Put(cls, 5);
    if (cls > 1) w->Put(it.dist - (1u << (cls - 1)), cls - 1);
  }
}

// What the items decode to: a dictionary of 1 << dict_bits bytes filled with
// spaces and copied one byte at a time.
inline Bytes ExpandItems(const std::vector<Item>& items, int32_t dict_bits) {
  const uint32_t size = 1u << dict_bits, mask = size - 1;
  Bytes dict(size, 0x20), out;
  uint32_t pos = 0;
  for (const Item& it : items) {
    if (!it.match) {
      dict[pos] = (uint8_t)it.value;
      out.push_back(dict[pos]);
      pos = (pos + 1) & mask;
      continue;
    }
    uint32_t from = (pos - it.dist - 1) & mask;
    for (uint32_t k = 0; k < it.value; ++k) {
      dict[pos] = dict[(from + k) & mask];
      out.push_back(dict[pos]);
      pos = (pos + 1) & mask;
    }
  }
  return out;
}

// Records every progress position the platform layer is given.
inline std::vector<uint32_t>& ProgressLog() {
  static std::vector<uint32_t> log;
  return log;
}

inline void ResetProgress(uint32_t total, uint32_t done) {
  g_total_bytes = total;
  g_done_bytes = done;
  g_last_percent = 0;
  g_continue = 1;
  ProgressLog().clear();
  static HostCallbacks callbacks;
  memset(&callbacks, 0, sizeof callbacks);
  callbacks.progress = [](uint32_t p) { ProgressLog().push_back(p); };
  HostSetCallbacks(&callbacks);
}

}  // namespace decode_test

// Helpers for the method decoder tests: a most-significant-bit-first bit
// writer for hand-built streams, direct loading of the bit input, whole
// members through DecodeMember, and members of real archives.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/header.h"
#include "extract/payload.h"
#include "extract/walk.h"

namespace methods_test {

typedef std::vector<uint8_t> Bytes;

class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) PutBit((value >> i) & 1);
  }
  // A string of '0' and '1'; other characters are skipped, for readability.
  void Put(const char* bits) {
    for (; *bits; ++bits)
      if (*bits == '0' || *bits == '1') PutBit(*bits == '1');
  }
  void PutBit(uint32_t bit) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= (uint8_t)(0x80 >> (count_ % 8));
    ++count_;
  }
  const Bytes& bytes() const { return bytes_; }
  size_t bit_count() const { return count_; }

 private:
  Bytes bytes_;
  size_t count_ = 0;
};

// Makes bytes the whole compressed data of a member for the bit input (and
// ReadPackedByte), without a stream behind it. The buffer lives until the
// next call.
inline void LoadInput(const Bytes& bytes) {
  static Bytes held;
  held = bytes;
  held.push_back(0);  // never read: keeps the buffer non-empty
  g_in_buf = held.data();
  g_in_buf_size = (uint32_t)held.size();
  g_in_buf_pos = 0;
  g_packed_left = (uint32_t)bytes.size();
  g_in_stream = nullptr;
}

inline std::string BitString(uint16_t window, int bits) {
  std::string s;
  for (int i = 15; i > 15 - bits; --i) s += ((window >> i) & 1) ? '1' : '0';
  return s;
}

inline Bytes ReadAll(FILE* f) {
  Bytes out;
  fflush(f);
  fseek(f, 0, SEEK_SET);
  uint8_t buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
  return out;
}

inline uint16_t Crc16(const Bytes& data) {
  BuildCrcTable();
  return ::Crc16(0, data.data(), (uint32_t)data.size());
}

struct Decoded {
  Bytes out;
  uint16_t crc = 0;
  DecodeStatus status = (DecodeStatus)-1;  // none yet
};

// Decodes one member of the given method from its compressed bytes, the way
// the extraction run does: from the archive stream, into a file.
inline Decoded DecodeBytes(int32_t method, const Bytes& packed, uint32_t unpacked) {
  BuildCrcTable();
  SfxState state;
  memset(&state, 0, sizeof state);
  state.archive = tmpfile();
  if (!packed.empty()) fwrite(packed.data(), 1, packed.size(), state.archive);
  fseek(state.archive, 0, SEEK_SET);
  FILE* out = tmpfile();
  Decoded d;
  d.crc = DecodeMember(state.archive, out, unpacked, (uint32_t)packed.size(), method, &d.status);
  d.out = ReadAll(out);
  fclose(out);
  fclose(state.archive);
  return d;
}

inline Bytes ReadFile(const std::string& path) {
  Bytes out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  out = ReadAll(f);
  fclose(f);
  return out;
}

struct ArchiveMember {
  MemberHeader header;
  Decoded decoded;
};

// Every member of an LZH archive, each decoded through DecodeMember.
inline std::vector<ArchiveMember> DecodeArchive(const std::string& path) {
  std::vector<ArchiveMember> members;
  BuildCrcTable();
  SfxState state;
  memset(&state, 0, sizeof state);
  state.archive = fopen(path.c_str(), "rb");
  if (!state.archive) return members;
  // As extraction walks it, but without checking the data against the end.
  MemberWalk walk;
  WalkBegin(&walk, &state, -1);
  for (;;) {
    ArchiveMember m;
    memset(&m.header, 0, sizeof m.header);
    if (WalkNext(&walk, &m.header) != WALK_MEMBER) break;
    int32_t method = FindMethod(m.header.method);
    if (method >= 0 && method != METHOD_LHD) {
      FILE* out = tmpfile();
      m.decoded.crc = DecodeMember(state.archive, out, m.header.unpacked_size, m.header.packed_size, method,
                                   &m.decoded.status);
      m.decoded.out = ReadAll(out);
      fclose(out);
    }
    members.push_back(m);
  }
  fclose(state.archive);
  return members;
}

inline std::string FixturePath(const char* name) {
  return std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/methods/" + name;
}

}  // namespace methods_test

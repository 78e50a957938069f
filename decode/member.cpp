// The member decoder: the table of methods, the stored copy, and the set-up
// of the sliding-dictionary loop (loop.h) that every compressed method runs
// through.
#include "decode/member.h"

#include <stdlib.h>
#include <string.h>

#include "decode/bitio.h"
#include "decode/block_loop.h"
#include "decode/fast.h"
#include "decode/format.h"
#include "decode/loop.h"
#include "decode/lzs.h"
#include "decode/methods.h"
#include "platform/floor.h"
#include "platform/platform.h"

const MethodRow MethodTable[METHOD_COUNT] = {
    {"lh0", 1, 0, 0, nullptr, nullptr, nullptr},
    {"lh1", 0, MATCH_BIAS, 12, DecodeCharAdaptive, DecodePosStatic, StartLh1},
    {"lh2", 0, MATCH_BIAS, 13, DecodeCharAdaptive, DecodePosAdaptive, StartLh2},
    {"lh3", 0, MATCH_BIAS, 13, DecodeCharLh3, DecodePosStatic, StartLh3},
    {"lh4", 0, MATCH_BIAS, 12, DecodeCharBlock, DecodePosBlock, StartBlockMethod},
    {"lh5", 0, MATCH_BIAS, 13, DecodeCharBlock, DecodePosBlock, StartBlockMethod},
    {"lh6", 0, MATCH_BIAS, 15, DecodeCharBlock, DecodePosBlock, StartBlockMethod},
    {"lh7", 0, MATCH_BIAS, 16, DecodeCharBlock, DecodePosBlock, StartBlockMethod},
    {"lzs", 0, LZS_MATCH_BIAS, 11, DecodeCharLzs, DecodePosLzs, StartLzs},
    {"lz5", 0, MATCH_BIAS, 12, DecodeCharLz5, DecodePosLz5, StartLz5},
    {"lz4", 1, 0, 0, nullptr, nullptr, nullptr},
    {"lhd", 0, 0, 0, nullptr, nullptr, nullptr},
#if !defined(_WIN32)
    {"lhx", 0, MATCH_BIAS, BLOCK_DICT_BITS_MAX, DecodeCharBlock, DecodePosBlock, StartBlockMethod},
#endif
};

FILE* g_out_stream;
uint8_t* g_dict;
uint16_t g_dict_bits;
MemberSize g_unpacked_size;
uint32_t g_dict_pos;
uint32_t g_out_count;

const uint32_t FALLBACK_IN_BUF_SIZE = 16384;
const uint32_t HOST_IN_BUF_SIZE = 128 * 1024;

int32_t FindMethod(const char* method) {
  if (method[0] != '-' || method[4] != '-') return -1;
  for (int32_t i = 0; i < METHOD_COUNT; ++i)
    if (memcmp(method + 1, MethodTable[i].letters, 3) == 0) return i;
  return -1;
}

#if !defined(_WIN32)
const char* MethodName(int32_t index) {
  static const struct Names {
    char text[METHOD_COUNT][6];
    Names() : text() {
      for (int32_t i = 0; i < METHOD_COUNT; ++i) {
        text[i][0] = text[i][4] = '-';
        memcpy(text[i] + 1, MethodTable[i].letters, 3);
      }
    }
  } names;
  return names.text[index];
}
#endif

DecodeJob::DecodeJob(FILE* in_stream, FILE* out_stream, MemberSize unpacked, MemberSize packed,
                     int32_t bits, int32_t index)
    : dict_size(0),
      decode_char(nullptr),
      decode_pos(nullptr),
      start(nullptr),
      in(in_stream),
      out(out_stream),
      unpacked_size(unpacked),
      packed_size(packed),
      dict_bits(bits),
      method_index(index) {}

// The loop of each variant. The compact one serves every method through
// the method table's routines; the fast one gives each method family its own
// loop, chosen by the method's routines: the block methods' (block.cpp),
// -lzs- and -lz5- with their routines inline, the rest through the table.
struct LzsRoutines {
  static constexpr bool kInline = true;
  static uint32_t Char() { return DecodeCharLzs(); }
  static uint32_t Pos() { return DecodePosLzs(); }
};
struct Lz5Routines {
  static constexpr bool kInline = true;
  static uint32_t Char() { return DecodeCharLz5(); }
  static uint32_t Pos() { return DecodePosLz5(); }
};

template <bool kFast>
static DecodeStatus RunLoop(const MethodRow& row, uint32_t size) {
  if constexpr (kFast) {
    if (row.decode_char == DecodeCharBlock) return RunBlockLoop(size);
    if (row.decode_char == DecodeCharLzs) {
      RoutineDecoder<LzsRoutines> d = {nullptr, nullptr};
      return DictionaryLoop<true>(d, g_dict, size, row.bias);
    }
    if (row.decode_char == DecodeCharLz5) {
      RoutineDecoder<Lz5Routines> d = {nullptr, nullptr};
      return DictionaryLoop<true>(d, g_dict, size, row.bias);
    }
  }
  RoutineDecoder<> d = {row.decode_char, row.decode_pos};
  return DictionaryLoop<kFast>(d, g_dict, size, row.bias);
}

template <bool kFast>
DecodeStatus DecodeJob::Run() {
  g_in_stream = in;
  g_out_stream = out;
  g_dict_bits = (uint16_t)dict_bits;
  g_unpacked_size = unpacked_size;
  g_packed_left = packed_size;
  g_overrun = 0;
  g_bit_avail = 0;  // -lz5- reads bytes only
  const MethodRow& row = MethodTable[method_index];
  decode_char = row.decode_char;
  decode_pos = row.decode_pos;
  start = row.start;
  g_crc = 0;

  dict_size = 1u << dict_bits;
  g_dict = (uint8_t*)malloc(WindowAllocation<kFast>(dict_size) + WINDOW_SLACK);
  if (!g_dict) return DECODE_NO_MEMORY;
  memset(g_dict, 0x20, dict_size);

  // The input buffer: as large as the member's compressed bytes where the
  // memory allows (the stub then reads a member in one go), else smaller and
  // refilled whole when it runs out. Readers never ask for more than
  // g_packed_left bytes from it; past the member's end they are handed zeros
  // without reading (see ReadPackedByte), so the bytes of the next member are
  // never consumed, even though a full refill may read them into the buffer.
  uint32_t buf_size = AtMost32Bits(packed_size);
  uint32_t available = PlatAvailableMemory();
  if (available != 0 && available < buf_size) buf_size = available;
  // On the host a modest buffer, refilled as it runs out, stays in the cache
  // and spares faulting in a buffer as large as the member.
  if (kFast && buf_size > HOST_IN_BUF_SIZE) buf_size = HOST_IN_BUF_SIZE;
  g_in_buf_size = buf_size;
  g_in_buf = buf_size ? (uint8_t*)malloc(buf_size) : nullptr;
  if (!g_in_buf) {
    g_in_buf_size = FALLBACK_IN_BUF_SIZE;
    g_in_buf = (uint8_t*)malloc(FALLBACK_IN_BUF_SIZE);
    if (!g_in_buf) {
      free(g_dict);
      g_dict = nullptr;
      return DECODE_NO_MEMORY;
    }
  }
  g_in_buf_pos = 0;
  fread(g_in_buf, 1, g_in_buf_size, g_in_stream);

  start();
  const DecodeStatus result = RunLoop<kFast>(row, dict_size);
  free(g_dict);
  free(g_in_buf);
  g_dict = nullptr;
  g_in_buf = nullptr;
  return result;
}

// Stored members: the archive's bytes straight to the output, a chunk at a time.
template <bool kFast>
static DecodeStatus CopyStored(FILE* in, FILE* out, MemberSize unpacked_size) {
  const uint32_t chunk_size = StoredChunk<kFast>();
  uint8_t* buffer = (uint8_t*)malloc(chunk_size);
  g_crc = 0;
  if (!buffer) return DECODE_NO_MEMORY;
  // A short read leaves the rest of the chunk as it was; start it defined.
  memset(buffer, 0, chunk_size);
  MemberSize remaining = unpacked_size;
  MemberSize done = 0;
  DecodeStatus result = DECODE_DONE;
  while (remaining > 0) {
    uint32_t chunk = remaining < chunk_size ? (uint32_t)remaining : chunk_size;
    fread(buffer, 1, chunk, in);
    fwrite(buffer, 1, chunk, out);
    UpdateCrc(buffer, chunk);
    remaining -= chunk;
    done += chunk;
    UpdateProgress(AtMost32Bits(done));
    if (!g_continue) {
      result = DECODE_ABORTED;
      break;
    }
  }
  free(buffer);
  return result;
}

// The member decoder of either variant; the wrappers below name them.
template <bool kFast>
static uint16_t DecodeMemberAs(FILE* in, FILE* out, MemberSize unpacked_size, MemberSize packed_size,
                               int32_t method_index, DecodeStatus* status) {
  DecodeStatus result;
  const MethodRow& row = MethodTable[method_index];
  if (row.stored) {
    result = CopyStored<kFast>(in, out, unpacked_size);
  } else {
    DecodeJob job(in, out, unpacked_size, packed_size, row.dict_bits, method_index);
    result = job.Run<kFast>();
  }
  if (status) *status = result;
  return g_crc;
}

uint16_t DecodeMemberCompact(FILE* in, FILE* out, MemberSize unpacked_size, MemberSize packed_size,
                             int32_t method_index, DecodeStatus* status) {
  return DecodeMemberAs<false>(in, out, unpacked_size, packed_size, method_index, status);
}

#if VEMO_FAST_DECODE
uint16_t DecodeMemberFast(FILE* in, FILE* out, MemberSize unpacked_size, MemberSize packed_size,
                          int32_t method_index, DecodeStatus* status) {
  return DecodeMemberAs<true>(in, out, unpacked_size, packed_size, method_index, status);
}
#endif

uint16_t DecodeMember(FILE* in, FILE* out, MemberSize unpacked_size, MemberSize packed_size,
                      int32_t method_index, DecodeStatus* status) {
  return DecodeMemberAs<kFastDecode>(in, out, unpacked_size, packed_size, method_index, status);
}

// The member decoder: stored copy, the shared sliding-dictionary loop and the
// table of methods.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "decode/fast.h"
#include "platform/floor.h"

// Stored members are copied this many bytes at a time: little in the stub,
// large writes on the host.
template <bool kFast>
constexpr uint32_t StoredChunk() {
  return kFast ? 256 * 1024 : 2048;
}

// A method's routines. decode_char returns the next code (below 256 a
// literal, else a match of the code less the method's bias), decode_pos the
// distance code of the match just announced. Both return CODE_DAMAGED (or
// any value from it up) where the data is damaged: it lies above every code
// and distance, so the loop tells it with one comparison. The host tool's
// distances reach 2^19 (-lhx-); the stub's stay within 16 bits.
typedef uint32_t (*DecodeRoutine)();
typedef void (*StartRoutine)();
const uint32_t CODE_DAMAGED = kHostTool ? 1u << 20 : 0x10000;

// A method's name is "-" letters "-". Only the three letters are stored:
// archivers that open a program by scanning it for the first "-lh?-" would
// otherwise stop at this table and never reach the package's archive.
struct MethodRow {
  char letters[4];      // the three ASCII letters between the dashes, and a terminator
  uint8_t stored;       // 1: the data is the member's bytes as they are
  uint8_t bias;         // a match symbol less this is the match length
  int32_t dict_bits;    // 0 for the stored and directory rows
  DecodeRoutine decode_char;
  DecodeRoutine decode_pos;
  StartRoutine start;
};

// The host tool also decodes -lhx- (the last row): the stub has no such row,
// and the packer never writes it.
const int32_t METHOD_COUNT = kHostTool ? 13 : 12;
const int32_t METHOD_LH0 = 0;
const int32_t METHOD_LZS = 8;
const int32_t METHOD_LZ4 = 10;
const int32_t METHOD_LHD = 11;
const int32_t METHOD_LHX = 12;
extern const MethodRow MethodTable[METHOD_COUNT];

// Index of the method whose name equals the five bytes, or -1.
int32_t FindMethod(const char* method);
#if !defined(_WIN32)
// The method's five-byte name ("-lh5-") with a terminator; the host tool's.
const char* MethodName(int32_t index);
#endif

// Outcome of DecodeMember, beside the CRC it returns.
enum DecodeStatus : int32_t {
  DECODE_DONE = 0,
  DECODE_ABORTED = 1,    // g_continue was cleared
  DECODE_NO_MEMORY = 2,  // the dictionary could not be obtained; nothing decoded
  DECODE_DAMAGED = 3,    // the stream is damaged or wanted more than its compressed bytes
};

struct DecodeJob {
  uint32_t dict_size;
  DecodeRoutine decode_char;
  DecodeRoutine decode_pos;
  StartRoutine start;
  FILE* in;
  FILE* out;
  MemberSize unpacked_size;
  MemberSize packed_size;
  int32_t dict_bits;
  int32_t method_index;

  DecodeJob(FILE* in_stream, FILE* out_stream, MemberSize unpacked, MemberSize packed,
            int32_t bits, int32_t index);
  // kFast: the host's loops; otherwise the stub's compact one.
  template <bool kFast>
  DecodeStatus Run();
};

// The member decoder is one template over its variant (decode/member.cpp);
// each variant that ships has a wrapper of its own name:
//   DecodeMemberCompact  the stub's compact loop, one call per code through
//                        the method table (every build has it);
//   DecodeMemberFast     the host's: each method's own loop with its codes
//                        inline, the block methods with their tables in
//                        registers' reach (builds with kFastDecode only);
//   DecodeMember         this build's own: Fast where built, else Compact.
// Each decodes one member from the archive stream in (at its data) into out
// and returns the CRC-16 of the bytes produced; *status (may be null)
// receives a DecodeStatus. method_index names a stored row or one with
// routines (CheckMember has refused any other). Sizes are MemberSize: the
// host tool's decoders count 64 bits, the stub's 32.
uint16_t DecodeMemberCompact(FILE* in, FILE* out, MemberSize unpacked_size, MemberSize packed_size,
                             int32_t method_index, DecodeStatus* status);
#if VEMO_FAST_DECODE
uint16_t DecodeMemberFast(FILE* in, FILE* out, MemberSize unpacked_size, MemberSize packed_size,
                          int32_t method_index, DecodeStatus* status);
#endif
uint16_t DecodeMember(FILE* in, FILE* out, MemberSize unpacked_size, MemberSize packed_size,
                      int32_t method_index, DecodeStatus* status);

// A member size in 32 bits, at most 4 GiB - 1: for what counts 32 bits (the
// progress, whose bar then waits for the end, and a buffer's size).
inline uint32_t AtMost32Bits(MemberSize n) {
  if constexpr (sizeof(MemberSize) > 4) return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)n;
  return (uint32_t)n;
}

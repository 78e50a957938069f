// The member walk over a stream that can only be read forward, as a pipe
// would be given to the host tool: it keeps the bytes it read most recently
// (what a reader of a member's data read ahead) and nothing before them.
#include <gtest/gtest.h>
#include <stdio.h>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "extract/walk.h"
#include "platform/host_system.h"
#include "tests/unit/reader_support.h"

using namespace reader_test;

namespace {

// Enough for the C runtime's own buffer and what the decoder reads ahead
// (none for these members: it takes a small member's compressed bytes in
// one read); well below the fixture's size, so a walk that went back to an
// earlier member would be caught.
const int64_t KEPT = 16 * 1024;

struct Pipe {
  Bytes bytes;
  int64_t pos = 0;
  int64_t read_to = 0;  // the furthest byte handed out
  int backward = 0;     // seeks refused
};

ssize_t PipeRead(void* cookie, char* to, size_t size) {
  Pipe* pipe = static_cast<Pipe*>(cookie);
  int64_t left = (int64_t)pipe->bytes.size() - pipe->pos;
  size_t n = left < (int64_t)size ? (size_t)left : size;
  memcpy(to, pipe->bytes.data() + pipe->pos, n);
  pipe->pos += (int64_t)n;
  if (pipe->pos > pipe->read_to) pipe->read_to = pipe->pos;
  return (ssize_t)n;
}

// Forward: read on (fails at the end, as a pipe runs dry). Backward: only
// into the kept bytes. No end to seek to.
int PipeSeek(void* cookie, off64_t* offset, int whence) {
  Pipe* pipe = static_cast<Pipe*>(cookie);
  int64_t to = whence == SEEK_SET ? *offset : whence == SEEK_CUR ? pipe->pos + *offset : -1;
  if (to < 0 || to < pipe->read_to - KEPT || to > (int64_t)pipe->bytes.size()) {
    ++pipe->backward;
    return -1;
  }
  pipe->pos = to;
  if (pipe->pos > pipe->read_to) pipe->read_to = pipe->pos;
  *offset = to;
  return 0;
}

FILE* OpenPipe(Pipe* pipe) {
  cookie_io_functions_t io = {PipeRead, nullptr, PipeSeek, nullptr};
  return fopencookie(pipe, "rb", io);
}

struct Walked {
  int32_t result;
  uint32_t members, intact;
};

// Walks and decodes every member as `vemosfx test` does.
Walked WalkAndDecode(Pipe* pipe) {
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = OpenPipe(pipe);
  BuildCrcTable();
  g_continue = 1;
  MemberWalk walk;
  WalkBegin(&walk, &state, -1);
  MemberHeader header;
  Walked w = {WALK_END, 0, 0};
  while ((w.result = WalkNext(&walk, &header)) == WALK_MEMBER) {
    int32_t method;
    const char* path = header.name[0] == '/' ? header.name + 1 : header.name;
    uint32_t failure = CheckMember(&header, path, &method);
    if (failure == FAILURE_NONE && method != METHOD_LHD) {
      uint64_t count = 0;
      failure = DecodeChecked(&state, &header, method, HostCountingStream(-1, &count));
    }
    if (failure == FAILURE_NONE) ++w.intact;
  }
  w.members = walk.members;
  FreeSfxState(&state);
  return w;
}

TEST(ForwardWalk, DecodesEveryMemberReadingForwardOnly) {
  Pipe pipe;
  pipe.bytes = ReadFixture("run/mixed.lzh");
  ASSERT_GT(pipe.bytes.size(), (size_t)KEPT);
  Walked w = WalkAndDecode(&pipe);
  EXPECT_EQ(w.result, WALK_END);
  EXPECT_EQ(w.members, 6u);
  EXPECT_EQ(w.intact, 6u);
  EXPECT_EQ(pipe.backward, 0);
  // Without its end the walk cannot be told about members beforehand, so
  // the scan for a progress total refuses.
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = OpenPipe(&pipe);
  FailureKind failure;
  EXPECT_EQ(SumUnpackedSizes(&state, -1, &failure), 0u);
  EXPECT_EQ(failure, FAILURE_DAMAGED);
  FreeSfxState(&state);
}

TEST(ForwardWalk, DataCutShortShowsWhenTheWalkPassesIt) {
  Pipe pipe;
  pipe.bytes = ReadFixture("run/three.lzh");
  pipe.bytes.resize(pipe.bytes.size() - 20);
  Walked w = WalkAndDecode(&pipe);
  EXPECT_EQ(w.result, WALK_CUT_SHORT);
  EXPECT_EQ(w.members, 3u);
  EXPECT_EQ(w.intact, 2u);
}

}  // namespace

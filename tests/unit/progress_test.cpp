// The progress arithmetic: which positions reach the progress bar.
#include <gtest/gtest.h>

#include <vector>

#include "extract/progress.h"
#include "tests/unit/reader_support.h"

using namespace reader_test;

namespace {

class ProgressTest : public ::testing::Test {
 protected:
  void Start(uint64_t total, uint64_t done = 0) {
    g_total_bytes = total;
    g_done_bytes = done;
    g_last_percent = 0;
  }
  void TearDown() override { Start(0); }
  std::vector<uint32_t>& Sent() { return capture_.captured.positions; }

  CaptureGuard capture_;
};

TEST_F(ProgressTest, SmallTotalsMultiplyFirst) {
  Start(1000);
  UpdateProgress(5);  // 500 / 1000 = 0: nothing sent
  EXPECT_TRUE(Sent().empty());
  UpdateProgress(10);
  UpdateProgress(1000);
  EXPECT_EQ(Sent(), (std::vector<uint32_t>{1, 100}));
  EXPECT_EQ(g_last_percent, 100u);
}

TEST_F(ProgressTest, UnchangedPositionIsNotSentAgain) {
  Start(150);
  UpdateProgress(3);
  UpdateProgress(4);
  EXPECT_EQ(Sent(), (std::vector<uint32_t>{2}));
}

TEST_F(ProgressTest, LargeTotalsEndAtOneHundred) {
  for (uint64_t total : {1001ull, 1099ull, 4000000000ull, 0x1234567890ull}) {
    Start(total);
    UpdateProgress(0);
    g_done_bytes = total - 1 - total / 1000;
    UpdateProgress(0);  // a thousandth short: not yet full
    UpdateProgress((uint32_t)(total - g_done_bytes));
  }
  EXPECT_EQ(Sent(), (std::vector<uint32_t>{99, 100, 99, 100, 99, 100, 99, 100}));
}

// The run as the decoders drive it: counts within a member through the quiet
// ranges, finished members added. Totals past 4 GiB (two 2.3 GiB members,
// many members of 4 GiB - 1) must give every position from 1 to 100 once,
// in order.
TEST_F(ProgressTest, PositionsPastFourGiBOnlyMoveForward) {
  const uint32_t big = 2469606195u, largest = 0xFFFFFFFFu;
  const std::vector<std::vector<uint32_t>> runs = {
      {big, big}, {largest, largest, largest, 1000, largest}, std::vector<uint32_t>(300, largest)};
  std::vector<uint32_t> every(100);
  for (uint32_t i = 0; i < 100; ++i) every[i] = i + 1;
  for (const auto& members : runs) {
    uint64_t total = 0;
    for (uint32_t size : members) total += size;
    Start(total);
    Sent().clear();
    for (uint32_t size : members) {
      uint32_t quiet_end = 0;
      for (uint64_t count = 0; count <= size; count += 1 << 20) {
        if (count >= quiet_end) quiet_end = UpdateProgressQuiet((uint32_t)count);
      }
      UpdateProgress(size);
      g_done_bytes += size;
    }
    EXPECT_EQ(Sent(), every) << members.size() << " members, " << total << " bytes";
  }
}

TEST_F(ProgressTest, FinishedMembersCount) {
  Start(1000, 400);
  UpdateProgress(1);
  EXPECT_EQ(Sent(), (std::vector<uint32_t>{40}));
}

TEST_F(ProgressTest, NothingWithoutATotal) {
  Start(0);
  UpdateProgress(0);
  UpdateProgress(12345);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(g_last_percent, 0u);
}

TEST_F(ProgressTest, ContinueStartsSet) { EXPECT_NE(g_continue, 0); }

}  // namespace

// The progress arithmetic: which positions reach the progress bar.
#include <gtest/gtest.h>

#include <vector>

#include "extract/progress.h"
#include "tests/unit/reader_support.h"

using namespace reader_test;

namespace {

class ProgressTest : public ::testing::Test {
 protected:
  void Start(uint32_t total, uint32_t done = 0) {
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

TEST_F(ProgressTest, LargeTotalsUseTheTruncatedHundredth) {
  Start(1001);
  UpdateProgress(1001);
  Start(1099);
  UpdateProgress(1099);  // divisor 10: runs past 100
  Start(4000000000u);
  UpdateProgress(4000000000u);
  EXPECT_EQ(Sent(), (std::vector<uint32_t>{100, 109, 100}));
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

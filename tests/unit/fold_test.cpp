// The host's fold of names against what Windows does with them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "extract/run.h"
#include "platform/platform.h"

namespace {

std::string Fold(const std::string& name) {
  char out[PATH_BUFFER_SIZE];
  return std::string(out, FoldNameLikeWindows(name.data(), (uint32_t)name.size(), out, PATH_MAX_BYTES));
}

std::string Bytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
  return out;
}

}  // namespace

// The table Windows gives for every code (tests/wine/foldtwin.cpp under
// Wine, written where VEMO_WINDOWS_FOLD says; tests/scripts/53-wine-fold.sh
// makes it and runs this test).
TEST(WindowsFold, EveryCodeAsWindowsFoldsIt) {
  const char* path = getenv("VEMO_WINDOWS_FOLD");
  if (!path) GTEST_SKIP() << "VEMO_WINDOWS_FOLD names no table of Windows' folds";
  std::ifstream table(path);
  std::string code, folded;
  uint32_t lines = 0, wrong = 0;
  while (table >> code >> folded) {
    ++lines;
    if (Fold(Bytes(code)) != Bytes(folded) && ++wrong <= 20) ADD_FAILURE() << code << ": Windows gives " << folded;
  }
  EXPECT_EQ(wrong, 0u);
  // 255 single bytes, 60 lead bytes followed by each of 255 bytes.
  EXPECT_EQ(lines, 255u + 60u * 255u);
}

// The whole path is read as characters before its parts: a lead byte takes
// the "/" or the dot after it, as Windows reads it; and a name that grows
// (a lead byte at its end) still fits the path buffer.
TEST(WindowsFold, PathsAreReadAsCharactersFirst) {
  struct Case {
    std::string path, folded;
  } cases[] = {
      {"a\x81./b", "A\x81\x45/B"},   // not "A\x81\x45" + "B": the dot is no trailing dot
      {"a\x81/b", "A\x81\x45" "B"},  // no separator left
      {"x/a\x81", "X/A\x81\x45"},    // a lead byte at the end is the default character
      {"\xed\x40/\x87\x90", "\xfa\x5c/\x81\xe0"},
  };
  for (const Case& c : cases) {
    char out[PATH_BUFFER_SIZE];
    FoldPath(c.path.c_str(), out);
    EXPECT_EQ(std::string(out), c.folded) << c.path;
  }
  std::string longest = std::string(PATH_MAX_BYTES - 1, 'a') + "\x81";
  char out[PATH_BUFFER_SIZE + 8];
  memset(out, 'z', sizeof out);
  EXPECT_EQ(FoldPath(longest.c_str(), out), PATH_MAX_BYTES);
  EXPECT_EQ(out[PATH_BUFFER_SIZE], 'z');
}

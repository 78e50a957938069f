// The extraction run against real files in a temporary folder: fixtures made
// by jlha (tests/fixtures/run/make-fixtures.sh), some patched in place, and
// small level-0 archives built here for the names and sizes jlha cannot make.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "decode/member.h"
#include "extract/header.h"
#include "extract/payload.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "platform/host_hooks.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

typedef std::string Bytes;

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), (std::streamsize)data.size());
}

Bytes Fixture(const char* name) {
  Bytes data = ReadAll(fs::path(VEMO_SOURCE_DIR) / "tests/fixtures/run" / name);
  EXPECT_FALSE(data.empty()) << name;
  return data;
}

// Offset of the n-th (0-based) occurrence of text in data.
size_t Find(const Bytes& data, const Bytes& text, int n = 0) {
  size_t at = data.find(text);
  while (n-- > 0 && at != Bytes::npos) at = data.find(text, at + 1);
  EXPECT_NE(at, Bytes::npos) << text;
  return at;
}

uint16_t Crc16(const Bytes& data) {
  uint16_t crc = 0;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
  }
  return crc;
}

// Puts back the header CRC of the level-2 header whose method is at
// method_at, after a test changed its bytes.
void ResealLevel2(Bytes* archive, size_t method_at) {
  const size_t start = method_at - 2;
  auto at = [&](size_t i) { return (uint32_t)(unsigned char)(*archive)[start + i]; };
  const size_t size = at(0) | at(1) << 8;
  for (size_t pos = 24, next = at(24) | at(25) << 8; next != 0; next = at(pos - 2) | at(pos - 1) << 8) {
    pos += 2;
    if (at(pos) == 0x00) {
      (*archive)[start + pos + 1] = (*archive)[start + pos + 2] = 0;
      uint16_t crc = Crc16(archive->substr(start, size));
      (*archive)[start + pos + 1] = (char)(crc & 0xFF);
      (*archive)[start + pos + 2] = (char)(crc >> 8);
      return;
    }
    pos += next - 2;
  }
}

void Le32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back((char)(v >> (8 * i)));
}

// One level-0 member: header (with a CRC, no OS id) and its data.
// 2020-01-02 03:04:06 as an MS-DOS date and time.
const uint32_t DOS_TIME = (40u << 25) | (1u << 21) | (2u << 16) | (3u << 11) | (4u << 5) | 3u;
const int64_t DOS_TIME_UTC = 1577934246;

Bytes Member(const Bytes& name, const Bytes& data, const char* method = "-lh0-",
             uint32_t packed = UINT32_MAX, uint32_t unpacked = UINT32_MAX) {
  Bytes h;
  h += method;
  Le32(&h, packed == UINT32_MAX ? (uint32_t)data.size() : packed);
  Le32(&h, unpacked == UINT32_MAX ? (uint32_t)data.size() : unpacked);
  Le32(&h, DOS_TIME);
  h.push_back(0x20);  // attribute
  h.push_back(0);     // level 0
  h.push_back((char)name.size());
  h += name;
  uint16_t crc = Crc16(data);
  h.push_back((char)(crc & 0xFF));
  h.push_back((char)(crc >> 8));
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  Bytes member;
  member.push_back((char)h.size());  // h: the header is h + 2 bytes long
  member.push_back((char)sum);
  return member + h + data;
}

Bytes Archive(const std::vector<Bytes>& members) {
  Bytes all;
  for (const Bytes& m : members) all += m;
  return all + Bytes(1, '\0');
}

// Everything below the folder, as relative paths ("a/", "a/b.txt").
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).string();
    entries.insert(e.is_directory() ? rel + "/" : rel);
  }
  return entries;
}

int64_t MTime(const fs::path& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return -1;
  return (int64_t)info.st_mtime;
}

// What the worker reported through the platform layer.
struct Reports {
  std::vector<std::string> labels;
  std::vector<uint32_t> outcomes;
  std::vector<std::string> errors;
  uint32_t total_seen = 0;
  std::function<void(uint32_t)> on_progress;
};
Reports* g_reports;

void OnLabel(const char* name) { g_reports->labels.push_back(name); }
void OnProgress(uint32_t position) {
  g_reports->total_seen = g_total_bytes;
  if (g_reports->on_progress) g_reports->on_progress(position);
}
void OnOutcome(SfxState*, RunOutcome outcome) { g_reports->outcomes.push_back(outcome); }
void OnError(const char* text, const char*) { g_reports->errors.push_back(text); }

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    char pattern[] = "/tmp/runtest.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dest_ = root_ / "dest";
    fs::create_directory(dest_);
    old_cwd_ = fs::current_path();
    fs::current_path(dest_);
    g_reports = &reports_;
    HostCallbacks callbacks = {OnLabel, OnProgress, OnOutcome, OnError};
    HostSetCallbacks(&callbacks);
    g_continue = 1;
    g_total_bytes = g_done_bytes = g_last_percent = 0;
  }

  void TearDown() override {
    HostSetCallbacks(nullptr);
    g_reports = nullptr;
    g_continue = 1;
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }

  // Runs the whole extraction of the archive bytes into dest_ and returns
  // the one outcome it reported.
  uint32_t Run(const Bytes& archive) {
    reports_.outcomes.clear();
    reports_.labels.clear();
    reports_.errors.clear();
    fs::path file = root_ / "input.lzh";
    WriteAll(file, archive);
    InitSfxState(&state_, nullptr);
    state_.archive = fopen(file.c_str(), "rb");
    EXPECT_NE(state_.archive, nullptr);
    EXPECT_TRUE(UseDefaultConfig(&state_));
    ExtractionWorker(&state_);
    EXPECT_EQ(reports_.outcomes.size(), 1u) << "exactly one outcome";
    uint32_t outcome = reports_.outcomes.empty() ? 99 : reports_.outcomes.back();
    failure_ = state_.failure;
    failure_name_ = state_.failure_name;
    output_path_ = state_.output_path;
    FreeSfxState(&state_);
    return outcome;
  }

  // Empties the destination (the current directory, so it stays).
  void Clear() {
    for (const auto& e : fs::directory_iterator(dest_)) fs::remove_all(e.path());
  }

  fs::path root_, dest_, old_cwd_;
  SfxState state_;
  Reports reports_;
  uint32_t failure_ = 0;
  std::string failure_name_, output_path_;
};

TEST_F(RunTest, NestedFileMakesItsMissingDirectories) {
  ASSERT_EQ(Run(Fixture("nested.lzh")), OUTCOME_DONE);
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"a/", "a/b/", "a/b/c.txt"}));
  EXPECT_EQ(ReadAll(dest_ / "a/b/c.txt"), "hello nested\n");
  EXPECT_EQ(MTime(dest_ / "a/b/c.txt"), 1588748890);  // 2020-05-06 07:08:10 UTC
  EXPECT_EQ(reports_.labels, (std::vector<std::string>{"a/b/c.txt"}));
  EXPECT_EQ(failure_, FAILURE_NONE);
}

TEST_F(RunTest, DirectoryMembersMakeDirectoriesOnly) {
  ASSERT_EQ(Run(Fixture("dir.lzh")), OUTCOME_DONE);
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"e/", "e/f/"}));
  // A directory member without the final "/" is still a directory.
  ASSERT_EQ(Run(Archive({Member("g/h", "", "-lhd-")})), OUTCOME_DONE);
  EXPECT_TRUE(fs::is_directory(dest_ / "g/h"));
  // "ポ" ends in 0x7C, the byte of "|": a folder, not a link.
  ASSERT_EQ(Run(Archive({Member("\x83\x7C/", "", "-lhd-")})), OUTCOME_DONE);
  EXPECT_TRUE(fs::is_directory(dest_ / "ポ"));
}

TEST_F(RunTest, LeadingSlashIsDroppedOnce) {
  ASSERT_EQ(Run(Archive({Member("/x.txt", "slash")})), OUTCOME_DONE);
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"x.txt"}));
  EXPECT_EQ(ReadAll(dest_ / "x.txt"), "slash");
  EXPECT_EQ(MTime(dest_ / "x.txt"), DOS_TIME_UTC);
}

TEST_F(RunTest, ExistingFileIsReplaced) {
  WriteAll(dest_ / "x.txt", "an older and longer content");
  ASSERT_EQ(Run(Archive({Member("x.txt", "new")})), OUTCOME_DONE);
  EXPECT_EQ(ReadAll(dest_ / "x.txt"), "new");
}

TEST_F(RunTest, UnknownMethodFailsAndWritesNothingForIt) {
  Bytes archive = Fixture("three.lzh");
  archive.replace(Find(archive, "-lh5-", 1), 5, "-lh8-");
  ResealLevel2(&archive, Find(archive, "-lh8-"));
  ASSERT_EQ(Run(archive), OUTCOME_FAILED);
  EXPECT_EQ(failure_, FAILURE_METHOD);
  EXPECT_EQ(failure_name_, "two.txt");
  // The run ends at the member it cannot produce.
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"one.txt"}));
}

TEST_F(RunTest, AbortDuringTheSecondOfThree) {
  WriteAll(dest_ / "three.txt", "not to be touched");
  int64_t old_time = MTime(dest_ / "three.txt");
  reports_.on_progress = [this](uint32_t) {
    if (reports_.labels.size() == 2) g_continue = 0;
  };
  ASSERT_EQ(Run(Fixture("three.lzh")), OUTCOME_ABORTED);
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"one.txt", "three.txt"}));
  EXPECT_EQ(ReadAll(dest_ / "one.txt").size(), 1000u);
  EXPECT_EQ(MTime(dest_ / "one.txt"), 1588748890);
  EXPECT_EQ(ReadAll(dest_ / "three.txt"), "not to be touched");
  EXPECT_EQ(MTime(dest_ / "three.txt"), old_time);
  EXPECT_EQ(reports_.labels.size(), 2u);
  // The run has removed the member's file and left the front end nothing.
  EXPECT_EQ(output_path_, "");
}

TEST_F(RunTest, AbortAfterTheLastMemberWasDecodedRemovesIt) {
  reports_.on_progress = [](uint32_t position) {
    if (position >= 100) g_continue = 0;
  };
  ASSERT_EQ(Run(Fixture("three.lzh")), OUTCOME_ABORTED);
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"one.txt", "two.txt"}));
  EXPECT_EQ(reports_.labels.size(), 3u);
}

TEST_F(RunTest, ProgressCountsFinishedMembers) {
  // Level-1 headers with directory extended headers: both the pre-scan and
  // the worker's seek must land on the second header.
  std::vector<uint32_t> done_during_second;
  reports_.on_progress = [&](uint32_t) {
    if (reports_.labels.size() == 2) done_during_second.push_back(g_done_bytes);
  };
  ASSERT_EQ(Run(Fixture("sizes.lzh")), OUTCOME_DONE);
  EXPECT_EQ(reports_.total_seen, 4000u);
  EXPECT_EQ(g_done_bytes, 4000u);
  ASSERT_FALSE(done_during_second.empty());
  for (uint32_t done : done_during_second) EXPECT_EQ(done, 1000u);
  EXPECT_EQ(reports_.labels, (std::vector<std::string>{"d/first.txt", "d/second.txt"}));
  EXPECT_EQ(ReadAll(dest_ / "d/first.txt").size(), 1000u);
  EXPECT_EQ(ReadAll(dest_ / "d/second.txt").size(), 3000u);
}

TEST_F(RunTest, PrescanSumsAndReturnsToItsStart) {
  Bytes archive = Fixture("mixed.lzh");
  WriteAll(root_ / "m.lzh", archive);
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = fopen((root_ / "m.lzh").c_str(), "rb");
  ASSERT_NE(state.archive, nullptr);
  FailureKind failure = FAILURE_DAMAGED;
  EXPECT_EQ(SumUnpackedSizes(&state, (int64_t)archive.size(), &failure),
            20000u + 13893u + 5000u + 40000u + 40000u);
  EXPECT_EQ(failure, FAILURE_NONE);
  EXPECT_EQ(ftell(state.archive), 0);
  // One byte short of the last member's data: the scan says so, and still
  // returns to its start.
  EXPECT_EQ(SumUnpackedSizes(&state, (int64_t)archive.size() - 2, &failure), 20000u + 13893u + 5000u + 40000u);
  EXPECT_EQ(failure, FAILURE_DAMAGED);
  EXPECT_EQ(ftell(state.archive), 0);
  FreeSfxState(&state);
}

TEST_F(RunTest, DirectoryInTheWayCannotBeReplaced) {
  // A file that cannot be removed nor opened for writing (the read-only
  // file of Windows; as root on Linux only a directory refuses both).
  fs::create_directory(dest_ / "x.txt");
  ASSERT_EQ(Run(Archive({Member("x.txt", "data"), Member("y.txt", "more")})), OUTCOME_FAILED);
  EXPECT_EQ(failure_, FAILURE_CREATE);
  EXPECT_EQ(failure_name_, "x.txt");
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"x.txt/"}));
}

TEST_F(RunTest, FileInPlaceOfADirectoryFails) {
  WriteAll(dest_ / "a", "a file, not a folder");
  ASSERT_EQ(Run(Fixture("nested.lzh")), OUTCOME_FAILED);
  EXPECT_EQ(failure_, FAILURE_CREATE);
  ASSERT_EQ(Run(Fixture("dir.lzh")), OUTCOME_DONE);
  WriteAll(dest_ / "e/f/g", "file");
  ASSERT_EQ(Run(Archive({Member("e/f/g/", "", "-lhd-")})), OUTCOME_FAILED);
  EXPECT_EQ(failure_, FAILURE_CREATE);
}

struct NameCase {
  const char* name;  // as stored in the header (Shift_JIS bytes)
  const char* made;  // the file made, in UTF-8; null: refused
};

TEST_F(RunTest, NamesStayInsideTheDestination) {
  const NameCase cases[] = {
      {"../x", nullptr},
      {"a/../../x", nullptr},
      {"a/..", nullptr},
      {"..", nullptr},
      {"a\\..\\x", nullptr},        // "\" is a separator too
      {"//x", nullptr},             // a second leading "/"
      {"\\\\x", nullptr},
      {"C:x", nullptr},             // drive prefixes
      {"c:/x", nullptr},
      {"\x82\xa0:x", nullptr},      // a double-byte first character and ":"
      {"a/.../x", nullptr},         // Windows trims dots and spaces
      {"a/.. /x", nullptr},
      {"\x80\\..\\x", nullptr},     // 0x80 is no lead byte to Windows: "\" separates
      {"\x81/../x", nullptr},       // an invalid pair: "/" still separates
      {"\x95\\..", "表.."},          // 0x5C as a second byte: one character
      {"\x83\\/\x95\\.txt", "ソ/表.txt"},
      {"\\x.txt", "x.txt"},         // one leading separator, dropped
      {"a/./b", "a/b"},
      {"x..y", "x..y"},
      {".hidden", ".hidden"},
      // Devices in any folder, with any extension, case, trailing dots and
      // spaces; ":" anywhere (an NTFS stream).
      {"CON", nullptr},
      {"a/nul.txt", nullptr},
      {"Com7.tar.gz", nullptr},
      {"LPT1", nullptr},
      {"COM9", nullptr},            // the last digit of each series
      {"lpt9.txt", nullptr},
      {"aux .txt/x", nullptr},
      {"prn..", nullptr},
      {"CONIN$", nullptr},
      {"conout$.log", nullptr},
      {"a/b:c", nullptr},
      {"x.txt:stream", nullptr},
      {"COM0", "COM0"},
      {"COM10", "COM10"},
      {"CONSOLE.txt", "CONSOLE.txt"},
      {"nul_.txt", "nul_.txt"},
      {"a/CO N", "a/CO N"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    Clear();
    uint32_t outcome = Run(Archive({Member(c.name, "content"), Member("after.txt", "later")}));
    if (c.made) {
      EXPECT_EQ(outcome, OUTCOME_DONE);
      EXPECT_EQ(ReadAll(dest_ / c.made), "content");
      EXPECT_EQ(ReadAll(dest_ / "after.txt"), "later");
    } else {
      EXPECT_EQ(outcome, OUTCOME_FAILED);
      EXPECT_EQ(failure_, FAILURE_BAD_NAME);
      EXPECT_TRUE(Tree(dest_).empty());
      EXPECT_EQ(Tree(root_), (std::set<std::string>{"dest/", "input.lzh"}));
    }
  }
}

TEST_F(RunTest, UnixNamesWhenTheHostAllowsThem) {
  g_allow_unix_names = 1;
  uint32_t outcome = Run(Archive({Member("a:b", "colon"), Member("d/CON", "device")}));
  g_allow_unix_names = 0;
  ASSERT_EQ(outcome, OUTCOME_DONE);
  EXPECT_EQ(ReadAll(dest_ / "a:b"), "colon");
  EXPECT_EQ(ReadAll(dest_ / "d/CON"), "device");
}

std::vector<std::string>* g_links;

TEST_F(RunTest, ArchivesOfOtherSystems) {
  std::vector<std::string> links;
  g_links = &links;
  HostCallbacks callbacks = {OnLabel, OnProgress, OnOutcome, OnError, [](const char* name) {
                               g_links->push_back(name);
                             }};
  HostSetCallbacks(&callbacks);
  struct Case {
    const char* file;
    std::set<std::string> tree;
  } cases[] = {
      {"os9-level2.lzh", {"os9/", "os9/first.txt", "second.txt"}},
      {"amiga-dirs.lzh",
       {"subdir/", "subdir/subdir2/", "subdir/subdir2/hello.txt", "MainDir/", "MainDir/02_EmptyDir/",
        "MainDir/after.txt"}},
      {"unix-links.lzh", {"target.txt", "two.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Clear();
    ASSERT_EQ(Run(ReadAll(fs::path(VEMO_SOURCE_DIR) / "tests/fixtures/crafted" / c.file)), OUTCOME_DONE);
    EXPECT_EQ(Tree(dest_), c.tree);
  }
  EXPECT_EQ(MTime(dest_ / "target.txt"), 1589718896);  // from the Unix time
  EXPECT_EQ(links, (std::vector<std::string>{"link|target.txt"}));
}

// Names that Windows takes for one file (letter case, also of the
// double-byte Latin, Greek and Cyrillic letters and Roman numerals, the codes
// that code page 932 has for one character, and trailing dots and spaces)
// end the run at the second, which would replace the first: the
// first keeps its bytes. Folders may repeat; other names pass.
TEST_F(RunTest, NamesWindowsTakesForOneFileAreRefused) {
  struct Case {
    Bytes first, second;
    bool same;
  } cases[] = {
      {"readme.txt", "README.TXT", true},
      {"setup.bat", "setup.bat.", true},
      {"run.cmd", "run.cmd ", true},
      {"x", "x", true},
      {"Docs/a.txt", "docs. /A.TXT", true},
      {"a/./b", "A//b", true},
      {"\x82\x81.txt", "\x82\x60.txt", true},  // full-width a, A
      {"\x83\xbf\x83\xd6", "\x83\x9f\x83\xb6", true},  // Greek alpha omega
      {"\x84\x70\x84\x91", "\x84\x40\x84\x60", true},  // Cyrillic a ya
      {"\x95\\a", "\x95\\A", true},          // a second byte 0x5C, then a letter
      {"\x87\x54", "\xfa\x4a", true},         // Roman numeral one, NEC and IBM codes
      {"\xed\x40", "\xfa\x5c", true},         // one kanji, NEC-selected and IBM codes
      {"\xfa\x40.txt", "\x87\x54.TXT", true},  // small Roman numeral one, capital
      {"\x85\x40", "\x81\x45", true},         // no character: the default one
      {"\x82\x9f", "\x82\xa0", false},          // small and normal hiragana a
      {"\x82\x60", "\x82\x61", false},          // full-width A, B
      {"a.txt", "a.txt.gz", false},
      {"a b", "ab", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second);
    Clear();
    uint32_t outcome = Run(Archive({Member(c.first, "one"), Member(c.second, "two")}));
    if (!c.same) {
      EXPECT_EQ(outcome, OUTCOME_DONE);
      continue;
    }
    EXPECT_EQ(outcome, OUTCOME_FAILED);
    EXPECT_EQ(failure_, FAILURE_SAME_FILE);
    EXPECT_EQ(failure_name_, c.second);
    for (const auto& e : fs::recursive_directory_iterator(dest_)) {
      if (e.is_regular_file()) {
        EXPECT_EQ(ReadAll(e.path()), "one") << e.path();
      }
    }
  }
  Clear();
  EXPECT_EQ(Run(Archive({Member("d/", "", "-lhd-"), Member("D/", "", "-lhd-"), Member("d/x", "1")})), OUTCOME_DONE);
  // Each run starts afresh.
  EXPECT_EQ(Run(Archive({Member("d/x", "1")})), OUTCOME_DONE);
}

TEST_F(RunTest, NothingIsWrittenThroughALink) {
  fs::path elsewhere = root_ / "elsewhere";
  fs::create_directory(elsewhere);
  WriteAll(elsewhere / "kept", "outside");
  fs::create_directory_symlink(elsewhere, dest_ / "link");
  for (const Bytes& archive : {Archive({Member("link/x", "data")}), Archive({Member("link/sub/", "", "-lhd-")}),
                               Archive({Member("link//kept", "data")})}) {
    ASSERT_EQ(Run(archive), OUTCOME_FAILED);
    EXPECT_EQ(failure_, FAILURE_LINK);
  }
  EXPECT_EQ(Tree(elsewhere), (std::set<std::string>{"kept"}));
  // A link at the member's own name is replaced, not followed.
  fs::create_symlink(elsewhere / "kept", dest_ / "own");
  ASSERT_EQ(Run(Archive({Member("own", "mine")})), OUTCOME_DONE);
  EXPECT_FALSE(fs::is_symlink(dest_ / "own"));
  EXPECT_EQ(ReadAll(dest_ / "own"), "mine");
  EXPECT_EQ(ReadAll(elsewhere / "kept"), "outside");
}

TEST_F(RunTest, OutputLongerThanDeclaredIsDamage) {
  // One byte less declared: the last match runs past it, which the decoder
  // reports as damage before anything past it is written.
  Bytes archive = ReadAll(fs::path(VEMO_SOURCE_DIR) / "tests/fixtures/methods/runs.lz5.lzh");
  archive[11] = (char)(archive[11] - 1);
  ASSERT_EQ(Run(archive), OUTCOME_FAILED);
  EXPECT_EQ(failure_, FAILURE_DAMAGED);
  EXPECT_TRUE(Tree(dest_).empty());
}

TEST_F(RunTest, CrcMismatchRemovesTheFile) {
  struct Case {
    const char* fixture;
    size_t offset_from_end;  // a data byte of the last member
    const char* name;
  } cases[] = {{"nested.lzh", 3, "a/b/c.txt"}, {"three.lzh", 40, "three.txt"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    Clear();
    Bytes archive = Fixture(c.fixture);
    archive[archive.size() - 1 - c.offset_from_end] ^= 0x10;
    ASSERT_EQ(Run(archive), OUTCOME_FAILED);
    // The flipped bit may also make the stream want bytes it does not have.
    EXPECT_TRUE(failure_ == FAILURE_CRC || failure_ == FAILURE_DAMAGED) << failure_;
    EXPECT_EQ(failure_name_, c.name);
    EXPECT_FALSE(fs::exists(dest_ / c.name));
    EXPECT_EQ(output_path_, "");
  }
}

TEST_F(RunTest, DamagedArchivesFailBeforeWritingAnything) {
  Bytes three = Fixture("three.lzh");
  size_t second = Find(three, "-lh5-", 1) - 2;
  std::vector<std::pair<const char*, Bytes>> cases = {
      {"cut inside the first header", three.substr(0, 15)},
      {"cut inside the second header", three.substr(0, second + 10)},
      {"cut inside the second member's data", three.substr(0, second + 41 + 100)},
      {"cut inside the last member's data", three.substr(0, three.size() - 20)},
      {"a header too short to advance", Bytes("\x05") + Bytes(40, '\0')},
      {"stored data beyond the end", Archive({Member("x", "abc", "-lh0-", 3, 5000)})},
      {"packed size near 4 GiB", Archive({Member("x", "abc", "-lh5-", 0xFFFFFFF0u, 3)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Clear();
    ASSERT_EQ(Run(c.second), OUTCOME_FAILED);
    EXPECT_EQ(failure_, FAILURE_DAMAGED);
    EXPECT_EQ(failure_name_, "");
    EXPECT_TRUE(Tree(dest_).empty());
  }
}

TEST_F(RunTest, ArchivesWithoutMembersAreDone) {
  for (const Bytes& archive : {Bytes(1, '\0'), Bytes()}) {
    ASSERT_EQ(Run(archive), OUTCOME_DONE);
    EXPECT_TRUE(reports_.labels.empty());
    EXPECT_EQ(g_total_bytes, 0u);
  }
  // Without the closing 0 byte the archive ends with the stream.
  Bytes three = Fixture("three.lzh");
  ASSERT_EQ(Run(three.substr(0, three.size() - 1)), OUTCOME_DONE);
  EXPECT_EQ(Tree(dest_).size(), 3u);
}

TEST_F(RunTest, UnknownHeaderIsReportedOnceByTheReader) {
  // h - n = 21 matches no header layout.
  Bytes member = Member("x.txt", "abc");
  member[0] = (char)(member[0] - 1);
  member.erase(member.size() - 3 - 1, 1);
  ASSERT_EQ(Run(member + Bytes(1, '\0')), OUTCOME_FAILED);
  EXPECT_EQ(failure_, FAILURE_UNKNOWN_HEADER);
  EXPECT_EQ(reports_.errors, (std::vector<std::string>{"Unknown header"}));
}

// Writes of a file past 100000 bytes fail while one lives, as on a full
// disk: the file size limit lowered, SIGXFSZ ignored; both restored after.
class FileSizeLimit {
 public:
  FileSizeLimit() {
    getrlimit(RLIMIT_FSIZE, &old_limit_);
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old_action_);
    struct rlimit limit = old_limit_;
    limit.rlim_cur = 100000;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_limit_);
    sigaction(SIGXFSZ, &old_action_, nullptr);
  }
  bool ok() const { return ok_; }

 private:
  struct rlimit old_limit_;
  struct sigaction old_action_;
  bool ok_ = false;
};

TEST_F(RunTest, ShortWriteIsAFailure) {
  Bytes archive = Archive({Member("big.bin", Bytes(300000, 'x'))});
  WriteAll(root_ / "input.lzh", archive);  // written before the limit
  {
    FileSizeLimit limit;
    ASSERT_TRUE(limit.ok());
    InitSfxState(&state_, nullptr);
    state_.archive = fopen((root_ / "input.lzh").c_str(), "rb");
    ASSERT_TRUE(UseDefaultConfig(&state_));
    ExtractionWorker(&state_);
  }
  ASSERT_EQ(reports_.outcomes, (std::vector<uint32_t>{OUTCOME_FAILED}));
  EXPECT_EQ(state_.failure, FAILURE_WRITE);
  EXPECT_STREQ(state_.failure_name, "big.bin");
  EXPECT_FALSE(fs::exists(dest_ / "big.bin"));
  FreeSfxState(&state_);
}

// A member is written beside its place and replaces the file of its name
// only when complete and intact: damage, an abort or a full disk leave the
// old file as it was, and nothing else behind.
TEST_F(RunTest, AFailedMemberLeavesTheExistingFile) {
  Bytes good = Member("x.txt", Bytes(300000, 'n'));
  Bytes bad_crc = good;
  bad_crc[bad_crc.size() - 1] ^= 1;
  struct Case {
    const char* what;
    Bytes archive;
    uint32_t outcome, failure;
    bool abort, full_disk;
  } cases[] = {
      {"CRC mismatch", Archive({bad_crc}), OUTCOME_FAILED, FAILURE_CRC, false, false},
      {"damaged data", Archive({Member("x.txt", Bytes(50, '\xFF'), "-lh5-", 50, 300000)}), OUTCOME_FAILED,
       FAILURE_DAMAGED, false, false},
      {"abort", Archive({good}), OUTCOME_ABORTED, FAILURE_NONE, true, false},
      {"full disk", Archive({good}), OUTCOME_FAILED, FAILURE_WRITE, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Clear();
    WriteAll(dest_ / "x.txt", "older");
    struct timespec old_time[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, (dest_ / "x.txt").c_str(), old_time, 0);
    reports_.on_progress = [&c](uint32_t) {
      if (c.abort) g_continue = 0;
    };
    // The archive is written before the limit applies.
    WriteAll(root_ / "input.lzh", c.archive);
    reports_.outcomes.clear();
    {
      std::unique_ptr<FileSizeLimit> limit(c.full_disk ? new FileSizeLimit : nullptr);
      ASSERT_TRUE(!limit || limit->ok());
      InitSfxState(&state_, nullptr);
      state_.archive = fopen((root_ / "input.lzh").c_str(), "rb");
      ASSERT_TRUE(UseDefaultConfig(&state_));
      ExtractionWorker(&state_);
    }
    EXPECT_EQ(reports_.outcomes, (std::vector<uint32_t>{c.outcome}));
    EXPECT_EQ(state_.failure, c.failure);
    EXPECT_STREQ(state_.output_path, "");
    FreeSfxState(&state_);
    g_continue = 1;
    EXPECT_EQ(Tree(dest_), (std::set<std::string>{"x.txt"}));
    EXPECT_EQ(ReadAll(dest_ / "x.txt"), "older");
    EXPECT_EQ(MTime(dest_ / "x.txt"), 1000000000);
  }
  // Complete, the member replaces it, and no other file is left.
  reports_.on_progress = nullptr;
  ASSERT_EQ(Run(Archive({good, Member("y.txt", "y")})), OUTCOME_DONE);
  EXPECT_EQ(Tree(dest_), (std::set<std::string>{"x.txt", "y.txt"}));
  EXPECT_EQ(ReadAll(dest_ / "x.txt"), Bytes(300000, 'n'));
  EXPECT_EQ(MTime(dest_ / "x.txt"), DOS_TIME_UTC);
}

TEST_F(RunTest, MakeParentDirs) {
  WriteAll(dest_ / "file", "x");
  EXPECT_TRUE(MakeParentDirs("p/q/r/s.txt"));
  EXPECT_TRUE(fs::is_directory(dest_ / "p/q/r"));
  EXPECT_TRUE(MakeParentDirs("p/q/r/s.txt"));  // already there
  EXPECT_TRUE(MakeParentDirs("t//u"));
  EXPECT_TRUE(fs::is_directory(dest_ / "t"));
  EXPECT_FALSE(MakeParentDirs("plain"));
  EXPECT_FALSE(MakeParentDirs("/rooted"));
  EXPECT_FALSE(MakeParentDirs("file/x"));
  EXPECT_FALSE(MakeParentDirs("file/y/x"));
}

}  // namespace

// ---- vemosfx extract and vemosfx test, run as a user runs them ---------------

namespace {

struct ToolRun {
  int status = -1;  // exit status, or 1000 + signal
  std::string out, err;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tool_ = fs::path(VEMO_BINARY_DIR) / "vemosfx";
    if (!fs::exists(tool_)) GTEST_SKIP() << "vemosfx is not built";
    char pattern[] = "/tmp/runtool.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }

  // Starts the tool with standard output and error going to files.
  pid_t Start(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
      freopen((root_ / "out").c_str(), "w", stdout);
      freopen((root_ / "err").c_str(), "w", stderr);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(tool_.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(tool_.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }
  ToolRun Wait(pid_t pid) {
    ToolRun run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    run.out = ReadAll(root_ / "out");
    run.err = ReadAll(root_ / "err");
    return run;
  }
  ToolRun Tool(const std::vector<std::string>& args) { return Wait(Start(args)); }

  std::string Input(const char* name, const Bytes& data) {
    WriteAll(root_ / name, data);
    return (root_ / name).string();
  }

  fs::path tool_, root_;
};

TEST_F(ToolTest, UsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"extract"}, {"extract", "-C"}, {"extract", "-x", "a.lzh"}, {"test"}}) {
    ToolRun run = Tool(args);
    EXPECT_EQ(run.status, 2) << args.size();
    EXPECT_NE(run.err.find("--help' for more information"), std::string::npos) << run.err;
  }
}

TEST_F(ToolTest, ExtractsArchivesAndPackagesQuietly) {
  std::string out = (root_ / "out1").string();
  ToolRun run = Tool({"extract", "-C", out, std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/run/mixed.lzh"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");  // standard error is no terminal here
  EXPECT_EQ(ReadAll(fs::path(out) / "ソフト/表.txt").size(), 20000u);
  // A package: the stub's bytes, then a payload without a configuration block.
  Bytes package = "MZ" + Bytes(PAYLOAD_OFFSET - 2, '\0') + Bytes(1, '\0') + Fixture("nested.lzh");
  out = (root_ / "out2").string();
  run = Tool({"extract", "-C" + out, Input("p.exe", package)});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadAll(fs::path(out) / "a/b/c.txt"), "hello nested\n");
}

TEST_F(ToolTest, FailuresNameTheMemberInUtf8) {
  std::string out = (root_ / "o").string();
  ToolRun run = Tool({"extract", "-C", out, Input("bad.lzh", Archive({Member("\x93\xfa/../x", "data")}))});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("日/../x: refused"), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  EXPECT_TRUE(fs::is_empty(out));

  Bytes archive = Fixture("three.lzh");
  run = Tool({"extract", "-C", out, Input("cut.lzh", archive.substr(0, archive.size() - 20))});
  EXPECT_EQ(run.status, 1);
  // The members before the cut come out; the cut one is named.
  EXPECT_EQ(run.err, "vemosfx: three.txt: the data is cut short (the archive is damaged)\n");
}

TEST_F(ToolTest, LinksAreMadeOrSkippedAndUnixNamesAllowedOnRequest) {
  std::string links = std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/crafted/unix-links.lzh";
  ToolRun run = Tool({"extract", "-C", (root_ / "o").string(), links});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(fs::read_symlink(root_ / "o/link"), "target.txt");
  run = Tool({"extract", "--no-links", "-C", (root_ / "n").string(), links});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "vemosfx: 1 symbolic link skipped (--no-links)\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "n/link")));
  run = Tool({"list", links});
  EXPECT_NE(run.out.find(" link -> target.txt\n"), std::string::npos) << run.out;

  std::string colon = Input("c.lzh", Archive({Member("a:b", "x")}));
  EXPECT_EQ(Tool({"extract", "-C", (root_ / "p").string(), colon}).status, 1);
  run = Tool({"extract", "--allow-unix-names", "-C", (root_ / "p").string(), colon});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadAll(root_ / "p/a:b"), "x");
}

TEST_F(ToolTest, TestChecksEveryMember) {
  ToolRun run = Tool({"test", "-v", std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/run/mixed.lzh"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("ok      ソフト/表.txt\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("6 members, 6 intact, 0 failed"), std::string::npos) << run.out;

  Bytes archive = Fixture("three.lzh");
  archive.replace(Find(archive, "-lh5-", 1), 5, "-lh8-");
  ResealLevel2(&archive, Find(archive, "-lh8-"));
  archive[archive.size() - 40] ^= 0x10;
  run = Tool({"test", Input("t.lzh", archive)});
  EXPECT_EQ(run.status, 1);
  // Quiet: the problems on stderr, the summary alone on stdout.
  EXPECT_EQ(run.err,
            "vemosfx: two.txt: unsupported compression method -lh8-\n"
            "vemosfx: three.txt: the data does not match its CRC (damaged)\n") << run.err;
  EXPECT_EQ(run.out, "3 members, 1 intact, 2 failed\n");
  // Nothing was written.
  EXPECT_EQ(Tree(root_), (std::set<std::string>{"t.lzh", "out", "err"}));
}

TEST_F(ToolTest, EveryWalkAgreesWhereTheDataEnds) {
  // Cut short in the packed data: list, test and extract stop at the same
  // member.
  Bytes three = Fixture("three.lzh");
  const struct {
    const char* what;
    Bytes archive;
    const char* member;  // the member named as cut short
    unsigned before;     // members listed before it
  } cases[] = {
      {"packed data", three.substr(0, three.size() - 20), "three.txt", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string input = Input("cut.lzh", c.archive);
    ToolRun list = Tool({"list", input});
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.err, "vemosfx: " + input + ": member data cut short after " + std::to_string(c.before) +
                            " member" + (c.before == 1 ? "" : "s") + "\n");
    ToolRun test = Tool({"test", input});
    EXPECT_EQ(test.status, 1);
    EXPECT_NE(test.err.find(std::string(c.member) + ": the data is cut short\n"), std::string::npos) << test.err;
    ToolRun extract = Tool({"extract", "-C", (root_ / "o").string(), input});
    EXPECT_EQ(extract.status, 1);
    EXPECT_EQ(extract.err, "vemosfx: " + std::string(c.member) + ": the data is cut short (the archive is damaged)\n");
  }
}

TEST_F(ToolTest, InterruptRemovesThePartlyWrittenFile) {
  // 128 MiB of zeros (CRC 0), stored: long enough to be caught writing.
  const uint32_t size = 128u << 20;
  // The CRC of no bytes, 0, is also the CRC of the zeros.
  Bytes header = Member("big.bin", "", "-lh0-", size, size);
  fs::path input = root_ / "big.lzh";
  WriteAll(input, header);
  fs::resize_file(input, header.size() + size + 1);  // sparse data and the closing 0
  // Ctrl-C, kill and a closed terminal all stop the run the same way.
  const struct {
    int signal, status;
    const char* message;
  } cases[] = {{SIGINT, 130, "vemosfx: interrupted\n"},
               {SIGTERM, 143, "vemosfx: Terminated\n"},
               {SIGHUP, 129, "vemosfx: Hangup\n"}};
  for (const auto& c : cases) {
    fs::path out = root_ / ("o" + std::to_string(c.signal));
    // An older big.bin stays as it was.
    fs::create_directories(out);
    WriteAll(out / "big.bin", "older");
    pid_t pid = Start({"extract", "-C", out.string(), input.string()});
    bool writing = false;
    for (int i = 0; i < 5000 && !writing; ++i) {
      usleep(1000);
      std::error_code error;
      for (const auto& e : fs::directory_iterator(out, error)) {
        if (e.path().filename() != "big.bin" && fs::file_size(e.path(), error) > 0) writing = true;
      }
    }
    ASSERT_TRUE(writing);
    kill(pid, c.signal);
    ToolRun run = Wait(pid);
    EXPECT_EQ(run.status, c.status) << run.err;  // its own exit, not the signal's
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(Tree(out), (std::set<std::string>{"big.bin"}));
    EXPECT_EQ(ReadAll(out / "big.bin"), "older");
  }
}

}  // namespace

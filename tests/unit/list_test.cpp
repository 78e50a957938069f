// vemosfx list: its output format and exit statuses, run as a program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/unit/reader_support.h"

using namespace reader_test;

namespace {

struct ToolRun {
  int status;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  Bytes bytes = ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

class ListTool : public ::testing::Test {
 protected:
  void SetUp() override {
    tool_ = std::string(VEMO_BINARY_DIR) + "/vemosfx";
    if (access(tool_.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << tool_;
    char pattern[] = "/tmp/vemolist.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) {
      EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
  }
  ToolRun List(const std::string& args) {
    std::string command = "TZ=UTC0 '" + tool_ + "' list " + args + " >'" + dir_ + "/out' 2>'" + dir_ + "/err'";
    ToolRun r;
    int raw = system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Slurp(dir_ + "/out");
    r.err = Slurp(dir_ + "/err");
    return r;
  }
  std::string Fixture(const std::string& name) {
    return "'" + std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/" + name + "'";
  }
  std::string Write(const std::string& name, const Bytes& bytes) {
    std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
  }

  std::string tool_, dir_;
};

const char MEMBERS[] =
    "method     packed   unpacked level  crc   os time                 name\n"
    "-lh0-          13         13     1 e575    - 2020-05-17T12:34:56Z hello.txt\n"
    "-lh0-          25         25     1 a81b    - 2020-05-17T12:34:56Z 日本語.txt\n"
    "-lhd-           0          0     1 0000    - 2020-05-17T12:34:56Z docs/\n"
    "-lh5-         502       6892     1 ba2d    - 2020-05-17T12:34:56Z docs/readme.txt\n"
    "-lhd-           0          0     1 0000    - 2021-01-02T03:04:06Z 表/\n"
    "-lh0-           5          5     1 c75f    - 2021-01-02T03:04:06Z 表/ソフト.txt\n"
    "6 members, 545 bytes packed, 6935 bytes unpacked\n";

TEST_F(ListTool, PlainArchive) {
  ToolRun r = List(Fixture("headers/level1.lzh"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("config: none\n") + MEMBERS);
  EXPECT_EQ(r.err, "");
}

TEST_F(ListTool, Package) {
  ToolRun r = List(Fixture("headers/package.bin"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find("method")),
            "config: present\n"
            "  title:           サンプル\n"
            "  destination:     <Windows drive>\\Program Files\\Vemo\\ソフト\n"
            "  shortcut target: docs\\readme.txt\n"
            "  start menu:      ask-yes\n"
            "  desktop:         yes\n"
            "  send to:         no\n"
            "  open after:      hello.txt\n");
  EXPECT_NE(r.out.find("-lh5-         502       6892     2 ba2d"), std::string::npos);
}

TEST_F(ListTool, NamesThatDoNotConvertAreEscaped) {
  // A level-0 member whose name has a byte without a Shift_JIS meaning and
  // an OS id that is not printable.
  Bytes b = {22 + 5 + 3, 0};
  PutText(&b, "-lh0-");
  Put32(&b, 0);
  Put32(&b, 0);
  Put32(&b, 0);
  b.push_back(0x20);
  b.push_back(0);
  b.push_back(5);
  PutText(&b, "a\xFF" "b\\c");
  Put16(&b, 0x0102);
  b.push_back(0x07);
  b.push_back(0);
  b.push_back(0);
  uint8_t sum = 0;
  for (size_t i = 2; i < b.size(); ++i) sum = (uint8_t)(sum + b[i]);
  b[1] = sum;
  b.push_back(0);  // end of archive
  ToolRun r = List("'" + Write("odd.lzh", b) + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("-lh0-           0          0     0 0102 \\x07 1970-01-01T00:00:00Z a\\xffb/c\n"),
            std::string::npos)
      << r.out;
}

TEST_F(ListTool, Failures) {
  Bytes whole = ReadFixture("headers/level1.lzh");
  ASSERT_GT(whole.size(), 300u);
  std::string cut = Write("cut.lzh", Bytes(whole.begin(), whole.begin() + 300));
  ToolRun r = List("'" + cut + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vemosfx: " + cut + ": member data cut short after 3 members\n");
  EXPECT_EQ(r.out.find("readme"), std::string::npos);

  // The last member's data may end the file (no end mark); a byte less is
  // cut short.
  ASSERT_EQ(whole.back(), 0);
  r = List("'" + Write("unmarked.lzh", Bytes(whole.begin(), whole.end() - 1)) + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  std::string short_one = Write("short.lzh", Bytes(whole.begin(), whole.end() - 2));
  r = List("'" + short_one + "'");
  EXPECT_EQ(r.err, "vemosfx: " + short_one + ": member data cut short after 5 members\n");

  // A header shape but for the "-" that closes the method: not an archive.
  Bytes almost = whole;
  almost[6] = 'x';
  std::string not_lzh = Write("almost.lzh", almost);
  r = List("'" + not_lzh + "'");
  EXPECT_EQ(r.err, "vemosfx: " + not_lzh + ": not an LZH archive or package\n");

  std::string header_cut = Write("header.lzh", Bytes(whole.begin(), whole.begin() + 60));
  r = List("'" + header_cut + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vemosfx: " + header_cut + ": damaged member header after 1 member\n");

  Bytes unknown = {30, 0};
  PutText(&unknown, "-lh0-");
  unknown.resize(20, 0);
  unknown.push_back(0);  // level 0
  unknown.push_back(9);  // h - n = 21
  unknown.resize(32, 'x');
  std::string odd = Write("unknown.lzh", unknown);
  r = List("'" + odd + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vemosfx: " + odd + ": unknown header layout after 0 members\n");

  Bytes stub(PAYLOAD_OFFSET + 3, 0);
  stub[0] = 'M', stub[1] = 'Z', stub[PAYLOAD_OFFSET] = 1, stub[PAYLOAD_OFFSET + 1] = 9;
  std::string package = Write("short.exe", stub);
  r = List("'" + package + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vemosfx: " + package + ": not an LZH archive or package\n");

  r = List("'" + dir_ + "/missing.lzh'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vemosfx: " + dir_ + "/missing.lzh: No such file or directory\n");

  r = List("");
  EXPECT_EQ(r.status, 2);
  // A second operand is a member pattern: the missing FILE is the problem.
  r = List("a b");
  EXPECT_EQ(r.status, 1);
}

}  // namespace

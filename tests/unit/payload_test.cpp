// The configuration block, the payload's position and the double-byte path
// helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "extract/header.h"
#include "extract/payload.h"
#include "platform/sjis.h"
#include "tests/unit/reader_support.h"

using namespace reader_test;

namespace {

Bytes Counted(const std::string& s) {
  Bytes b = {(uint8_t)s.size()};
  PutText(&b, s);
  return b;
}

// A block with every field: present, title, base, sub-path, target, three
// options, open-after.
Bytes Block(const std::string& title, uint8_t base, const std::string& sub, const std::string& target,
            uint8_t o1, uint8_t o2, uint8_t o3, const std::string& open) {
  Bytes b = {1};
  b = Cat(b, Counted(title));
  b.push_back(base);
  b = Cat(b, Counted(sub));
  b = Cat(b, Counted(target));
  b.push_back(o1);
  b.push_back(o2);
  b.push_back(o3);
  return Cat(b, Counted(open));
}

std::string Cwd() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}

// Each test runs in a fresh temporary directory and returns to where it was.
class PayloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = Cwd();
    char pattern[] = "/tmp/vemopayload.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    InitSfxState(&state_, nullptr);
  }
  void TearDown() override {
    state_.archive = nullptr;  // owned by the MemStream of each test
    FreeSfxState(&state_);
    EXPECT_EQ(chdir(home_.c_str()), 0);
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  // Frees the texts; the stream stays with its MemStream.
  void Reset() {
    state_.archive = nullptr;
    FreeSfxState(&state_);
  }
  bool Read(MemStream* stream) {
    state_.archive = stream->get();
    return ReadConfig(&state_);
  }

  std::string home_, dir_;
  SfxState state_;
};

TEST(Payload, FreeingLeavesNothingToFreeAgain) {
  // A block read in full, then freed twice: the second call must find
  // nothing (a double free or a second fclose would abort here).
  SfxState state;
  int marker;
  InitSfxState(&state, &marker);
  EXPECT_EQ(state.instance, &marker);
  Bytes block = Block("title", 1, "sub", "target", 3, 2, 1, "open");
  state.archive = fmemopen(block.data(), block.size(), "rb");
  ASSERT_TRUE(ReadConfig(&state));
  FreeSfxState(&state);
  FreeSfxState(&state);
  EXPECT_EQ(state.archive, nullptr);
  EXPECT_EQ(state.title, nullptr);
}

// The payload of a package as built: a block that names the only member to
// open afterwards, then a level-2 "-lh5-" header of 53 bytes.
TEST_F(PayloadTest, ExamplePayload) {
  const std::string member = "vemo-sample-doc.txt";  // 19 bytes
  ASSERT_EQ(member.size(), 19u);
  Bytes block = Block(DEFAULT_TITLE, 0, "", "", 0, 0, 0, member);
  Bytes header = {0x35, 0x00};
  PutText(&header, "-lh5-");
  Put32(&header, 0x0BBF);
  Put32(&header, 0x4800);
  Put32(&header, 1589718896);
  header.push_back(0x20);
  header.push_back(2);
  Put16(&header, 0x4C2F);
  header.push_back('M');
  Put16(&header, 5);  // a header of type 0x00 with 2 data bytes
  header.push_back(0x00);
  Put16(&header, 0x9999);
  Put16(&header, 22);  // the file name
  header.push_back(0x01);
  PutText(&header, member);
  Put16(&header, 0);
  ASSERT_EQ(header.size(), 53u);
  Bytes payload = Cat(block, header);
  payload.resize(payload.size() + 0x0BBF, 0x55);
  payload.push_back(0);

  MemStream stream(payload);
  ASSERT_TRUE(Read(&stream));
  EXPECT_STREQ(state_.title, DEFAULT_TITLE);
  EXPECT_EQ(std::string(state_.destination), dir_);
  EXPECT_STREQ(state_.shortcut_target, "");
  EXPECT_STREQ(state_.open_after, member.c_str());
  EXPECT_EQ(state_.has_config, 1);
  EXPECT_EQ(stream.pos(), (long)block.size());

  MemberHeader h;
  // The stub's reader (the host's also checks the made-up header CRC).
  ASSERT_EQ(ReadStubMemberHeader(&state_, &h), HEADER_READ);
  EXPECT_EQ(std::string(h.method, 5), "-lh5-");
  EXPECT_EQ(h.packed_size, 3007u);
  EXPECT_EQ(h.unpacked_size, 18432u);
  EXPECT_EQ(h.os_id, 'M');
  EXPECT_EQ(h.has_crc, 1);
  EXPECT_EQ(h.crc, 0x4C2F);
  EXPECT_EQ(h.mtime, h.raw_time);
  EXPECT_STREQ(h.name, member.c_str());
  EXPECT_EQ(stream.pos(), (long)(block.size() + 53));
  ASSERT_EQ(fseek(stream.get(), (long)h.packed_size, SEEK_CUR), 0);
  EXPECT_EQ(ReadMemberHeader(&state_, &h), HEADER_END);
  EXPECT_EQ(stream.pos(), (long)payload.size());
}

TEST_F(PayloadTest, NoBlock) {
  MemStream stream({0, 0x35});
  ASSERT_TRUE(Read(&stream));
  EXPECT_STREQ(state_.title, DEFAULT_TITLE);
  EXPECT_EQ(std::string(state_.destination), dir_);
  EXPECT_EQ(state_.has_config, 0);
  EXPECT_EQ(state_.shortcut_target, nullptr);
  EXPECT_EQ(state_.open_after, nullptr);
  EXPECT_EQ(stream.pos(), 1);
}

TEST_F(PayloadTest, FieldsAndDefaultTitle) {
  MemStream stream(Block("", 7, "", "app\\run.exe", 1, 2, 3, "readme.txt"));
  ASSERT_TRUE(Read(&stream));
  EXPECT_STREQ(state_.title, DEFAULT_TITLE);
  EXPECT_EQ(std::string(state_.destination), dir_);  // base ignored without a sub-path
  EXPECT_STREQ(state_.shortcut_target, "app\\run.exe");
  EXPECT_EQ(state_.start_menu_option, 1);
  EXPECT_EQ(state_.desktop_option, 2);
  EXPECT_EQ(state_.send_to_option, 3);
  EXPECT_STREQ(state_.open_after, "readme.txt");
  EXPECT_EQ(state_.has_config, 1);
}

TEST_F(PayloadTest, Destinations) {
  {
    MemStream stream(Block("t", 1, "Tools", "", 0, 0, 0, ""));
    ASSERT_TRUE(Read(&stream));
    EXPECT_STREQ(state_.destination, "C:\\Program Files\\Tools");
  }
  Reset();
  {
    // The sub-path is taken as it is, separators and all.
    MemStream stream(Block("t", 0, "Vemo\\Tools\\", "", 0, 0, 0, ""));
    ASSERT_TRUE(Read(&stream));
    EXPECT_EQ(std::string(state_.destination), dir_ + "\\Vemo\\Tools\\");
  }
}

TEST_F(PayloadTest, CurrentDirectoryEndingInADoubleByteCharacter) {
  // The folder's name ends in 0x83 0x5C (a katakana "so"): its "\" is no
  // separator, so one is appended.
  ASSERT_EQ(mkdir("x\x83\x5C", 0777), 0);
  ASSERT_EQ(chdir("x\x83\x5C"), 0);
  MemStream stream(Block("t", 0, "Tools", "", 0, 0, 0, ""));
  ASSERT_TRUE(Read(&stream));
  EXPECT_EQ(std::string(state_.destination), dir_ + "/x\x83\x5C\\Tools");
}

TEST_F(PayloadTest, EndsExactlyAtTheEndOfTheFile) {
  MemStream stream(Block("t", 0, "", "a", 0, 0, 0, "b"));
  EXPECT_TRUE(Read(&stream));
  MemberHeader h;
  EXPECT_EQ(ReadMemberHeader(&state_, &h), HEADER_END);
}

TEST_F(PayloadTest, CutShortAnywhere) {
  Bytes whole = Block("title", 1, "sub", "target", 3, 2, 1, "open");
  for (size_t n = 0; n < whole.size(); ++n) {
    SCOPED_TRACE(n);
    MemStream stream(Bytes(whole.begin(), whole.begin() + n));
    EXPECT_FALSE(Read(&stream));
    Reset();
  }
}

TEST_F(PayloadTest, DestinationThatDoesNotFitIsRefused) {
  // Go deep enough that the current directory plus "\" leaves 10 bytes.
  const size_t target = PATH_MAX_BYTES - 11;
  std::string cwd = dir_;
  while (cwd.size() < target) {
    size_t remaining = target - cwd.size();  // "/" plus the folder's name
    size_t length = remaining - 1 <= 50 ? remaining - 1 : (remaining - 52 >= 1 ? 50 : 25);
    std::string part(length, 'd');
    ASSERT_EQ(mkdir(part.c_str(), 0777), 0);
    ASSERT_EQ(chdir(part.c_str()), 0);
    cwd += "/" + part;
  }
  ASSERT_EQ(Cwd(), cwd);
  ASSERT_EQ(cwd.size(), target);
  {
    MemStream stream(Block("t", 0, std::string(10, 's'), "", 0, 0, 0, ""));
    ASSERT_TRUE(Read(&stream));
    EXPECT_EQ(strlen(state_.destination), PATH_MAX_BYTES);
  }
  Reset();
  {
    MemStream stream(Block("t", 0, std::string(11, 's'), "", 0, 0, 0, ""));
    EXPECT_FALSE(Read(&stream));
  }
  Reset();
  {
    // "C:\Program Files\" plus a sub-path that passes the limit.
    MemStream stream(Block("t", 1, std::string(255, 's'), "", 0, 0, 0, ""));
    EXPECT_FALSE(Read(&stream));
  }
  Reset();
  {
    MemStream stream(Block("t", 1, std::string(PATH_MAX_BYTES - 17, 's'), "", 0, 0, 0, ""));
    ASSERT_TRUE(Read(&stream));
    EXPECT_EQ(strlen(state_.destination), PATH_MAX_BYTES);
  }
}

TEST_F(PayloadTest, CurrentDirectoryTooLongIsRefused) {
  while (Cwd().size() <= PATH_MAX_BYTES) {
    ASSERT_EQ(mkdir("a-rather-long-folder-name-to-pass-the-path-limit", 0777), 0);
    ASSERT_EQ(chdir("a-rather-long-folder-name-to-pass-the-path-limit"), 0);
  }
  {
    MemStream stream({0});
    EXPECT_FALSE(Read(&stream));
  }
  Reset();
  {
    MemStream stream(Block("t", 0, "", "", 0, 0, 0, ""));
    EXPECT_FALSE(Read(&stream));
  }
  Reset();
  EXPECT_FALSE(UseDefaultConfig(&state_));
}

// A fake package on disk: "MZ", zeros up to the payload, then the payload.
std::string WritePackage(const std::string& dir, const Bytes& payload, size_t stub = PAYLOAD_OFFSET) {
  std::string path = dir + "/package.exe";
  FILE* f = fopen(path.c_str(), "wb");
  Bytes stub_bytes(stub, 0);
  if (stub >= 2) stub_bytes[0] = 'M', stub_bytes[1] = 'Z';
  if (stub != 0) fwrite(stub_bytes.data(), 1, stub_bytes.size(), f);
  if (!payload.empty()) fwrite(payload.data(), 1, payload.size(), f);
  fclose(f);
  return path;
}

TEST_F(PayloadTest, OpenPayloadReadsBehindTheStub) {
  Bytes payload = Cat(Block("title", 0, "", "", 0, 0, 0, ""), {0});
  HostSetOwnPath(WritePackage(dir_, payload).c_str());
  ASSERT_TRUE(OpenPayload(&state_));
  EXPECT_STREQ(state_.title, "title");
  EXPECT_EQ(ftell(state_.archive), (long)(PAYLOAD_OFFSET + payload.size() - 1));
  EXPECT_EQ(std::string(state_.module_path), dir_ + "/package.exe");
  FreeSfxState(&state_);  // closes the archive
  EXPECT_EQ(state_.archive, nullptr);
  HostSetOwnPath("");
}

TEST_F(PayloadTest, OpenPayloadFailures) {
  // A file that ends before the payload: the seek works, the first read fails.
  HostSetOwnPath(WritePackage(dir_, {}, 1000).c_str());
  EXPECT_FALSE(OpenPayload(&state_));
  FreeSfxState(&state_);
  // A stub with a cut-short block behind it.
  HostSetOwnPath(WritePackage(dir_, {1, 5, 'a'}).c_str());
  EXPECT_FALSE(OpenPayload(&state_));
  FreeSfxState(&state_);
  HostSetOwnPath((dir_ + "/missing.exe").c_str());
  EXPECT_FALSE(OpenPayload(&state_));
  EXPECT_EQ(state_.archive, nullptr);
  HostSetOwnPath("");
}

TEST(Payload, OpensTheJlhaPackage) {
  std::string path = std::string(VEMO_SOURCE_DIR) + "/tests/fixtures/headers/package.bin";
  HostSetOwnPath(path.c_str());
  SfxState state;
  InitSfxState(&state, nullptr);
  ASSERT_TRUE(OpenPayload(&state));
  EXPECT_STREQ(state.title, "\x83\x54\x83\x93\x83\x76\x83\x8b");  // サンプル
  EXPECT_STREQ(state.destination, "C:\\Program Files\\Vemo\\\x83\x5C\x83\x74\x83\x67");
  EXPECT_STREQ(state.shortcut_target, "docs\\readme.txt");
  EXPECT_EQ(state.start_menu_option, OPTION_ENABLED | OPTION_CREATE);
  EXPECT_EQ(state.desktop_option, OPTION_CREATE);
  EXPECT_EQ(state.send_to_option, 0);
  EXPECT_STREQ(state.open_after, "hello.txt");
  MemberHeader h;
  ASSERT_EQ(ReadMemberHeader(&state, &h), HEADER_READ);
  EXPECT_STREQ(h.name, "hello.txt");
  FreeSfxState(&state);
  HostSetOwnPath("");
}

TEST(Sjis, CharactersAndTheBackslashRule) {
  // Where a name's characters start, as code page 932 divides it: the text
  // with "|" before each character, and whether it ends in a real "\".
  struct Case {
    std::string text, divided;
    bool backslash;
  } cases[] = {
      {"a\\", "|a|\\", true},
      {"\x81\x40\x9F\xFC\xE0\x5C\xFC\x80", "|\x81\x40|\x9F\xFC|\xE0\x5C|\xFC\x80", false},  // lead and trail ends
      {"\x83\x5C\\", "|\x83\x5C|\\", true},           // "so", then a real "\"
      {"\x80\x5C", "|\x80|\x5C", true},                  // 0x80 is a single byte
      {"\xA0\x5C\xDF\x5C\xFD\x5C", "|\xA0|\x5C|\xDF|\x5C|\xFD|\x5C", true},
      {"\x81\x3F\x81\x7F\x81\xFD", "|\x81|\x3F|\x81|\x7F|\x81|\xFD", false},  // no trail byte
      {"\x81/", "|\x81|/", false},                       // a separator behind a lone lead byte
      {"\x81\x81\x5C", "|\x81\x81|\x5C", true},         // a lead byte as a trail byte
      {"\x81", "|\x81", false},                          // lead byte at the end
      {"", "", false},
  };
  for (const Case& c : cases) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(c.text.c_str());
    std::string divided, counted;
    for (size_t i = 0; i < c.text.size(); i += SjisCharLength(p + i)) divided += "|" + c.text.substr(i, SjisCharLength(p + i));
    EXPECT_EQ(divided, c.divided) << testing::PrintToString(c.text);
    // The counted form stops at its count even where the bytes go on.
    for (size_t i = 0; i < c.text.size(); i += SjisCharLength(p + i, c.text.size() - i))
      counted += "|" + c.text.substr(i, SjisCharLength(p + i, c.text.size() - i));
    EXPECT_EQ(counted, c.divided);
    if (!c.text.empty()) {
      EXPECT_EQ(SjisCharLength(p + c.text.size() - 1, 1), 1u);
    }
    EXPECT_EQ(SjisEndsInBackslash(c.text.c_str(), c.text.size()), c.backslash) << testing::PrintToString(c.text);
  }
}

TEST(AppendSeparator, Table) {
  struct Case {
    std::string in, out;
    bool ok;
  } cases[] = {
      {"", "", true},
      {"D:\\", "D:\\", true},  // a drive's root keeps its one "\"
      {"D:\\work", "D:\\work\\", true},
      {"\\", "\\", true},
      {"a\\", "a\\", true},
      {"x\x83\x5C", "x\x83\x5C\\", true},    // "\" as the second byte of a character
      {"\x83\x5C", "\x83\x5C\\", true},
      {"\x83\x5C\\", "\x83\x5C\\", true},    // a real "\" after the character
      {"x\xA0\\", "x\xA0\\", true},          // 0xA0 is no lead byte
      {"\x81\x81\\", "\x81\x81\\", true},      // the byte before the "\" ends a character
      {std::string(258, 'a'), std::string(258, 'a') + "\\", true},
      {std::string(259, 'a'), std::string(259, 'a'), false},
      {std::string(258, 'a') + "\\", std::string(258, 'a') + "\\", true},
      {std::string(257, 'a') + "\x83\x5C", std::string(257, 'a') + "\x83\x5C", false},
  };
  for (const Case& c : cases) {
    char buffer[PATH_BUFFER_SIZE + 8];
    memset(buffer, 0x7E, sizeof buffer);
    memcpy(buffer, c.in.c_str(), c.in.size() + 1);
    EXPECT_EQ(AppendSeparator(buffer), c.ok) << c.in;
    EXPECT_EQ(std::string(buffer), c.out) << c.in;
    EXPECT_EQ((uint8_t)buffer[PATH_BUFFER_SIZE], 0x7E);  // nothing written past the buffer
  }
}

}  // namespace

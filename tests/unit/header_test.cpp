// The member header reader: hand-built headers of every layout, the refused
// malformed ones, name conversion, MS-DOS times, and archives made by jlha.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "extract/header.h"
#include "tests/unit/reader_support.h"

using namespace reader_test;

namespace {

struct Fields {
  std::string method = "-lh5-";
  uint32_t packed = 1000;
  uint32_t unpacked = 0;
  uint32_t time = 0;
  uint8_t attribute = 0x20;
};

// Level 0/1 basic header: byte 0 is h as given, the name at offset 22, then
// rest. The caller makes rest fit h (h + 2 bytes in all).
Bytes Basic(uint8_t h, uint8_t level, const std::string& name, const Bytes& rest,
            const Fields& f = Fields()) {
  Bytes b = {h, 0};
  PutText(&b, f.method);
  Put32(&b, f.packed);
  Put32(&b, f.unpacked);
  Put32(&b, f.time);
  b.push_back(f.attribute);
  b.push_back(level);
  b.push_back((uint8_t)name.size());
  PutText(&b, name);
  return Cat(b, rest);
}

typedef std::vector<std::pair<uint8_t, Bytes>> Exts;

// An extended-header chain: the first size, then each header (type, data,
// next size), the last next size 0.
Bytes Chain(const Exts& exts) {
  Bytes b;
  if (exts.empty()) {
    Put16(&b, 0);
    return b;
  }
  Put16(&b, (uint32_t)exts[0].second.size() + 3);
  for (size_t i = 0; i < exts.size(); ++i) {
    b.push_back(exts[i].first);
    b.insert(b.end(), exts[i].second.begin(), exts[i].second.end());
    Put16(&b, i + 1 < exts.size() ? (uint32_t)exts[i + 1].second.size() + 3 : 0);
  }
  return b;
}

Bytes TextBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A level-2 header whose length byte counts everything, chain included.
Bytes Level2(const Bytes& chain, uint8_t os, uint16_t crc = 0x1234, const Fields& f = Fields()) {
  Bytes b = {(uint8_t)(24 + chain.size()), 0};
  PutText(&b, f.method);
  Put32(&b, f.packed);
  Put32(&b, f.unpacked);
  Put32(&b, f.time);
  b.push_back(f.attribute);
  b.push_back(2);
  Put16(&b, crc);
  b.push_back(os);
  return Cat(b, chain);
}

// Level 1 with CRC and OS id (h - n = 25) and the given chain behind it.
Bytes Level1(const std::string& name, const Bytes& chain, uint8_t os = 'M', const Fields& f = Fields()) {
  Bytes rest;
  Put16(&rest, 0xBEEF);
  rest.push_back(os);
  return Cat(Basic((uint8_t)(25 + name.size()), 1, name, rest, f), chain);
}

struct Parsed {
  int32_t result;
  MemberHeader header;
  long pos;
};

Parsed Parse(const Bytes& bytes) {
  MemStream stream(bytes);
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = stream.get();
  Parsed p;
  p.result = ReadStubMemberHeader(&state, &p.header);
  p.pos = stream.pos();
  return p;
}

class HeaderTest : public ::testing::Test {
 protected:
  TzGuard utc{"UTC0"};
  CaptureGuard capture;
};

TEST_F(HeaderTest, Level0WithCrcOnly) {
  Fields f;
  f.packed = 7;
  Bytes crc;
  Put16(&crc, 0xA1B2);
  Bytes bytes = Basic(22 + 5, 0, "a.txt", crc, f);  // h - n = 22
  bytes.push_back(0x99);                             // the member's data
  Parsed p = Parse(bytes);
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_EQ(p.header.has_crc, 1);
  EXPECT_EQ(p.header.crc, 0xA1B2);
  EXPECT_EQ(p.header.os_id, 0);
  EXPECT_STREQ(p.header.name, "a.txt");
  EXPECT_EQ(p.header.packed_size, 7u);
  EXPECT_EQ(p.pos, 22 + 5 + 2);  // h + 2
  EXPECT_TRUE(capture.captured.texts.empty());
}

TEST_F(HeaderTest, Level0WithoutCrc) {
  Parsed p = Parse(Basic(20 + 5, 0, "a.txt", {}));  // h - n = 20
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_EQ(p.header.has_crc, 0);
  EXPECT_EQ(p.header.os_id, 0);
  EXPECT_STREQ(p.header.name, "a.txt");
  EXPECT_EQ(p.pos, 20 + 5 + 2);
}

TEST_F(HeaderTest, Level0WithOsIdAndExtraBytes) {
  Bytes rest = {0x34, 0x12, 'U', 0xAA, 0xBB};  // CRC, OS id, bytes not interpreted
  Parsed p = Parse(Basic(25 + 3, 0, "abc", rest));
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_EQ(p.header.crc, 0x1234);
  EXPECT_EQ(p.header.os_id, 'U');
  EXPECT_EQ(p.pos, 25 + 3 + 2);
}

TEST_F(HeaderTest, UnknownLayoutsShowTheMessage) {
  struct Case {
    uint8_t level;
    int d;
  } cases[] = {{0, 21}, {0, 23}, {1, 21}, {1, 23}, {0, 19}, {5, 23}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << (int)c.level << " d " << c.d);
    capture.captured.texts.clear();
    capture.captured.captions.clear();
    std::string name = "abcd";
    Bytes rest(c.d + 2 > 22 ? c.d + 2 - 22 : 0, 0);
    Parsed p = Parse(Basic((uint8_t)(c.d + 4), c.level, name, rest));
    EXPECT_EQ(p.result, HEADER_UNKNOWN);
    ASSERT_EQ(capture.captured.texts.size(), 1u);
    EXPECT_EQ(capture.captured.texts[0], "Unknown header");
    EXPECT_EQ(capture.captured.captions[0], DEFAULT_TITLE);
  }
}

TEST_F(HeaderTest, EndOfArchive) {
  EXPECT_EQ(Parse({}).result, HEADER_END);
  EXPECT_EQ(Parse({0}).result, HEADER_END);
  EXPECT_EQ(Parse({0, 0x35, 0}).result, HEADER_END);
}

TEST_F(HeaderTest, Level1DirectoryHeaderCorrectsPackedSize) {
  Fields f;
  f.packed = 100;
  Bytes dir = TextBytes("docs");
  dir.push_back(0xFF);
  Bytes bytes = Level1("a.txt", Chain({{0x02, dir}}), 'M', f);
  Parsed p = Parse(bytes);
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_STREQ(p.header.name, "docs/a.txt");
  EXPECT_EQ(p.header.packed_size, 92u);
  const long basic = 25 + 5 + 2;
  EXPECT_EQ(p.pos, basic + 8);
}

TEST_F(HeaderTest, Level1WithoutExtendedHeaders) {
  Fields f;
  f.packed = 100;
  Parsed p = Parse(Level1("a.txt", Chain({}), 'M', f));
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_EQ(p.header.packed_size, 100u);
  EXPECT_EQ(p.pos, 25 + 5 + 2);
}

TEST_F(HeaderTest, Level1LongNameAndChainOfSeveral) {
  Fields f;
  f.packed = 1000;
  std::string name(200, 'n');
  Exts exts = {{0x00, Bytes(2, 0)}, {0x01, TextBytes("file.bin")}, {0x7E, Bytes(60, 7)}};
  Parsed p = Parse(Level1(name, Chain(exts), 'M', f));
  ASSERT_EQ(p.result, HEADER_READ);
  const uint32_t e = 5 + 11 + 63;
  EXPECT_EQ(p.header.packed_size, 1000u - e);
  EXPECT_STREQ(p.header.name, "file.bin");  // the extended name replaces the basic one
  EXPECT_EQ(p.pos, 225 + 2 + (long)e);
}

TEST_F(HeaderTest, OtherLevelsReadLikeLevel1) {
  Parsed p = Parse(Basic(25 + 1, 7, "x", Cat({0, 0, 'M'}, Chain({{0x01, TextBytes("long.txt")}}))));
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_EQ(p.header.level, 7);
  EXPECT_STREQ(p.header.name, "long.txt");
}

TEST_F(HeaderTest, LaterExtendedHeadersWin) {
  Exts exts = {{0x01, TextBytes("one")}, {0x02, TextBytes("d1")}, {0x01, TextBytes("two")},
               {0x02, TextBytes("d2\\")}};
  Parsed p = Parse(Level2(Chain(exts), 'M'));
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_STREQ(p.header.name, "d2/two");
}

TEST_F(HeaderTest, AttributeTakenOnlyForDosLikeSystems) {
  struct Case {
    uint8_t os;
    uint8_t expected;
  } cases[] = {{'M', 0x21}, {'H', 0x21}, {0, 0x21}, {'U', 0x20}, {'J', 0x20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "os " << (int)c.os);
    Exts exts = {{0x40, {0x21, 0x00}}, {0x01, TextBytes("after.txt")}};
    Parsed p = Parse(Level2(Chain(exts), c.os));
    ASSERT_EQ(p.result, HEADER_READ);
    EXPECT_EQ(p.header.attribute, c.expected);
    EXPECT_EQ(p.header.os_id, c.os);
    EXPECT_STREQ(p.header.name, "after.txt");  // the next header is still found
  }
}

TEST_F(HeaderTest, AttributeHeadersOfOtherSizesKeepTheChain) {
  // An attribute header moves the read position by its own size: one
  // without data bytes takes nothing, one with three takes the first.
  struct Case {
    Bytes data;
    uint8_t expected;
  } cases[] = {{{}, 0x20}, {{0x01}, 0x01}, {{0x02, 0x00, 0x7E}, 0x02}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.size());
    Parsed p = Parse(Level2(Chain({{0x40, c.data}, {0x01, TextBytes("next.txt")}}), 'M'));
    ASSERT_EQ(p.result, HEADER_READ);
    EXPECT_EQ(p.header.attribute, c.expected);
    EXPECT_STREQ(p.header.name, "next.txt");
  }
}

TEST_F(HeaderTest, Level2StreamStandsOnData) {
  Bytes bytes = Level2(Chain({{0x01, TextBytes("x.bin")}}), 'U');
  const size_t h = bytes.size();
  bytes.push_back(0x5A);
  Parsed p = Parse(bytes);
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_EQ(p.pos, (long)h);
}

TEST_F(HeaderTest, Level2WithoutFileNameHasEmptyName) {
  Parsed p = Parse(Level2(Chain({{0x00, {1, 2}}}), 'M'));
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_STREQ(p.header.name, "");
}

TEST_F(HeaderTest, MalformedHeadersAreRefusedQuietly) {
  Bytes long_name_dir(60, 'd');
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"h = 1", {1, 0, 0, 0}},
      {"h = 20", Cat({20}, Bytes(40, 0))},
      {"level 2 with h = 25", Cat(Cat({25, 0}, Bytes(18, 0)), Cat({2}, Bytes(10, 0)))},
      {"level 2 with byte 1 set", [] {
         Bytes b = Level2(Chain({}), 'M');
         b[1] = 1;
         b.resize(300, 0);
         return b;
       }()},
      {"level 2 size 1", Level2({1, 0, 0, 0}, 'M')},
      {"level 2 size 2", Level2({2, 0, 0, 0}, 'M')},
      {"level 1 size 1", Cat(Level1("a", {1, 0}), Bytes(8, 0))},
      {"level 1 size 2", Cat(Level1("a", {2, 0}), Bytes(8, 0))},
      {"level 2 chain past h", [] {
         Bytes b = Level2(Chain({{0x01, TextBytes("abc")}}), 'M');
         b[24] = 7;  // claims 7 bytes where 6 remain
         b.resize(100, 0);
         return b;
       }()},
      {"level 1 chain past the buffer", Cat(Level1("a", {0x10, 0x10}), Bytes(5000, 0))},
      {"directory plus name of 260 bytes", Level1(std::string(200, 'n'), Chain({{0x02, long_name_dir}}))},
      {"month 13", [] {
         Fields f;
         f.time = (uint32_t)((20u << 25) | (13u << 21) | (1u << 16));
         Bytes b = Basic(22 + 1, 0, "m", {0, 0}, f);
         return b;
       }()},
      {"packed size below the extended headers", [] {
         Fields f;
         f.packed = 4;
         return Level1("a", Chain({{0x01, TextBytes("name")}}), 'M', f);
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Parse(c.bytes).result, HEADER_DAMAGED);
  }
  EXPECT_TRUE(capture.captured.texts.empty());
}

TEST_F(HeaderTest, NameOf259BytesFits) {
  // 58 bytes of folder and its separator, stored or added by the reader.
  Bytes dir(58, 'd');
  for (const Bytes& stored : {Cat(dir, {0xFF}), dir}) {
    Parsed p = Parse(Level1(std::string(200, 'n'), Chain({{0x02, stored}})));
    ASSERT_EQ(p.result, HEADER_READ);
    EXPECT_EQ(strlen(p.header.name), 259u);
    EXPECT_EQ(p.header.name[58], '/');
  }
  // One byte more does not fit, also when it is the separator the reader adds.
  Bytes longer(59, 'd');
  for (const Bytes& stored : {Cat(longer, {0xFF}), longer})
    EXPECT_EQ(Parse(Level1(std::string(200, 'n'), Chain({{0x02, stored}}))).result, HEADER_DAMAGED);
}

TEST_F(HeaderTest, CutShortAnywhereIsDamaged) {
  Fields f;
  f.packed = 40;
  Bytes whole = Level1("name.txt", Chain({{0x00, {1, 2}}, {0x02, TextBytes("dir")}}), 'M', f);
  for (size_t n = 1; n < whole.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(Parse(Bytes(whole.begin(), whole.begin() + n)).result, HEADER_DAMAGED);
  }
  EXPECT_EQ(Parse(whole).result, HEADER_READ);
  Bytes level2 = Level2(Chain({{0x01, TextBytes("x")}}), 'M');
  for (size_t n = 1; n < level2.size(); ++n)
    EXPECT_EQ(Parse(Bytes(level2.begin(), level2.begin() + n)).result, HEADER_DAMAGED) << n;
}

TEST_F(HeaderTest, DirectoryNameConversion) {
  struct Case {
    Bytes dir;
    const char* file;
    const char* expected;
  } cases[] = {
      {TextBytes("a\\b/c\xFF"), "f", "a/b/c/f"},
      // 表 is 0x95 0x5C: its second byte stays, the 0xFF after it becomes "/".
      {{0x95, 0x5C, 0xFF}, "f", "\x95\x5C/f"},
      // 0xFF never ends a character: a separator even after a lead byte.
      {{'x', 0x83, 0xFF, '\\'}, "f", "x\x83//f"},
      // 0x80 is a single byte: the "\" after it separates.
      {{0x80, '\\', 'd'}, "f", "\x80/d/f"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(Level2(Chain({{0x02, c.dir}, {0x01, TextBytes(c.file)}}), 'M'));
    ASSERT_EQ(p.result, HEADER_READ);
    EXPECT_STREQ(p.header.name, c.expected);
  }
}

TEST_F(HeaderTest, BasicNameBackslashes) {
  // 表\ソ: lead 0x95 with second byte 0x5C, a real "\", 0x83 0x5C.
  Parsed p = Parse(Basic(22 + 5, 0, "\x95\x5C\\\x83\x5C", {0, 0}));
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_STREQ(p.header.name, "\x95\x5C/\x83\x5C");
}

TEST(ConvertBackslashes, Table) {
  struct Case {
    std::string in;
    uint32_t count;
    std::string expected;
  } cases[] = {
      {"a\\b\\c", 5, "a/b/c"},
      {"\x83\x5C\\", 3, "\x83\x5C/"},  // the pair is one character, the lone "\" a separator
      {"\x80\x5C", 2, "\x80/"},        // 0x80 is a single byte
      {"\xA0\\", 2, "\xA0/"},          // 0xA0 does not
      {"\xFD\\", 2, "\xFD/"},
      {"\x83\\", 1, "\x83\\"},         // a lead byte as the last counted byte...
      {"a\x83", 2, "a\x83"},           // ...is a single byte
      {"\\\\", 1, "/\\"},              // nothing beyond the count changes
      {"\x83\\\\", 3, "\x83\\/"},
  };
  for (const Case& c : cases) {
    std::string s = c.in;
    ConvertBackslashes(&s[0], c.count);
    EXPECT_EQ(s, c.expected) << testing::PrintToString(c.in);
  }
}

TEST(DosTimeToUnix, Utc) {
  TzGuard zone("UTC0");
  EXPECT_EQ(DosTimeToUnix(0), 0u);
  EXPECT_EQ(DosTimeToUnix(DosTime(2000, 3, 1, 0, 0, 0)), 951868800u);
  EXPECT_EQ(DosTimeToUnix(DosTime(2000, 2, 29, 0, 0, 0)), 951782400u);
  EXPECT_EQ(DosTimeToUnix(DosTime(1980, 1, 1, 0, 0, 0)), 315532800u);
  EXPECT_EQ(DosTimeToUnix(DosTime(2020, 5, 17, 12, 34, 56)), 1589718896u);
  EXPECT_EQ(DosTimeToUnix(DosTime(2021, 12, 31, 23, 59, 58)), 1640995198u);
  EXPECT_EQ(DosTimeToUnix(DosTime(2023, 3, 1, 0, 0, 0)), 1677628800u);  // no leap day
}

TEST(DosTimeToUnix, NineHoursEast) {
  uint32_t t = DosTime(2020, 5, 17, 12, 34, 56);
  uint32_t utc;
  {
    TzGuard zone("UTC0");
    utc = DosTimeToUnix(t);
  }
  TzGuard zone("JST-9");
  EXPECT_EQ(DosTimeToUnix(t), utc - 32400);
  Parsed p = Parse(Basic(22 + 1, 0, "t", {0, 0}, [&] {
    Fields f;
    f.time = t;
    return f;
  }()));
  ASSERT_EQ(p.result, HEADER_READ);
  EXPECT_EQ(p.header.mtime, utc - 32400);
}

// Archives in the layouts of other systems (tests/fixtures/crafted), as
// lhasa lists them: an OS-9 level-2 header 2 bytes longer than its size
// field, an Amiga folder without a final separator, Unix times.
TEST_F(HeaderTest, ArchivesOfOtherSystems) {
  struct Case {
    const char* file;
    std::vector<std::pair<std::string, uint32_t>> members;  // name, mtime
  } cases[] = {
      {"os9-level2.lzh", {{"os9/first.txt", 1589718896}, {"second.txt", 1609556646}}},
      {"amiga-dirs.lzh",
       {{"subdir/subdir2/hello.txt", 1589718896},
        {"MainDir/02_EmptyDir/", 1589718896},
        {"MainDir/after.txt", 1589718896}}},
      // The Unix time wins over a DOS time an hour later and over the level-2 time.
      {"unix-links.lzh",
       {{"target.txt", 1589718896}, {"link|target.txt", 1589718896}, {"two.txt", 1609556646}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Bytes bytes = ReadFixture(std::string("crafted/") + c.file);
    MemStream stream(bytes);
    SfxState state;
    InitSfxState(&state, nullptr);
    state.archive = stream.get();
    MemberHeader h;
    for (const auto& m : c.members) {
      ASSERT_EQ(ReadMemberHeader(&state, &h), HEADER_READ);
      EXPECT_EQ(h.name, m.first);
      EXPECT_EQ(h.mtime, m.second);
      ASSERT_EQ(fseek(state.archive, (long)h.packed_size, SEEK_CUR), 0);
    }
    EXPECT_EQ(ReadMemberHeader(&state, &h), HEADER_END);
    EXPECT_EQ(stream.pos(), (long)bytes.size());
  }
}

TEST_F(HeaderTest, ShortLevel2SizeOnlyAsOs9WritesIt) {
  struct Case {
    uint8_t os;
    int short_by;      // subtracted from the size field
    uint16_t after;    // the size that ends the chain
    int32_t expected;
  } cases[] = {
      {'K', 2, 0, HEADER_READ},   {'K', 0, 0, HEADER_READ},    {'M', 2, 0, HEADER_DAMAGED},
      {'K', 1, 0, HEADER_DAMAGED}, {'K', 3, 0, HEADER_DAMAGED}, {'K', 2, 5, HEADER_DAMAGED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.os << " " << c.short_by << " " << c.after);
    Bytes bytes = Level2(Chain({{0x01, TextBytes("name.txt")}}), c.os);
    bytes[0] = (uint8_t)(bytes[0] - c.short_by);
    bytes[bytes.size() - 2] = (uint8_t)c.after;
    bytes.insert(bytes.end(), {'d', 'a', 't', 'a'});
    Parsed p = Parse(bytes);
    EXPECT_EQ(p.result, c.expected);
    if (c.expected == HEADER_READ) {
      EXPECT_STREQ(p.header.name, "name.txt");
      EXPECT_EQ(p.pos, (long)bytes.size() - 4);  // on the data, wherever the size said
    }
  }
}

TEST_F(HeaderTest, Level2BelowItsFixedFieldsIsRefused) {
  // h = 25 would leave byte 25, the high byte of the first extended-header
  // size, unread: it must not be taken from an earlier header's buffer.
  Bytes first = Level2(Chain({}), 'M');
  Bytes second = first;
  second[0] = 25;
  second.resize(25);
  MemStream stream(Cat(first, second));
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = stream.get();
  MemberHeader h;
  ASSERT_EQ(ReadMemberHeader(&state, &h), HEADER_READ);
  EXPECT_EQ(ReadMemberHeader(&state, &h), HEADER_DAMAGED);
}

// The archives jlha made (tests/fixtures/make-fixtures.sh); sizes and CRCs
// as lhasa lists them.
struct Expected {
  const char* method;
  uint32_t packed, unpacked;
  uint16_t crc;
  uint32_t mtime;
  const char* name;
};
const Expected TREE[] = {
    {"-lh0-", 13, 13, 0xe575, 1589718896, "hello.txt"},
    {"-lh0-", 25, 25, 0xa81b, 1589718896, "\x93\xfa\x96\x7b\x8c\xea.txt"},
    {"-lhd-", 0, 0, 0x0000, 1589718896, "docs/"},
    {"-lh5-", 502, 6892, 0xba2d, 1589718896, "docs/readme.txt"},
    {"-lhd-", 0, 0, 0x0000, 1609556646, "\x95\x5C/"},
    {"-lh0-", 5, 5, 0xc75f, 1609556646, "\x95\x5C/\x83\x5C\x83\x74\x83\x67.txt"},
};

TEST_F(HeaderTest, JlhaArchivesOfEveryLevel) {
  for (int level = 0; level <= 2; ++level) {
    SCOPED_TRACE(level);
    Bytes bytes = ReadFixture("headers/level" + std::to_string(level) + ".lzh");
    ASSERT_FALSE(bytes.empty());
    MemStream stream(bytes);
    SfxState state;
    InitSfxState(&state, nullptr);
    state.archive = stream.get();
    for (const Expected& e : TREE) {
      SCOPED_TRACE(e.name);
      MemberHeader h;
      ASSERT_EQ(ReadMemberHeader(&state, &h), HEADER_READ);
      EXPECT_EQ(std::string(h.method, 5), e.method);
      EXPECT_EQ(h.level, level);
      EXPECT_EQ(h.packed_size, e.packed);
      EXPECT_EQ(h.unpacked_size, e.unpacked);
      EXPECT_EQ(h.has_crc, 1);
      EXPECT_EQ(h.crc, e.crc);
      EXPECT_EQ(h.mtime, e.mtime);
      EXPECT_STREQ(h.name, e.name);
      ASSERT_EQ(fseek(state.archive, (long)h.packed_size, SEEK_CUR), 0);
    }
    MemberHeader h;
    EXPECT_EQ(ReadMemberHeader(&state, &h), HEADER_END);
    EXPECT_EQ(stream.pos(), (long)bytes.size());  // the closing 0 byte was the last
  }
}

}  // namespace

// ---- the host's wide reader against the stub's -------------------------------

namespace {

// Reads the archive's members with one form of the reader: its results,
// the headers read and where each member's data lay.
struct ReadOut {
  std::vector<int32_t> results;
  std::vector<MemberHeader> headers;
};
ReadOut ReadArchive(const Bytes& bytes, bool wide) {
  MemStream stream(bytes);
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = stream.get();
  ReadOut all;
  for (;;) {
    MemberHeader h;
    int32_t r = wide ? ReadMemberHeader(&state, &h) : ReadStubMemberHeader(&state, &h);
    all.results.push_back(r);
    if (r != HEADER_READ || fseek(state.archive, (long)h.packed_size, SEEK_CUR) != 0) break;
    all.headers.push_back(h);
  }
  return all;
}

TEST(WideHeader, WhatOtherSystemsWriteAndTheStubLeavesAlone) {
  TzGuard utc{"UTC0"};
  CaptureGuard capture;
  ReadOut level3 = ReadArchive(ReadFixture("crafted/level3.lzh"), true);
  ASSERT_EQ(level3.results, (std::vector<int32_t>{HEADER_READ, HEADER_READ, HEADER_END}));
  EXPECT_STREQ(level3.headers[0].name, "docs/hello.txt");
  EXPECT_EQ(level3.headers[0].level, 3);
  EXPECT_EQ(level3.headers[0].unix_mode, 0100640);
  EXPECT_EQ(level3.headers[0].uid, 1000);
  EXPECT_EQ(level3.headers[1].mtime, 1609556646u);
  // The stub reads level 3 as level 1, which does not fit it.
  EXPECT_NE(ReadArchive(ReadFixture("crafted/level3.lzh"), false).results[0], HEADER_READ);

  ReadOut longer = ReadArchive(ReadFixture("crafted/long-headers.lzh"), true);
  ASSERT_EQ(longer.results.size(), 4u);
  EXPECT_EQ(strlen(longer.headers[0].name), 250u);
  EXPECT_EQ(strlen(longer.headers[1].name), 850u);
  EXPECT_STREQ(longer.headers[2].name, "short.txt");
  EXPECT_EQ(ReadArchive(ReadFixture("crafted/long-headers.lzh"), false).results[0], HEADER_DAMAGED);

  // 64-bit sizes over the 32-bit fields, and the next member behind the
  // packed size they give.
  ReadOut sizes = ReadArchive(ReadFixture("crafted/sizes64.lzh"), true);
  ASSERT_EQ(sizes.headers.size(), 2u);
  EXPECT_EQ(sizes.headers[0].packed_size, 12u);
  EXPECT_EQ(sizes.headers[0].unpacked_size, 10u);
  EXPECT_STREQ(sizes.headers[1].name, "next.txt");
  EXPECT_EQ(ReadArchive(ReadFixture("crafted/sizes64.lzh"), false).headers[0].packed_size, 5u);

  ReadOut unix0 = ReadArchive(ReadFixture("crafted/unix-level0.lzh"), true);
  ASSERT_EQ(unix0.headers.size(), 1u);
  EXPECT_EQ(unix0.headers[0].mtime, 1609556646u);
  EXPECT_EQ(unix0.headers[0].unix_mode, 0100750);
  EXPECT_EQ(unix0.headers[0].uid, 1234);
  EXPECT_EQ(unix0.headers[0].gid, 5678);
  EXPECT_EQ(ReadArchive(ReadFixture("crafted/unix-level0.lzh"), false).headers[0].mtime, 1589718896u);

  ReadOut windows = ReadArchive(ReadFixture("crafted/windows-times.lzh"), true);
  ASSERT_EQ(windows.headers.size(), 1u);
  EXPECT_EQ(windows.headers[0].mtime, 1293840000u);  // modified, not created or accessed
  EXPECT_EQ(ReadArchive(ReadFixture("crafted/windows-times.lzh"), false).headers[0].mtime, 1589718896u);

  EXPECT_EQ(FindMemberMethod("-pm0-"), METHOD_LH0);
  EXPECT_EQ(FindMemberMethod("-pm1-"), -1);
  EXPECT_EQ(FindMemberMethod("-lhx-"), METHOD_LHX);
}

TEST(WideHeader, HeadersThatDoNotMatchTheirChecksumOrCrc) {
  for (const char* file : {"crafted/refused/bad-checksum.lzh", "crafted/refused/bad-crc.lzh"}) {
    SCOPED_TRACE(file);
    Bytes bytes = ReadFixture(file);
    EXPECT_EQ(ReadArchive(bytes, true).results, (std::vector<int32_t>{HEADER_CHECKSUM}));
    // The stub does not look at them.
    EXPECT_EQ(ReadArchive(bytes, false).results, (std::vector<int32_t>{HEADER_READ, HEADER_READ, HEADER_END}));
  }
}

TEST(WideHeader, LocalTimesByTheRulesOfTheirOwnDate) {
  if (access("/usr/share/zoneinfo/America/New_York", R_OK) != 0) GTEST_SKIP() << "no time-zone data";
  TzGuard zone{"America/New_York"};
  Bytes bytes = ReadFixture("crafted/local-times.lzh");
  // 12:00 in July is daylight saving time (UTC-4), in January standard (UTC-5).
  ReadOut wide = ReadArchive(bytes, true);
  ASSERT_EQ(wide.headers.size(), 2u);
  EXPECT_EQ(wide.headers[0].mtime, 1593619200u);  // 2020-07-01T16:00:00Z
  EXPECT_EQ(wide.headers[1].mtime, 1579107600u);  // 2020-01-15T17:00:00Z
  // The stub adds the standard offset to both.
  ReadOut stub = ReadArchive(bytes, false);
  EXPECT_EQ(stub.headers[0].mtime, 1593622800u);
  EXPECT_EQ(stub.headers[1].mtime, 1579107600u);
}

}  // namespace

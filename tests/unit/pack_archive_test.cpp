// Archives and packages written from real folders and read back with the
// core's header reader and decoder; names, headers and the refusals.
#include <gtest/gtest.h>

#include <map>

#include "pack/package.h"
#include "pack_support.h"

using namespace pack_test;

namespace {

// A folder with the awkward cases: empty and one-byte files, the dictionary
// sizes exactly, runs, random data, a deep chain of folders, empty folders
// and Japanese names.
std::map<std::string, Bytes> MakeTree(const TempDir& dir) {
  std::map<std::string, Bytes> files = {
      {"tree/empty.txt", {}},
      {"tree/one.bin", {0x5A}},
      {"tree/exact8192.txt", Words(8192, 1)},
      {"tree/exact65536.txt", Words(65536, 2)},
      {"tree/run.bin", Bytes(300000, 'z')},
      {"tree/random.bin", Random(50000, 3)},
      {"tree/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e/\xe8\xa1\xa8\xe7\xa4\xba.txt", Words(5000, 4)},
      {"tree/a/b/c/d/e/f/g/h/deep.txt", Words(3000, 5)},
  };
  for (const char* d : {"tree", "tree/a", "tree/a/b", "tree/a/b/c", "tree/a/b/c/d", "tree/a/b/c/d/e",
                        "tree/a/b/c/d/e/f", "tree/a/b/c/d/e/f/g", "tree/a/b/c/d/e/f/g/h",
                        "tree/empty-folder", "tree/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"})
    mkdir((dir / d).c_str(), 0755);
  for (const auto& f : files) WriteFile(dir / f.first, f.second);
  return files;
}

// A plain archive's rules, links followed; the warnings are dropped.
bool Collect(const std::string& base_dir, const std::vector<std::string>& paths, const std::string& skip,
             std::vector<MemberSource>* members, std::string* error) {
  CollectOptions options;
  options.skip = skip;
  options.dereference = true;
  std::vector<std::string> warnings;
  return CollectMembers(base_dir, paths, options, members, &warnings, error);
}

std::string Sjis(const std::string& utf8) {
  StoredName n;
  std::string error;
  EXPECT_TRUE(MakeStoredName(utf8, false, DOS_ARCHIVE, &n, &error)) << error;
  return n.path;
}

TEST(Archive, EveryMethodReadsBackThroughTheCore) {
  TempDir dir;
  std::map<std::string, Bytes> files = MakeTree(dir);
  for (const char* method : {"lh0", "lh5", "lh6", "lh7"}) {
    SCOPED_TRACE(method);
    PackJob job;
    job.output = dir / (std::string("out-") + method + ".lzh");
    job.plain = true;
    ASSERT_TRUE(ParseMethod(method, &job.method));
    std::string error;
    ASSERT_TRUE(Collect(dir.path(), {"tree"}, "", &job.members, &error)) << error;
    ASSERT_TRUE(WriteOutput(job, &error)) << error;

    std::vector<ReadMember> read;
    ASSERT_TRUE(ReadArchiveWithCore(job.output, 0, &read));
    std::map<std::string, const ReadMember*> by_name;
    for (const ReadMember& m : read) by_name[m.header.name] = &m;
    ASSERT_EQ(by_name.size(), read.size()) << "a name occurs twice";
    // Files come back byte for byte, with the CRC their header carries.
    for (const auto& f : files) {
      auto it = by_name.find(Sjis(f.first));
      ASSERT_NE(it, by_name.end()) << f.first;
      const ReadMember& m = *it->second;
      EXPECT_TRUE(m.data == f.second) << f.first;
      EXPECT_EQ(m.header.crc, m.crc) << f.first;
      EXPECT_EQ(m.header.unpacked_size, f.second.size());
      EXPECT_EQ(m.header.level, 2);
      // A plain archive keeps the Unix meaning: mode and owner.
      EXPECT_EQ(m.header.os_id, 'U');
      EXPECT_EQ(m.header.attribute, DOS_ARCHIVE);
      std::string expect = std::string(method) == "lh0" || f.first == "tree/random.bin" ||
                                   f.second.size() < 2
                               ? "-lh0-"
                               : "-" + std::string(method) + "-";
      EXPECT_EQ(std::string(m.header.method, 5), expect) << f.first;
      struct stat st;
      stat((dir / f.first).c_str(), &st);
      EXPECT_EQ(m.header.mtime, (uint32_t)st.st_mtime);
      EXPECT_EQ(m.header.unix_mode, (uint16_t)st.st_mode) << f.first;
      EXPECT_EQ(m.header.uid, (uint16_t)st.st_uid);
      EXPECT_TRUE(m.header.has_unix_ids);
    }
    // Every folder, the empty ones too, is a directory member ending in "/".
    for (const char* d : {"tree/", "tree/a/b/c/d/e/f/g/h/", "tree/empty-folder/"}) {
      auto it = by_name.find(d);
      ASSERT_NE(it, by_name.end()) << d;
      EXPECT_EQ(std::string(it->second->header.method, 5), "-lhd-");
      EXPECT_EQ(it->second->header.unix_mode & 0170000, 040000);  // a directory by its Unix mode
      EXPECT_EQ(it->second->header.packed_size, 0u);
    }
    EXPECT_EQ(read.size(), files.size() + 11);
    // Sorted: a folder's member comes before what it holds.
    EXPECT_STREQ(read[0].header.name, "tree/");
  }
}

TEST(Archive, PackageHoldsStubThenBlockThenArchive) {
  TempDir dir;
  WriteFile(dir / "a.txt", Words(20000, 9));
  PackJob job;
  job.output = dir / "setup.exe";
  job.stub.assign(PAYLOAD_OFFSET, 0xCC);
  job.stub[0] = 'M';
  job.stub[1] = 'Z';
  job.settings.title = "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88";  // テスト
  job.settings.destination = "Vemo/Tools";
  job.settings.open_after = "a.txt";
  std::string error;
  ASSERT_TRUE(Collect(dir.path(), {"a.txt"}, "", &job.members, &error)) << error;
  ASSERT_TRUE(WriteOutput(job, &error)) << error;
  Bytes file = ReadFile(job.output);
  ASSERT_GT(file.size(), PAYLOAD_OFFSET);
  EXPECT_TRUE(std::equal(job.stub.begin(), job.stub.end(), file.begin()));
  Bytes block(file.begin() + PAYLOAD_OFFSET, file.begin() + PAYLOAD_OFFSET + 30);
  Bytes expect = {1, 6, 0x83, 0x65, 0x83, 0x58, 0x83, 0x67, 0, 10, 'V', 'e', 'm', 'o', '\\', 'T', 'o', 'o', 'l',
                  's', 0, 0, 0, 0, 5, 'a', '.', 't', 'x', 't'};
  EXPECT_EQ(block, expect);
  std::vector<ReadMember> read;
  ASSERT_TRUE(ReadArchiveWithCore(job.output, PAYLOAD_OFFSET + 30, &read));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_STREQ(read[0].header.name, "a.txt");
  EXPECT_TRUE(read[0].data == Words(20000, 9));
}

TEST(Archive, HeaderCrcCoversTheWholeHeader) {
  StoredName name;
  std::string error;
  ASSERT_TRUE(MakeStoredName("docs/sub/readme.txt", false, DOS_READ_ONLY | DOS_ARCHIVE, &name, &error));
  Bytes h = BuildLevel2Header("-lh5-", 1234, 5678, 0x5F000000, DOS_READ_ONLY | DOS_ARCHIVE, 0xBEEF, name);
  ASSERT_LT(h.size(), 256u);
  EXPECT_EQ(h[0], h.size());
  EXPECT_EQ(h[1], 0);
  // Walk the chain, find the CRC field, and check it with the field zeroed.
  size_t at = 24;
  size_t crc_at = 0;
  std::map<uint8_t, std::string> ext;
  while (true) {
    uint32_t size = h[at] | (h[at + 1] << 8);
    if (size == 0) break;
    at += 2;
    ext[h[at]] = std::string(h.begin() + at + 1, h.begin() + at + size - 2);
    if (h[at] == EXT_HEADER_CRC) crc_at = at + 1;
    at += size - 2;
  }
  EXPECT_EQ(at + 2, h.size());
  ASSERT_NE(crc_at, 0u);
  uint16_t stored = (uint16_t)(h[crc_at] | (h[crc_at + 1] << 8));
  h[crc_at] = h[crc_at + 1] = 0;
  EXPECT_EQ(stored, DataCrc16(h.data(), h.size()));
  EXPECT_EQ(ext[EXT_FILE_NAME], "readme.txt");
  EXPECT_EQ(ext[EXT_DIRECTORY], "docs\xff" "sub\xff");
  EXPECT_EQ(ext[EXT_ATTRIBUTE], std::string("\x21\x00", 2));
  EXPECT_EQ(h[19], DOS_ARCHIVE);
}

TEST(Names, RefusedWithTheirName) {
  struct Case {
    std::string name;
    bool directory;
    const char* message_part;
  };
  std::string long_ascii(PATH_MAX_BYTES + 1, 'n');
  // 3 bytes of UTF-8 per kana, 2 in Shift_JIS: 130 of them exceed 259 bytes.
  std::string long_kana;
  for (int i = 0; i < 130; ++i) long_kana += "\xe3\x81\x82";
  Case cases[] = {
      {"smile\xf0\x9f\x98\x80.txt", false, "Shift_JIS"},
      {"\xe2\x82\xac\xe3\x81\x82/x\xe2\x84\xa2", false, "Shift_JIS"},  // ™ has no cp932 form
      {long_ascii, false, "259"},
      {long_kana, false, "259"},
      {std::string(200, 'd') + "/" + std::string(30, 'f'), false, "header"},
      {std::string(230, 'd'), true, "header"},
      {"back\\slash.txt", false, "Windows"},
      {"colon:.txt", false, "Windows"},
      {"yen\xc2\xa5.txt", false, "separator"},  // ¥ becomes 0x5C
      {"a//b", false, "usable"},
  };
  for (const Case& c : cases) {
    StoredName n;
    std::string error;
    EXPECT_FALSE(MakeStoredName(c.name, c.directory, DOS_ARCHIVE, &n, &error)) << c.name;
    EXPECT_NE(error.find(c.message_part), std::string::npos) << error;
    EXPECT_NE(error.find(c.name.substr(0, 40)), std::string::npos) << "message does not name it: " << error;
  }
  // The limits themselves are accepted.
  StoredName n;
  std::string error;
  EXPECT_TRUE(MakeStoredName(std::string(LEVEL2_HEADER_MAX - 26 - 5 - 3, 'f'), false, DOS_ARCHIVE, &n, &error))
      << error;
  EXPECT_TRUE(MakeStoredName("\xe8\xa1\xa8/\xe8\xa1\xa8", false, DOS_ARCHIVE, &n, &error)) << error;
  EXPECT_EQ(n.directory, "\x95\x5c\xff");  // 表: its second byte 0x5C is no separator
  EXPECT_EQ(n.file, "\x95\x5c");
}

TEST(ConfigBlock, FieldsModesAndLimits) {
  struct Mode {
    const char* text;
    uint8_t value;
  } modes[] = {{"no", 0}, {"ask-no", OPTION_ENABLED}, {"ask-yes", OPTION_ENABLED | OPTION_CREATE},
               {"yes", OPTION_CREATE}};
  for (const Mode& m : modes) {
    uint8_t v = 0xEE;
    EXPECT_TRUE(ParseOptionMode(m.text, &v));
    EXPECT_EQ(v, m.value) << m.text;
  }
  uint8_t v;
  EXPECT_FALSE(ParseOptionMode("maybe", &v));

  PackageSettings s;
  s.dialog = false;
  s.title = "ignored";
  std::vector<uint8_t> block;
  std::string error;
  ASSERT_TRUE(BuildConfigBlock(s, &block, &error));
  EXPECT_EQ(block, Bytes{0});

  s = PackageSettings();
  s.program_files = true;
  s.destination = "Vemo";
  s.shortcut_target = "bin/tool.exe";
  s.start_menu = OPTION_CREATE;
  s.desktop = OPTION_ENABLED;
  s.send_to = OPTION_ENABLED | OPTION_CREATE;
  ASSERT_TRUE(BuildConfigBlock(s, &block, &error));
  Bytes expect = {1, 0, 1, 4, 'V', 'e', 'm', 'o', 12, 'b', 'i', 'n', '\\', 't', 'o', 'o', 'l', '.', 'e', 'x', 'e',
                  2, 1, 3, 0};
  EXPECT_EQ(block, expect);

  // 255 bytes fit a length byte, 256 do not; kana count twice in Shift_JIS.
  s = PackageSettings();
  s.title = std::string(255, 't');
  EXPECT_TRUE(BuildConfigBlock(s, &block, &error)) << error;
  s.title = std::string(256, 't');
  EXPECT_FALSE(BuildConfigBlock(s, &block, &error));
  EXPECT_NE(error.find("title"), std::string::npos) << error;
  s.title.clear();
  for (int i = 0; i < 128; ++i) s.open_after += "\xe3\x81\x82";
  EXPECT_FALSE(BuildConfigBlock(s, &block, &error));
  EXPECT_NE(error.find("256 bytes"), std::string::npos) << error;
  s.open_after = "\xf0\x9f\x98\x80";
  EXPECT_FALSE(BuildConfigBlock(s, &block, &error));
  EXPECT_NE(error.find("Shift_JIS"), std::string::npos) << error;
}

TEST(Stub, SizeAndSignature) {
  std::string error;
  Bytes good(PAYLOAD_OFFSET, 0);
  good[0] = 'M';
  good[1] = 'Z';
  EXPECT_TRUE(CheckStub(good, "s", &error));
  Bytes shorter(good.begin(), good.end() - 1), longer = good, not_mz = good;
  longer.push_back(0);
  not_mz[0] = 'P';
  for (const Bytes* b : {&shorter, &longer, &not_mz}) {
    EXPECT_FALSE(CheckStub(*b, "the stub 'x'", &error));
    EXPECT_NE(error.find("the stub 'x'"), std::string::npos);
  }
}

TEST(Collect, RelativeNamesOnly) {
  TempDir dir;
  mkdir((dir / "d").c_str(), 0755);
  WriteFile(dir / "d/f.txt", {'x'});
  std::vector<MemberSource> members;
  std::string error;
  EXPECT_FALSE(Collect(dir.path(), {"/etc/hostname"}, "", &members, &error));
  EXPECT_NE(error.find("/etc/hostname"), std::string::npos);
  EXPECT_FALSE(Collect(dir.path(), {"d/../d/f.txt"}, "", &members, &error));
  EXPECT_NE(error.find(".."), std::string::npos);
  EXPECT_FALSE(Collect(dir.path(), {"missing.txt"}, "", &members, &error));
  EXPECT_NE(error.find("missing.txt"), std::string::npos);
  // "./d/" and "d" name the same folder; "." is the contents of DIR.
  members.clear();
  ASSERT_TRUE(Collect(dir.path(), {"./d/", "d", "."}, "", &members, &error)) << error;
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].name, "d");
  EXPECT_TRUE(members[0].directory);
  EXPECT_EQ(members[1].name, "d/f.txt");
  // The output itself is left out of a folder it lies in.
  members.clear();
  ASSERT_TRUE(Collect(dir.path(), {"d"}, dir / "d/f.txt", &members, &error));
  EXPECT_EQ(members.size(), 1u);
}

// The file written is the file collected: a link or another file put in its
// place between collecting and packing is an error naming it, whatever it
// points to. With -L a link collected as such is still followed.
TEST(Collect, SwappedFileIsRefused) {
  TempDir dir;
  WriteFile(dir / "secret", {'s'});
  WriteFile(dir / "other", {'o'});
  struct Swap {
    const char* how;
    bool dereference;
  } swaps[] = {{"link", false}, {"file", false}, {"link", true}};
  for (const Swap& swap : swaps) {
    WriteFile(dir / "a.txt", {'a'});
    if (swap.dereference) {
      unlink((dir / "b.txt").c_str());
      ASSERT_EQ(symlink("a.txt", (dir / "b.txt").c_str()), 0);
    }
    CollectOptions options;
    options.dereference = swap.dereference;
    std::vector<MemberSource> members;
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(CollectMembers(dir.path(), {swap.dereference ? "b.txt" : "a.txt"}, options, &members, &warnings, &error));
    unlink((dir / "a.txt").c_str());
    if (!strcmp(swap.how, "link"))
      ASSERT_EQ(symlink("secret", (dir / "a.txt").c_str()), 0);
    else
      ASSERT_EQ(link((dir / "other").c_str(), (dir / "a.txt").c_str()), 0);
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    PackMethod method;
    EXPECT_FALSE(WriteArchive(out, members, method, &error)) << swap.how << swap.dereference;
    EXPECT_NE(error.find(swap.dereference ? "b.txt" : "a.txt"), std::string::npos) << error;
    fclose(out);
    unlink((dir / "a.txt").c_str());
  }
}

// A file rewritten in place (same size) while it is packed: each segment
// reads the bytes before it again as its history, so the archive would
// decode to other bytes than its CRC covers. The packer refuses it.
TEST(Collect, FileRewrittenWhileItIsPackedIsRefused) {
  TempDir dir;
  WriteFile(dir / "a.txt", Words(3 << 20, 1));
  std::vector<MemberSource> members;
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(CollectMembers(dir.path(), {"a.txt"}, CollectOptions(), &members, &warnings, &error));
  bool rewritten = false;
  // With one thread each segment is read after the one before is written.
  ProgressHook rewrite = [&](uint64_t, bool) {
    if (!rewritten) WriteFile(dir / "a.txt", Words(3 << 20, 2));
    rewritten = true;
  };
  PackMethod method;
  method.dict_bits = 16;
  FILE* out = tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_FALSE(WriteArchive(out, members, method, &error, true, rewrite));
  EXPECT_NE(error.find("a.txt': the file changed while it was being packed"), std::string::npos) << error;
  fclose(out);
}

}  // namespace

// The headers of bytes as the core reads them, up to the archive's end (or
// a member whose data lies past it).
std::vector<MemberHeader> ReadHeaders(Bytes bytes) {
  std::vector<MemberHeader> headers;
  FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
  SfxState state;
  InitSfxState(&state, nullptr);
  state.archive = f;
  MemberHeader h;
  while (ReadMemberHeader(&state, &h) == HEADER_READ) {
    headers.push_back(h);
    if (h.packed_size > bytes.size() || fseek(f, (long)h.packed_size, SEEK_CUR) != 0) break;
  }
  fclose(f);
  return headers;
}

TEST(Archive, SizesPast4GiBAndHeadersOf256BytesAndMore) {
  // A member of 4 GiB: the 64-bit sizes header, and the core reads them.
  StoredName name;
  std::string error;
  ASSERT_TRUE(MakeStoredName("big.bin", false, DOS_ARCHIVE, &name, &error, true, "", true));
  UnixMeta unix;
  const uint64_t big = 1ull << 32;
  Bytes h = BuildLevel2Header("-lh0-", big + 1, big, 1600000000, DOS_ARCHIVE, 0, name, &unix);
  std::vector<MemberHeader> read = ReadHeaders(h);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].packed_size, big + 1);
  EXPECT_EQ(read[0].unpacked_size, big);
  EXPECT_EQ(h[7] | h[8] << 8 | h[9] << 16 | (uint32_t)h[10] << 24, 1u);  // the low 32 bits

  // Names that make a header of exactly 512 bytes get one byte more, so
  // that no header starts with the 0 that ends an archive.
  for (size_t length = 400; length < 500; ++length) {
    ASSERT_TRUE(MakeStoredName(std::string(length, 'n'), false, DOS_ARCHIVE, &name, &error, true, "", true));
    h = BuildLevel2Header("-lh0-", 0, 0, 1600000000, DOS_ARCHIVE, 0, name, &unix);
    ASSERT_NE(h[0], 0) << length;
    EXPECT_EQ(h[0] | h[1] << 8, h.size());
    if (h.size() == 513) {
      h.push_back(0);
      std::vector<MemberHeader> one = ReadHeaders(h);
      ASSERT_EQ(one.size(), 1u);
      EXPECT_EQ(strlen(one[0].name), length);
    }
  }
}

TEST(Names, LimitsOfPackagesAndPlainArchives) {
  StoredName n;
  std::string error;
  // A package: what the stub reads. The message says the name's length and
  // the limit it has in its place.
  EXPECT_FALSE(MakeStoredName("dir/" + std::string(215, 'f'), false, DOS_ARCHIVE, &n, &error));
  EXPECT_NE(error.find("219 bytes in Shift_JIS, folders included; a package holds names of at most 218 bytes"),
            std::string::npos) << error;
  EXPECT_TRUE(MakeStoredName("dir/" + std::string(214, 'f'), false, DOS_ARCHIVE, &n, &error)) << error;
  // A plain archive: paths of up to 4095 bytes (components of up to 255).
  std::string path;
  while (path.size() < 4095 - 256) path += std::string(255, 'd') + "/";
  path += std::string(4095 - path.size(), 'f');
  EXPECT_TRUE(MakeStoredName(path, false, DOS_ARCHIVE, &n, &error, true, "", true)) << error;
  EXPECT_EQ(n.path.size(), 4095u);
  EXPECT_FALSE(MakeStoredName(path + "f", false, DOS_ARCHIVE, &n, &error, true, "", true));
  EXPECT_NE(error.find("4096 bytes in Shift_JIS; an archive holds paths of at most 4095 bytes"), std::string::npos)
      << error;
  // UTF-8 names hold what Shift_JIS has no form for.
  const std::string smile = "caf\xc3\xa9\xf0\x9f\x98\x80.txt";
  EXPECT_FALSE(MakeStoredName(smile, false, DOS_ARCHIVE, &n, &error, false, "", true));
  ASSERT_TRUE(MakeStoredName(smile, false, DOS_ARCHIVE, &n, &error, false, "", true, true)) << error;
  EXPECT_EQ(n.path, smile);
}

TEST(Archive, OwnerNamesOfIdZeroRootAreLeftOut) {
  // Each case: uid, user, gid, group as given; the names the header keeps.
  struct Case {
    uint32_t uid;
    const char* user;
    uint32_t gid;
    const char* group;
    const char* kept_user;
    const char* kept_group;
  } cases[] = {
      {0, "root", 0, "root", "", ""},
      {0, "root", 0, "wheel", "", "wheel"},
      {0, "toor", 0, "root", "toor", ""},
      {1000, "root", 1000, "root", "root", "root"},
      {0, "root", 70000, "root", "root", "root"},  // no ids stored: the names are all there is
  };
  for (const Case& c : cases) {
    MemberSource m;
    m.unix_meta = m.user_set = m.group_set = true;
    m.uid = c.uid;
    m.gid = c.gid;
    m.user = c.user;
    m.group = c.group;
    UnixMeta meta = MakeUnixMeta(m);
    EXPECT_EQ(meta.user, c.kept_user) << c.uid << " " << c.user;
    EXPECT_EQ(meta.group, c.kept_group) << c.gid << " " << c.group;
  }
}

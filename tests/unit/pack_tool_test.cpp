// vemosfx pack as a user runs it: exit status, messages, and that a refused
// input leaves no output (and no half-written file) behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "extract/payload.h"
#include "pack_support.h"

using namespace pack_test;

namespace {

struct ToolRun {
  int status;
  std::string err;
};

ToolRun Pack(const std::string& args) {
  std::string cmd = std::string(VEMO_BINARY_DIR) + "/vemosfx pack " + args + " 2>&1 >/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ToolRun r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.err.append(buf, n);
  int s = pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return r;
}

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

class PackTool : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir_ / "in").c_str(), 0755);
    mkdir((dir_ / "out").c_str(), 0755);
    WriteFile(dir_ / "in/a.txt", Words(4000, 1));
    Bytes stub(PAYLOAD_OFFSET, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    WriteFile(dir_ / "stub.exe", stub);
    stub.push_back(0);
    WriteFile(dir_ / "long-stub.exe", stub);
  }
  std::string Q(const std::string& name) const { return "'" + (dir_ / name) + "'"; }
  TempDir dir_;
};

TEST_F(PackTool, RefusedInputsLeaveNothingBehind) {
  struct Case {
    const char* what;
    std::string file;  // made in in/ for this case, then removed
    std::string args;
    std::string named;  // the message must contain it
  };
  std::string long_name(240, 'n');
  Case cases[] = {
      {"unconvertible name", "emoji\xf0\x9f\x98\x80.txt", "-o OUT.lzh -C IN .", "emoji\xf0\x9f\x98\x80.txt"},
      {"name too long for a package", long_name, "-o OUT.exe --stub STUB -C IN .",
       "'" + long_name + "': the name is 240 bytes in Shift_JIS, folders included; a package holds names of at "
       "most 221 bytes"},
      {"stub of the wrong size", "", "-o OUT.exe --stub LONGSTUB -C IN .", "23040"},
      {"missing input", "", "-o OUT.lzh -C IN nothing-here", "nothing-here"},
      {"absolute input", "", "-o OUT.lzh /etc/hostname", "/etc/hostname"},
      {"climbing input", "", "-o OUT.lzh -C IN ../in/a.txt", "..", },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.file.empty()) WriteFile(dir_ / ("in/" + c.file), {'x'});
    std::string args = c.args;
    auto put = [&](const std::string& key, const std::string& value) {
      size_t at = args.find(key);
      if (at != std::string::npos) args.replace(at, key.size(), value);
    };
    put("LONGSTUB", Q("long-stub.exe"));
    put("STUB", Q("stub.exe"));
    put("OUT", Q("out/result"));
    put("IN", Q("in"));
    // An earlier output stays as it was.
    WriteFile(dir_ / "out/old.lzh", {'o', 'l', 'd'});
    ToolRun r = Pack(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_EQ(List(dir_ / "out"), std::vector<std::string>{"old.lzh"});
    if (!c.file.empty()) unlink((dir_ / ("in/" + c.file)).c_str());
  }
}

TEST_F(PackTool, UsageErrors) {
  const char* cases[] = {
      "",                                        // nothing at all
      "IN",                                      // no -o
      "-o OUT.lzh",                              // no PATH
      "-o OUT.lzh --method lh9 IN",              // unknown method
      "-o OUT.exe --desktop sometimes IN",       // unknown mode
      "-o OUT.exe --base elsewhere IN",          // unknown base
      "-o OUT.lzh --title T IN",                 // package option on a plain archive
      "-o OUT.exe --stub STUB --desktop yes IN", // a shortcut without a target
      "-o OUT.exe --stub STUB --title TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT IN",  // 256 bytes
      "-o OUT.exe --stub STUB --title '\xe2\x84\xa2' IN",  // no Shift_JIS form
      "-o OUT.exe --stub STUB --dest /abs IN",   // an absolute destination
      "-o OUT.lzh --frobnicate IN",              // unknown option
      "-o OUT.lzh --level 10 IN",                // levels are 1 to 9
      "-o OUT.lzh --level 0 IN",
      "-o OUT.lzh --best --level 3 IN",          // two levels
      "-o OUT.lzh -j 0 IN",                      // no threads
      "-o OUT.lzh --threads 2x IN",
      "-o",                                      // option without its value
  };
  for (const char* c : cases) {
    std::string args = c;
    for (auto kv : {std::make_pair(std::string("STUB"), Q("stub.exe")), std::make_pair(std::string("OUT"), Q("out/r")),
                    std::make_pair(std::string("IN"), Q("in"))}) {
      size_t at = args.find(kv.first);
      if (at != std::string::npos) args.replace(at, kv.first.size(), kv.second);
    }
    ToolRun r = Pack(args);
    EXPECT_EQ(r.status, 2) << c << ": " << r.err;
    EXPECT_TRUE(List(dir_ / "out").empty()) << c;
  }
}

TEST_F(PackTool, HelpNamesEveryOption) {
  std::string cmd = std::string(VEMO_BINARY_DIR) + "/vemosfx pack --help";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0);
  for (const char* o : {"-o OUT", "-C, --directory DIR", "--method", "lh0", "lh5", "lh6", "lh7", "--best", "--level", "--threads", "--no-dialog",
                        "--title", "--base", "program-files", "--dest", "--shortcut", "--open", "--start-menu",
                        "--desktop", "--send-to", "ask-no", "ask-yes", "--stub"})
    EXPECT_NE(out.find(o), std::string::npos) << o;
}

TEST_F(PackTool, PackageWithAGivenStub) {
  ToolRun r = Pack("-o " + Q("out/setup.exe") + " --stub " + Q("stub.exe") +
               " --no-dialog --method lh7 -C " + Q("in") + " a.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(List(dir_ / "out"), std::vector<std::string>{"setup.exe"});
  std::vector<ReadMember> read;
  // The block is the single byte 0; the archive follows it.
  Bytes file = ReadFile(dir_ / "out/setup.exe");
  ASSERT_GT(file.size(), PAYLOAD_OFFSET + 1);
  EXPECT_EQ(file[PAYLOAD_OFFSET], 0);
  ASSERT_TRUE(ReadArchiveWithCore(dir_ / "out/setup.exe", PAYLOAD_OFFSET + 1, &read));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(std::string(read[0].header.method, 5), "-lh7-");
  EXPECT_TRUE(read[0].data == Words(4000, 1));
}

}  // namespace

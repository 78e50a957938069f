// -lh1- and -lh2-: the adaptive trees' codes at known points, the growing
// position tree, the rebuild at a root weight of 0x8000, the trees' order and
// run bookkeeping on arbitrary input, and archives of an independent archiver.
#include <gtest/gtest.h>

#include <map>

#include "decode/member.h"
#include "decode/methods.h"
#include "method_harness.h"

using namespace methods_test;

namespace {

const int32_t METHOD_LH1 = 1;
const int32_t METHOD_LH2 = 2;

// The code of a leaf, read upwards from the leaf: a node that is its
// parent's higher-numbered child is reached by a 0 bit.
std::string CodeOf(int32_t symbol, int32_t root) {
  std::string code;
  for (int32_t n = g_leaf_node[symbol]; n != root;) {
    int32_t parent = g_node_parent[n];
    code.insert(code.begin(), g_node_child[parent] == n ? '0' : '1');
    n = parent;
  }
  return code;
}
std::string CharCode(int32_t c) { return CodeOf(c, CHAR_ROOT); }
std::string PosCode(int32_t p) { return CodeOf(POS_SYMBOL_BASE + p, POS_ROOT); }

void Start(int32_t method, const Bytes& input) {
  LoadInput(input);
  g_dict_bits = method == METHOD_LH1 ? 12 : 13;
  if (method == METHOD_LH1)
    StartLh1();
  else
    StartLh2();
}

// Decodes one character/length code from the given bits, keeping the tree.
uint16_t DecodeCharFrom(const char* bits) {
  BitWriter w;
  w.Put(bits);
  LoadInput(w.bytes());
  InitBits();
  return DecodeCharAdaptive();
}

uint16_t DecodePosFrom(const char* bits, uint32_t out_count) {
  BitWriter w;
  w.Put(bits);
  LoadInput(w.bytes());
  InitBits();
  g_out_count = out_count;
  return DecodePosAdaptive();
}

// Checks one tree: sibling order, sums, links, and the runs of equal weights
// with their leaders. ids collects the run ids in use, so that a second tree
// checked with the same map must not reuse one.
void CheckTree(int32_t root, int32_t last, std::map<int32_t, int32_t>* ids) {
  SCOPED_TRACE(root == CHAR_ROOT ? "character tree" : "position tree");
  for (int32_t n = root; n <= last; ++n) {
    int32_t c = g_node_child[n];
    if (c > 0) {
      ASSERT_GT(c - 1, n);
      ASSERT_LE(c, last);
      ASSERT_EQ(g_node_parent[c], n);
      ASSERT_EQ(g_node_parent[c - 1], n);
      if (n == POS_ROOT)
        ASSERT_EQ(g_node_weight[n], 0xFFFF);
      else
        ASSERT_EQ(g_node_weight[n], g_node_weight[c] + g_node_weight[c - 1]) << "node " << n;
    } else {
      ASSERT_EQ(g_leaf_node[~c], n);
    }
    if (n > root) {
      ASSERT_GE(g_node_weight[n - 1], g_node_weight[n]) << "node " << n;
    }
  }
  ASSERT_LT(g_node_child[last], 0) << "the last node is a leaf";
  // The position root keeps a stale id once it has children; its first
  // child then leads a run of its own.
  int32_t first = root == POS_ROOT && last > POS_ROOT ? POS_ROOT + 1 : root;
  for (int32_t n = first; n <= last; ++n) {
    int32_t id = g_node_run[n];
    ASSERT_NE(id, 0) << "node " << n;
    if (n > first && g_node_weight[n] == g_node_weight[n - 1]) {
      ASSERT_EQ(id, g_node_run[n - 1]) << "node " << n;
    } else {
      ASSERT_EQ(g_run_leader[id], n) << "node " << n;
      ASSERT_TRUE(ids->insert({id, n}).second) << "run id " << id << " used twice";
    }
  }
}

void CheckTrees(bool with_pos_tree) {
  std::map<int32_t, int32_t> ids;
  CheckTree(CHAR_ROOT, 2 * g_char_symbols - 2, &ids);
  if (with_pos_tree) CheckTree(POS_ROOT, g_pos_last_node, &ids);
  // Live ids lie below the top of the stack of free ids.
  ASSERT_LE(g_free_runs_top, TREE_NODES);
  for (int32_t i = g_free_runs_top; i < TREE_NODES; ++i) ASSERT_EQ(ids.count(g_free_runs[i]), 0u);
}

TEST(Adaptive, InitialCodes) {
  Start(METHOD_LH2, {});
  EXPECT_EQ(CharCode(0x41), "00000101");
  EXPECT_EQ(CharCode(0x42), "00000110");
  EXPECT_EQ(CharCode(0x00), "111000100");
  EXPECT_EQ(CharCode(285), "11100001");
  EXPECT_EQ(g_escape_code, 285);
  EXPECT_EQ(g_node_weight[CHAR_ROOT], 286);
  CheckTrees(true);

  struct Case {
    int32_t method, symbols, first_short;
  } cases[] = {{METHOD_LH2, 286, 60}, {METHOD_LH1, 314, 116}};
  for (const Case& c : cases) {
    Start(c.method, {});
    for (int32_t s = 0; s < c.symbols; ++s)
      ASSERT_EQ(CharCode(s).size(), s < c.first_short ? 9u : 8u) << "method " << c.method << " symbol " << s;
  }
  EXPECT_EQ(g_escape_code, 512);  // -lh1- has no escape
}

TEST(Adaptive, CodesAfterRepeatedSymbol) {
  Start(METHOD_LH2, {});
  ASSERT_EQ(DecodeCharFrom("00000101"), 0x41);
  // The leaf of 0x41 traded places with node 285, the leader of the run of
  // weight-1 leaves.
  EXPECT_EQ(CharCode(0x41), "11100001");
  EXPECT_EQ(CharCode(285), "00000101");
  ASSERT_EQ(DecodeCharFrom("11100001"), 0x41);
  EXPECT_EQ(CharCode(0x41), "1101111");
  for (int i = 3; i <= 12; ++i) ASSERT_EQ(DecodeCharFrom(CharCode(0x41).c_str()), 0x41) << i;
  EXPECT_EQ(CharCode(0x41), "11010");
  CheckTrees(true);
}

TEST(Adaptive, EscapeReadsEightMoreBitsOnlyInLh2) {
  Start(METHOD_LH2, {});
  EXPECT_EQ(DecodeCharFrom("11100001 11111111"), 540);
  EXPECT_EQ(DecodeCharFrom((CharCode(285) + "00000000").c_str()), 285);

  // -lh1- symbol 313 is a plain match of 60 bytes: the bits after it stay.
  Start(METHOD_LH1, {});
  std::string code = CharCode(313);
  ASSERT_EQ(DecodeCharFrom((code + "1011001110001111").c_str()), 313);
  EXPECT_EQ(BitString(g_bit_buf, 16), "1011001110001111");
}

TEST(Adaptive, CharacterTreeRebuildsAtRootWeight0x8000) {
  struct Case {
    int32_t method, symbols;
  } cases[] = {{METHOD_LH2, 286}, {METHOD_LH1, 314}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    Start(c.method, {});
    // Each decode adds 1 to the root: 0x8000 after 32768 - symbols of them.
    int32_t before = 0x8000 - c.symbols;
    ASSERT_EQ(DecodeCharFrom(CharCode('B').c_str()), 'B');
    for (int32_t i = 1; i < before; ++i) ASSERT_EQ(DecodeCharFrom(CharCode('A').c_str()), 'A');
    ASSERT_EQ(g_node_weight[CHAR_ROOT], 0x8000);
    ASSERT_EQ(g_node_weight[g_leaf_node['A']], before);
    ASSERT_EQ(g_node_weight[g_leaf_node['B']], 2);
    // The next symbol halves every leaf first, rounding up: 'A' to
    // (before + 1) / 2, 'B' to 1, the others stay at 1; then it is counted.
    ASSERT_EQ(DecodeCharFrom(CharCode('C').c_str()), 'C');
    int32_t a = (before + 1) / 2;
    EXPECT_EQ(g_node_weight[g_leaf_node['A']], a);
    EXPECT_EQ(g_node_weight[g_leaf_node['B']], 1);
    EXPECT_EQ(g_node_weight[g_leaf_node['C']], 2);
    EXPECT_EQ(g_node_weight[g_leaf_node['D']], 1);
    EXPECT_EQ(g_node_weight[CHAR_ROOT], a + c.symbols);
    CheckTrees(c.method == METHOD_LH2);
    // Decoding goes on from the rebuilt tree.
    ASSERT_EQ(DecodeCharFrom(CharCode('D').c_str()), 'D');
    CheckTrees(c.method == METHOD_LH2);
  }
}

TEST(Adaptive, RebuildPlacesInternalNodesBeforeEqualLeaves) {
  Start(METHOD_LH2, {});
  // Halved, 'B' weighs 2 and 'E' 3: the same as internal nodes over pairs
  // of leaves.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(DecodeCharFrom(CharCode('B').c_str()), 'B');
  for (int i = 0; i < 5; ++i) ASSERT_EQ(DecodeCharFrom(CharCode('E').c_str()), 'E');
  RebuildTree(CHAR_ROOT, 2 * LH2_CHAR_SYMBOLS - 1);
  EXPECT_EQ(g_node_weight[g_leaf_node['B']], 2);
  EXPECT_EQ(g_node_weight[g_leaf_node['E']], 3);
  EXPECT_EQ(g_node_weight[CHAR_ROOT], 285 + 2 + 3 - 1);
  int ties = 0;
  for (int32_t n = 1; n < 2 * LH2_CHAR_SYMBOLS - 2; ++n) {
    if (g_node_weight[n] != g_node_weight[n + 1]) continue;
    ++ties;
    EXPECT_FALSE(g_node_child[n] < 0 && g_node_child[n + 1] > 0) << "leaf " << n << " before an equal internal node";
  }
  EXPECT_GT(ties, 0);
  CheckTrees(true);
}

TEST(Adaptive, PositionSymbolsJoinWithOutput) {
  // The first positions come from a single-leaf tree: no bits, just the low
  // six; with exactly 64 bytes of output that is still so.
  Start(METHOD_LH2, {});
  EXPECT_EQ(DecodePosFrom("000101 1", 10), 5);
  EXPECT_EQ(BitString(g_bit_buf, 1), "1");
  EXPECT_EQ(DecodePosFrom("111111", 64), 63);
  EXPECT_EQ(g_pos_last_node, POS_ROOT);
  EXPECT_EQ(g_pos_total, 2);

  // With more than 64 bytes, symbol 1 joins first and is counted once.
  Start(METHOD_LH2, {});
  EXPECT_EQ(DecodePosFrom("0 000011", 65), 64 + 3);
  EXPECT_EQ(g_pos_total, 2);
  EXPECT_EQ(g_pos_last_node, 630);
  EXPECT_EQ(g_pos_next_count, 128u);
  CheckTrees(true);
  // A long match took the count past three more thresholds: 2, 3 and 4 join.
  EXPECT_EQ(DecodePosFrom("0 000000", 300), 64);
  EXPECT_EQ(g_pos_total, 6);
  EXPECT_EQ(g_pos_last_node, 636);
  EXPECT_EQ(g_pos_next_count, 320u);
  CheckTrees(true);
}

TEST(Adaptive, PositionCodesAsSymbolsJoin) {
  Start(METHOD_LH2, {});
  AddPosLeaf(1);
  EXPECT_EQ(PosCode(1), "0");
  EXPECT_EQ(PosCode(0), "1");
  EXPECT_EQ(g_pos_total, 1);
  g_pos_next_count = 128;
  EXPECT_EQ(DecodePosFrom("0 111111", 65), 64 + 63);
  for (int32_t p = 2; p <= 4; ++p) AddPosLeaf(p);
  g_pos_next_count = 320;
  EXPECT_EQ(g_pos_last_node, 636);
  EXPECT_EQ(PosCode(0), "110");
  EXPECT_EQ(PosCode(1), "0");
  EXPECT_EQ(PosCode(2), "111");
  EXPECT_EQ(PosCode(3), "101");
  EXPECT_EQ(PosCode(4), "100");
  CheckTrees(true);
  EXPECT_EQ(DecodePosFrom("0 000000", 300), 64);
  EXPECT_EQ(g_pos_total, 6);
}

TEST(Adaptive, PositionAlphabetCompletesAt128Symbols) {
  Start(METHOD_LH2, {});
  DecodePosFrom("", 8129);
  EXPECT_EQ(g_pos_last_node, 882);
  EXPECT_EQ(g_pos_next_count, 0xFFFFFFFFu);
  EXPECT_EQ(g_pos_total, 128);
  CheckTrees(true);
  // Every symbol is reachable: decode each one by its current code.
  for (int32_t p = 0; p < 128; ++p)
    ASSERT_EQ(DecodePosFrom((PosCode(p) + "000000").c_str(), 100000), p * 64) << p;
  EXPECT_EQ(g_pos_last_node, 882);
  CheckTrees(true);
}

// Arbitrary bits drive the trees through many updates and both rebuilds; the
// trees must keep their order and bookkeeping throughout, and every code
// must end on a leaf.
TEST(Adaptive, TreesStayConsistentOnArbitraryInput) {
  struct Case {
    int32_t method;
    uint32_t seed;
  } cases[] = {{METHOD_LH2, 1}, {METHOD_LH2, 99}, {METHOD_LH1, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    Bytes input(600000);
    uint32_t s = c.seed;
    for (uint8_t& b : input) {
      s = s * 1103515245u + 12345u;
      b = (uint8_t)(s >> 23);
    }
    Start(c.method, input);
    g_out_count = 0;
    uint32_t positions = 0, chars = 0;
    bool pos_rebuilt = false;
    for (uint32_t i = 0; i < 500000 && g_packed_left > 0; ++i) {
      uint16_t code = DecodeCharAdaptive();
      ASSERT_LT(code, c.method == METHOD_LH1 ? 314 : 541);
      ++chars;
      if (code < 256) {
        ++g_out_count;
      } else {
        uint16_t before = g_pos_total;
        uint16_t d = c.method == METHOD_LH1 ? DecodePosStatic() : DecodePosAdaptive();
        ASSERT_LT(d, c.method == METHOD_LH1 ? 4096 : 8192);
        if (g_pos_total < before) pos_rebuilt = true;
        g_out_count += code - 253;
        ++positions;
      }
      if (i % 20000 == 0) CheckTrees(c.method == METHOD_LH2);
    }
    CheckTrees(c.method == METHOD_LH2);
    EXPECT_GT(chars, 70000u);  // the character tree was rebuilt at least twice
    if (c.method == METHOD_LH2) {
      EXPECT_TRUE(pos_rebuilt) << positions << " positions";
    }
  }
}

// Archives of real data (see tests/fixtures/methods/make-fixtures.sh): -lh1-
// written by jlha's library, which lhasa decodes to the same bytes; -lh2-
// written by lh2pack, which unar decodes to the same bytes. The "letters"
// members are long enough for the character tree to rebuild itself.
TEST(Adaptive, IndependentArchivesDecodeToTheirInputs) {
  struct Case {
    const char* archive;
    const char* input;
    const char* method;
  } cases[] = {
      {"text.lh1.lzh", "text.txt", "-lh1-"},       {"runs.lh1.lzh", "runs.bin", "-lh1-"},
      {"letters.lh1.lzh", "letters.txt", "-lh1-"}, {"text.lh2.lzh", "text.txt", "-lh2-"},
      {"runs.lh2.lzh", "runs.bin", "-lh2-"},       {"letters.lh2.lzh", "letters.txt", "-lh2-"},
  };
  for (const Case& c : cases) {
    Bytes original = ReadFile(FixturePath(c.input));
    ASSERT_FALSE(original.empty()) << c.input;
    std::vector<ArchiveMember> members = DecodeArchive(FixturePath(c.archive));
    ASSERT_EQ(members.size(), 1u) << c.archive;
    EXPECT_EQ(memcmp(members[0].header.method, c.method, 5), 0) << c.archive;
    EXPECT_EQ(members[0].decoded.out, original) << c.archive;
    EXPECT_EQ(members[0].decoded.crc, members[0].header.crc) << c.archive;
  }
}

// jlha's -lh2- writer does not produce what -lh2- decoders read (its member
// fails its CRC in unar too), but unar's reading of it is a second opinion on
// every bit of a stream we did not make: literals, escapes, position symbols
// joining several at once. Ours must agree with it byte for byte. The stream
// also wants more bytes than the member holds: ours fails it as damaged, and
// reads it as unar does when zeros follow its bytes.
TEST(Adaptive, JlhaLh2StreamReadsAsAnIndependentDecoderReadsIt) {
  Bytes unar = ReadFile(FixturePath("runs.jlha-lh2.unar.bin"));
  ASSERT_EQ(unar.size(), 4368u);
  std::vector<ArchiveMember> members = DecodeArchive(FixturePath("runs.jlha-lh2.lzh"));
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(memcmp(members[0].header.method, "-lh2-", 5), 0);
  EXPECT_EQ(members[0].decoded.status, DECODE_DAMAGED);
  // One member and the end mark: its bytes end one byte before the file's.
  Bytes archive = ReadFile(FixturePath("runs.jlha-lh2.lzh"));
  uint32_t packed = members[0].header.packed_size;
  Bytes data(archive.end() - 1 - packed, archive.end() - 1);
  data.resize(packed + 4096, 0);
  Decoded d = DecodeBytes(2, data, members[0].header.unpacked_size);
  EXPECT_EQ(d.status, DECODE_DONE) << members[0].header.unpacked_size << " " << packed;
  EXPECT_EQ(d.out, unar);
  EXPECT_NE(d.out, ReadFile(FixturePath("runs.bin")));
}

}  // namespace

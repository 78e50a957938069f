// -lh1- and -lh2-: adaptive Huffman codes. Decoder and encoder start from the
// same tree and, after every symbol, both count it and restore the sibling
// order, so no code lengths are ever sent. Nodes of equal weight that lie next
// to each other form a run; each run knows its lowest-numbered node (its
// leader), which is the node a bumped node trades places with.
#include "decode/bitio.h"
#include "decode/fast.h"
#include "decode/member.h"
#include "decode/methods.h"
#include "decode/table.h"

uint16_t g_node_weight[TREE_NODES];
int16_t g_node_child[TREE_NODES];
uint16_t g_node_parent[TREE_NODES];
uint16_t g_node_run[TREE_NODES];
uint16_t g_run_leader[TREE_NODES];
uint16_t g_free_runs[TREE_NODES];
uint16_t g_leaf_node[LEAF_SYMBOLS];

int32_t g_free_runs_top;
int32_t g_char_symbols;
uint16_t g_max_match;
int32_t g_escape_code;
int32_t g_pos_last_node;
uint16_t g_pos_total;
uint32_t g_pos_next_count;
int32_t g_pos_limit;

// On the host the per-symbol routines take the tree walk and every BumpNode
// step into themselves (no call per tree level); the stub keeps the calls.
#if VEMO_FAST_DECODE
#define VEMO_ADAPTIVE_FLATTEN __attribute__((flatten))
#else
#define VEMO_ADAPTIVE_FLATTEN
#endif

static uint16_t NewRun() { return g_free_runs[g_free_runs_top++]; }

static void ReleaseRun(uint16_t id) { g_free_runs[--g_free_runs_top] = id; }

// Node n has just received the child entry it holds: point that subtree (or
// leaf) back at n.
static void Relink(int32_t n) {
  int32_t c = g_node_child[n];
  if (c > 0) {
    g_node_parent[c] = (uint16_t)n;
    g_node_parent[c - 1] = (uint16_t)n;
  } else {
    g_leaf_node[~c] = (uint16_t)n;
  }
}

void InitCharTree() {
  int32_t n = g_char_symbols;
  g_escape_code = n < g_max_match + 254 ? n - 1 : 512;
  // Every member starts with no live run anywhere, in both trees, and the
  // full stack of ids: nothing left by an earlier member can alias a run.
  for (int32_t i = 0; i < TREE_NODES; ++i) {
    g_node_run[i] = 0;
    g_free_runs[i] = (uint16_t)i;
  }
  for (int32_t i = 0; i < n; ++i) {
    int32_t node = 2 * n - 2 - i;
    g_node_weight[node] = 1;
    g_node_child[node] = (int16_t)~i;
    g_node_run[node] = 1;
    g_leaf_node[i] = (uint16_t)node;
  }
  g_free_runs_top = 2;
  g_run_leader[1] = (uint16_t)(n - 1);
  int32_t h = 2 * n - 2;
  for (int32_t j = n - 2; j >= 0; --j, h -= 2) {
    g_node_weight[j] = (uint16_t)(g_node_weight[h] + g_node_weight[h - 1]);
    g_node_child[j] = (int16_t)h;
    g_node_parent[h] = (uint16_t)j;
    g_node_parent[h - 1] = (uint16_t)j;
    if (g_node_weight[j] == g_node_weight[j + 1]) {
      g_node_run[j] = g_node_run[j + 1];
    } else {
      g_node_run[j] = NewRun();
    }
    g_run_leader[g_node_run[j]] = (uint16_t)j;
  }
}

void RebuildTree(int32_t first, int32_t end) {
  // Collect the leaves at the low end with halved weights, releasing every
  // run id on the way.
  int32_t j = first;
  for (int32_t i = first; i < end; ++i) {
    if (g_run_leader[g_node_run[i]] == i) ReleaseRun(g_node_run[i]);
    if (g_node_child[i] < 0) {
      g_node_child[j] = g_node_child[i];
      g_node_weight[j] = (uint16_t)((g_node_weight[i] + 1) / 2);
      ++j;
    }
  }
  // Build the internal nodes from the high end: each pair of placed nodes
  // gets a parent placed below every leaf that is not heavier than it.
  --j;
  int32_t i = end - 1;
  int32_t l = end - 2;
  while (i >= first) {
    while (i >= l) {
      g_node_weight[i] = g_node_weight[j];
      g_node_child[i] = g_node_child[j];
      --i;
      --j;
    }
    uint16_t f = (uint16_t)(g_node_weight[l] + g_node_weight[l + 1]);
    int32_t k = first;
    while (k <= j && g_node_weight[k] > f) ++k;
    while (j >= k) {
      g_node_weight[i] = g_node_weight[j];
      g_node_child[i] = g_node_child[j];
      --i;
      --j;
    }
    g_node_weight[i] = f;
    g_node_child[i] = (int16_t)(l + 1);
    --i;
    l -= 2;
  }
  // Relink parents and leaves, and group equal neighbours into runs.
  uint16_t run = 0;
  for (i = first; i < end; ++i) {
    Relink(i);
    if (i == first || g_node_weight[i] != g_node_weight[i - 1]) {
      run = NewRun();
      g_run_leader[run] = (uint16_t)i;
    }
    g_node_run[i] = run;
  }
}

// Indices are pointer-sized so that the host's inlined loop over the levels
// needs no sign extension per step.
int32_t BumpNode(int32_t node) {
  intptr_t p = node;
  uint16_t b = g_node_run[p];
  intptr_t leader = g_run_leader[b];
  if (leader != p) {
    int16_t c = g_node_child[p];
    g_node_child[p] = g_node_child[leader];
    g_node_child[leader] = c;
    Relink(p);
    Relink(leader);
    p = leader;
  } else if (g_node_run[p + 1] != b) {
    // Alone in its run: it grows, and may join the run just below it.
    uint16_t w = ++g_node_weight[p];
    if (w == g_node_weight[p - 1]) {
      ReleaseRun(b);
      g_node_run[p] = g_node_run[p - 1];
    }
    return g_node_parent[p];
  }
  // p leads a run of several nodes: it leaves the run (whose leader moves up
  // by one) and joins the run below it or starts a run of its own.
  g_run_leader[b] = (uint16_t)(p + 1);
  uint16_t w = ++g_node_weight[p];
  if (w == g_node_weight[p - 1]) {
    g_node_run[p] = g_node_run[p - 1];
  } else {
    uint16_t id = NewRun();
    g_node_run[p] = id;
    g_run_leader[id] = (uint16_t)p;
  }
  return g_node_parent[p];
}

// Walks a tree from its root: a 0 bit leads to the higher-numbered child. The
// bits are peeked from a copy of the window and consumed in one go at the
// leaf (or 16 at a time on very deep paths).
static int32_t WalkAdaptiveTree(int32_t root) {
  int32_t x = g_node_child[root];
  uint16_t bits = g_bit_buf;
  uint8_t used = 0;
  while (x > 0) {
    if (used == 16) {
      FillBits(16);
      bits = g_bit_buf;
      used = 0;
    }
    x = g_node_child[x - (bits >> 15)];
    bits = (uint16_t)(bits << 1);
    ++used;
  }
  FillBits(used);
  return ~x;
}

void StartLh1() {
  g_char_symbols = LH1_CHAR_SYMBOLS;
  g_max_match = 60;
  InitBits();
  g_static_pos_symbols = 64;
  InitCharTree();
  ExpandFixedLengths(FIXED_POS_LH1);
  BuildCode(64, g_pos_len, 8, g_pos_table);  // complete: it cannot fail
}

void StartLh2() {
  g_char_symbols = LH2_CHAR_SYMBOLS;
  g_max_match = 256;
  InitBits();
  InitCharTree();
  g_node_weight[POS_ROOT] = 1;
  g_node_child[POS_ROOT] = (int16_t)~POS_SYMBOL_BASE;
  g_leaf_node[POS_SYMBOL_BASE] = POS_ROOT;
  g_node_run[POS_ROOT] = NewRun();
  g_run_leader[g_node_run[POS_ROOT]] = POS_ROOT;
  g_pos_last_node = POS_ROOT;
  g_pos_total = 0;
  g_pos_limit = 1 << g_dict_bits;
  g_pos_next_count = 64;
}

VEMO_ADAPTIVE_FLATTEN uint32_t DecodeCharAdaptive() {
  int32_t c = WalkAdaptiveTree(CHAR_ROOT);
  if (g_node_weight[CHAR_ROOT] == 0x8000) RebuildTree(CHAR_ROOT, 2 * g_char_symbols - 1);
  ++g_node_weight[CHAR_ROOT];
  intptr_t q = g_leaf_node[c];
  do {
    q = BumpNode(q);
  } while (q != CHAR_ROOT);
  if (c == g_escape_code) c += GetBits(8);
  return (uint32_t)c;
}

VEMO_ADAPTIVE_FLATTEN void UpdatePosTree(int32_t p) {
  if (g_pos_total == 0x8000) {
    RebuildTree(POS_ROOT, g_pos_last_node + 1);
    g_pos_total = g_node_weight[POS_ROOT];
    g_node_weight[POS_ROOT] = 0xFFFF;
  }
  intptr_t q = g_leaf_node[POS_SYMBOL_BASE + p];
  while (q != POS_ROOT) q = BumpNode(q);
  ++g_pos_total;
}

void AddPosLeaf(int32_t p) {
  int32_t m = g_pos_last_node;
  int32_t r = m + 1;
  int32_t q = m + 2;
  g_node_child[r] = g_node_child[m];
  g_leaf_node[~g_node_child[m]] = (uint16_t)r;
  g_node_child[q] = (int16_t)~(POS_SYMBOL_BASE + p);
  g_node_child[m] = (int16_t)q;
  g_node_weight[r] = g_node_weight[m];
  g_node_run[r] = g_node_run[m];
  g_node_weight[q] = 0;
  if (m == POS_ROOT) {
    g_node_weight[POS_ROOT] = 0xFFFF;
    ++g_run_leader[g_node_run[POS_ROOT]];
  }
  g_node_parent[r] = (uint16_t)m;
  g_node_parent[q] = (uint16_t)m;
  uint16_t id = NewRun();
  g_node_run[q] = id;
  g_run_leader[id] = (uint16_t)q;
  g_leaf_node[POS_SYMBOL_BASE + p] = (uint16_t)q;
  g_pos_last_node = q;
  UpdatePosTree(p);
}

VEMO_ADAPTIVE_FLATTEN uint32_t DecodePosAdaptive() {
  while (g_out_count > g_pos_next_count) {
    AddPosLeaf((int32_t)(g_pos_next_count / 64));
    g_pos_next_count += 64;
    if (g_pos_next_count >= (uint32_t)g_pos_limit) g_pos_next_count = 0xFFFFFFFFu;
  }
  int32_t p = WalkAdaptiveTree(POS_ROOT) - POS_SYMBOL_BASE;
  UpdatePosTree(p);
  return (uint32_t)((p << 6) + GetBits(6));
}

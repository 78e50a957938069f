// Huffman code lengths by the two-queue method over symbols sorted by
// frequency. When the tree is deeper than the limit, the frequencies are
// flattened (halved, never to zero) and the tree is built again; that keeps
// every code complete, which strict decoders insist on, and costs little
// since it is rare with blocks of at most 65535 codes.
#include "pack/huffman.h"

#include <algorithm>
#include <string.h>

namespace {

// Builds an unlimited Huffman tree for the m used symbols in order (sorted
// by ascending frequency) and stores each leaf's depth. Returns the largest.
int BuildDepths(const uint32_t* weight_sorted, int m, uint8_t* depth_sorted) {
  uint64_t weight[1024];
  int parent[1024];
  for (int i = 0; i < m; ++i) weight[i] = weight_sorted[i];
  int leaf = 0, inner = m, next = m;
  auto take = [&]() {
    if (leaf < m && (inner >= next || weight[leaf] <= weight[inner])) return leaf++;
    return inner++;
  };
  while (next < 2 * m - 1) {
    int a = take();
    int b = take();
    weight[next] = weight[a] + weight[b];
    parent[a] = next;
    parent[b] = next;
    ++next;
  }
  int root = 2 * m - 2;
  uint8_t d[1024];
  d[root] = 0;
  int deepest = 0;
  for (int k = root - 1; k >= 0; --k) {
    d[k] = (uint8_t)(d[parent[k]] + 1);
    if (k < m && d[k] > deepest) deepest = d[k];
  }
  memcpy(depth_sorted, d, (size_t)m);
  return deepest;
}

}  // namespace

int MakeCodeLengths(const uint32_t* freq, int n, int limit, uint8_t* lengths) {
  memset(lengths, 0, (size_t)n);
  // Sort keys: the frequency above the symbol, so that equal frequencies
  // keep symbol order.
  uint64_t key[512];
  int m = 0;
  for (int s = 0; s < n; ++s)
    if (freq[s]) key[m++] = (uint64_t)freq[s] << 10 | (uint64_t)s;
  if (m == 0) return 0;
  if (m == 1) {
    lengths[key[0] & 1023] = 1;
    return 1;
  }
  std::sort(key, key + m);
  int order[512];
  uint32_t w[512];
  for (int i = 0; i < m; ++i) {
    order[i] = (int)(key[i] & 1023);
    w[i] = (uint32_t)(key[i] >> 10);
  }
  uint8_t depth[512];
  while (BuildDepths(w, m, depth) > limit) {
    for (int i = 0; i < m; ++i) w[i] = (w[i] >> 1) | 1;
  }
  for (int i = 0; i < m; ++i) lengths[order[i]] = depth[i];
  return m;
}

void MakeCanonicalCodes(const uint8_t* lengths, int n, uint16_t* codes) {
  uint32_t count[MAX_CODE_BITS + 2] = {0};
  for (int s = 0; s < n; ++s) count[lengths[s]]++;
  count[0] = 0;
  uint32_t next[MAX_CODE_BITS + 2];
  uint32_t code = 0;
  for (int len = 1; len <= MAX_CODE_BITS; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  for (int s = 0; s < n; ++s) codes[s] = lengths[s] ? (uint16_t)next[lengths[s]]++ : 0;
}

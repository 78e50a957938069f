// Huffman code lengths by the two-queue method, done in place over the
// used symbols' frequencies sorted in ascending order (the method of Moffat
// and Katajainen: one array holds the weights, then the parents, then the
// depths). When the tree is deeper than the limit, the frequencies are
// flattened (halved, never to zero) and the tree is built again; that keeps
// every code complete, which strict decoders insist on, and costs little
// since it is rare with blocks of at most 65535 codes.
//
// Block pricing calls this for every candidate block, so it allocates
// nothing and sorts by counting rather than by comparison.
#include "pack/huffman.h"

#include <algorithm>
#include <string.h>

namespace {

// Replaces the m >= 2 weights a[] (ascending) with the depths of their
// leaves in the two-queue tree: of two equal weights a leaf is taken before
// an inner node, and a lighter leaf is never shallower than a heavier one.
// Returns the largest depth. Word: wider than the weights' sum; a[] has
// room for m + 1.
template <typename Word>
int BuildDepths(Word* a, int m) {
  // Left to right: each inner node's weight, then its parent's index in the
  // slot of each inner child.
  // a[m] is a sentinel heavier than any node, in place of a test for the
  // end of the leaves when taking a first child.
  a[m] = (Word)~(Word)0;
  a[0] += a[1];
  int root = 0, leaf = 2;
  for (int next = 1; next < m - 1; ++next) {
    if (a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = (Word)next;
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= m || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = (Word)next;
    } else {
      a[next] += a[leaf++];
    }
  }
  // Right to left: the inner nodes' depths.
  a[m - 2] = 0;
  for (int k = m - 3; k >= 0; --k) a[k] = a[a[k]] + 1;
  // Right to left: the leaves' depths, as many at each depth as the inner
  // nodes above leave room for, the heaviest leaves the shallowest.
  int avail = 1, used = 0, depth = 0, inner = m - 2, next = m - 1;
  while (avail > 0) {
    while (inner >= 0 && (int)a[inner] == depth) {
      ++used;
      --inner;
    }
    while (avail > used) {
      a[next--] = (Word)depth;
      --avail;
    }
    avail = 2 * used;
    ++depth;
    used = 0;
  }
  return (int)a[0];
}

// Stable sort of the m symbols sym[] by their frequencies: insertion for a
// few, else by bytes of the frequency from the lowest (counting).
void SortByFrequency(const uint32_t* freq, uint16_t* sym, int m, uint32_t most) {
  if (m <= 24) {
    for (int i = 1; i < m; ++i) {
      uint16_t s = sym[i];
      uint32_t f = freq[s];
      int j = i;
      for (; j > 0 && freq[sym[j - 1]] > f; --j) sym[j] = sym[j - 1];
      sym[j] = s;
    }
    return;
  }
  // As few passes of at most 8 bits as the largest frequency needs, the
  // digits as narrow as they can be (fewer buckets to clear and sum).
  const int bits = 32 - __builtin_clz(most);
  const int passes = (bits + 7) / 8;
  const int digit = (bits + passes - 1) / passes;
  const uint32_t buckets = 1u << digit, mask = buckets - 1;
  uint16_t other[512];
  uint16_t* from = sym;
  uint16_t* to = other;
  for (int p = 0; p < passes; ++p) {
    const int shift = p * digit;
    uint32_t at[256];
    memset(at, 0, buckets * sizeof at[0]);
    for (int i = 0; i < m; ++i) at[(freq[from[i]] >> shift) & mask]++;
    uint32_t sum = 0;
    for (uint32_t b = 0; b < buckets; ++b) {
      uint32_t c = at[b];
      at[b] = sum;
      sum += c;
    }
    for (int i = 0; i < m; ++i) to[at[(freq[from[i]] >> shift) & mask]++] = from[i];
    std::swap(from, to);
  }
  if (from != sym) memcpy(sym, from, (size_t)m * sizeof *sym);
}

// The lengths of the m sorted symbols, flattening their weights until the
// tree is no deeper than the limit.
template <typename Word>
uint64_t Lengths(const uint32_t* freq, const uint16_t* sym, int m, int limit, uint8_t* lengths) {
  Word a[513];
  for (int i = 0; i < m; ++i) a[i] = freq[sym[i]];
  if (BuildDepths(a, m) > limit) {
    Word w[512];
    for (int i = 0; i < m; ++i) w[i] = freq[sym[i]];
    do {
      for (int i = 0; i < m; ++i) w[i] = (w[i] >> 1) | 1;
      memcpy(a, w, (size_t)m * sizeof *a);
    } while (BuildDepths(a, m) > limit);
  }
  uint64_t bits = 0;
  for (int i = 0; i < m; ++i) {
    lengths[sym[i]] = (uint8_t)a[i];
    bits += (uint64_t)freq[sym[i]] * a[i];
  }
  return bits;
}

}  // namespace

int MakeCodeLengths(const uint32_t* freq, int n, int limit, uint8_t* lengths, uint64_t* coded_bits) {
  if (coded_bits) *coded_bits = 0;
  memset(lengths, 0, (size_t)n);
  uint16_t sym[512];
  int m = 0;
  uint32_t most = 0;
  uint64_t total = 0;
  for (int s = 0; s < n; ++s) {
    uint32_t f = freq[s];
    if (f) {
      sym[m++] = (uint16_t)s;
      most = std::max(most, f);
      total += f;
    }
  }
  if (m == 0) return 0;
  if (m == 1) {
    lengths[sym[0]] = 1;
    if (coded_bits) *coded_bits = freq[sym[0]];
    return 1;
  }
  SortByFrequency(freq, sym, m, most);
  uint64_t bits = total >= 0xFFFFFFFFu ? Lengths<uint64_t>(freq, sym, m, limit, lengths)
                              : Lengths<uint32_t>(freq, sym, m, limit, lengths);
  if (coded_bits) *coded_bits = bits;
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

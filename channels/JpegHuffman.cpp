#include "channels/JpegHuffman.h"

#include <cstring>

namespace jpeg {

void countBlock(const int16_t block[64], uint64_t acMask, int dcPred, SymbolStats* stats) {
  ++stats->dc[magnitudeBits(block[0] - dcPred)];
  int last = 0;
  while (acMask != 0) {
    const int k = __builtin_ctzll(acMask);
    acMask &= acMask - 1;
    int run = k - last - 1;
    while (run >= 16) {
      ++stats->ac[0xF0];
      run -= 16;
    }
    ++stats->ac[(run << 4) | magnitudeBits(block[k])];
    last = k;
  }
  if (last != 63) ++stats->ac[0x00];
}

void buildHuffSpec(const uint32_t freqIn[256], HuffSpec* spec) {
  // 257 entries: the extra symbol 256 with frequency 1 reserves the all-ones code point.
  constexpr int kSyms = 257;
  constexpr int kMaxLen = 64;  // path lengths of a 257-leaf tree before limiting stay below this
  uint64_t freq[kSyms];
  int codesize[kSyms];
  int others[kSyms];
  for (int i = 0; i < 256; ++i) freq[i] = freqIn[i];
  freq[256] = 1;
  for (int i = 0; i < kSyms; ++i) {
    codesize[i] = 0;
    others[i] = -1;
  }

  // Only symbols that occur take part. Each step merges the least frequent node (c1) with
  // the next least (c2); ties go to the higher symbol number, and a merged node keeps c1's
  // number. That order is total, so a binary heap picks exactly what a scan of the whole list
  // would, in O(log n) per step instead of O(n).
  auto before = [&freq](int a, int b) {
    return freq[a] < freq[b] || (freq[a] == freq[b] && a > b);
  };
  int heap[kSyms];
  int n = 0;
  auto siftDown = [&](int i) {
    const int v = heap[i];
    for (;;) {
      int c = 2 * i + 1;
      if (c >= n) break;
      if (c + 1 < n && before(heap[c + 1], heap[c])) ++c;
      if (!before(heap[c], v)) break;
      heap[i] = heap[c];
      i = c;
    }
    heap[i] = v;
  };
  for (int i = 0; i < kSyms; ++i)
    if (freq[i] != 0) heap[n++] = i;
  for (int i = n / 2 - 1; i >= 0; --i) siftDown(i);

  while (n > 1) {
    int c1 = heap[0];
    heap[0] = heap[--n];
    siftDown(0);
    int c2 = heap[0];

    freq[c1] += freq[c2];
    freq[c2] = 0;
    heap[0] = c1;  // c1 replaces c2 at the top; its weight only grew
    siftDown(0);
    ++codesize[c1];
    while (others[c1] >= 0) {
      c1 = others[c1];
      ++codesize[c1];
    }
    others[c1] = c2;
    ++codesize[c2];
    while (others[c2] >= 0) {
      c2 = others[c2];
      ++codesize[c2];
    }
  }

  int bits[kMaxLen + 1] = {0};
  for (int i = 0; i < kSyms; ++i)
    if (codesize[i] != 0) ++bits[codesize[i] < kMaxLen ? codesize[i] : kMaxLen];

  // Limit lengths to 16: move pairs of the longest codes up, splitting a shorter code.
  for (int i = kMaxLen; i > 16; --i) {
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      bits[i - 1] += 1;
      bits[j + 1] += 2;
      bits[j] -= 1;
    }
  }
  // Drop the reserved symbol's code, one of the longest.
  int i = 16;
  while (i > 0 && bits[i] == 0) --i;
  if (i > 0) --bits[i];

  std::memset(spec->bits, 0, sizeof spec->bits);
  for (int l = 1; l <= 16; ++l) spec->bits[l] = uint8_t(bits[l]);
  // Symbols by increasing original length, then by value (a counting sort); the limited
  // counts assign the lengths in that order.
  int start[kMaxLen + 1] = {0};
  for (int s = 0; s < 256; ++s)
    if (codesize[s] != 0) ++start[codesize[s] < kMaxLen ? codesize[s] : kMaxLen];
  int total = 0;
  for (int len = 1; len <= kMaxLen; ++len) {
    const int c = start[len];
    start[len] = total;
    total += c;
  }
  for (int s = 0; s < 256; ++s)
    if (codesize[s] != 0) spec->vals[start[codesize[s] < kMaxLen ? codesize[s] : kMaxLen]++] =
        uint8_t(s);
  spec->count = total;
}

bool deriveHuffCode(const HuffSpec& spec, HuffCode* out) {
  std::memset(out->size, 0, sizeof out->size);
  std::memset(out->code, 0, sizeof out->code);
  std::memset(out->packed, 0, sizeof out->packed);
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < spec.bits[len]; ++i) {
      if (k >= spec.count) return false;
      out->code[spec.vals[k]] = uint16_t(code);
      out->size[spec.vals[k]] = uint8_t(len);
      out->packed[spec.vals[k]] = (code << 8) | uint32_t(len);
      ++k;
      ++code;
    }
    // All codes of this length must fit; the all-ones code stays unused.
    if (code > (1u << len)) return false;
    code <<= 1;
  }
  return k == spec.count;
}

}  // namespace jpeg

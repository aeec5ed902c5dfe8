// The encoder's passes one by one: quantisation tables and reciprocal division, the forward
// transform, colour conversion and in-place packing, Huffman statistics and code lengths,
// and the bit writer's stuffing, padding and end limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "channels/JpegBitWriter.h"
#include "channels/JpegColor.h"
#include "channels/JpegDct.h"
#include "channels/JpegHuffman.h"
#include "channels/JpegTables.h"

using namespace jpeg;

TEST(JpegTables, QualityScalingFollowsTheFormulaAndClamps) {
  uint8_t t[64];
  ASSERT_TRUE(scaleQuantTable(kBaseLuma, 50, t));
  EXPECT_EQ(0, std::memcmp(t, kBaseLuma, 64));  // S = 100 leaves the values alone
  ASSERT_TRUE(scaleQuantTable(kBaseLuma, 90, t));
  EXPECT_EQ(t[0], 3);  // 16 x 20 = 320 -> (320 + 50) / 100 = 3
  ASSERT_TRUE(scaleQuantTable(kBaseChroma, 10, t));
  EXPECT_EQ(t[63], 255);  // 99 x 500 clamps to 255
  ASSERT_TRUE(scaleQuantTable(kBaseLuma, 100, t));
  for (uint8_t v : t) EXPECT_EQ(v, 1);  // S = 0 clamps up to 1
  ASSERT_TRUE(scaleQuantTable(kBaseLuma, 1, t));
  EXPECT_EQ(t[2], 255);
  EXPECT_FALSE(scaleQuantTable(kBaseLuma, 0, t));
  EXPECT_FALSE(scaleQuantTable(kBaseLuma, 101, t));
}

TEST(JpegTables, ZigzagIsAPermutationWalkingTheDiagonals) {
  bool seen[64] = {};
  for (int k = 0; k < 64; ++k) {
    ASSERT_FALSE(seen[kZigzag[k]]);
    seen[kZigzag[k]] = true;
    if (k > 0) {  // neighbours on the path differ by one step in row and/or column
      const int dr = std::abs(kZigzag[k] / 8 - kZigzag[k - 1] / 8);
      const int dc = std::abs(kZigzag[k] % 8 - kZigzag[k - 1] % 8);
      EXPECT_LE(dr, 1);
      EXPECT_LE(dc, 1);
    }
  }
}

TEST(JpegTables, ReciprocalQuantiserEqualsRoundedDivisionOverTheWholeRange) {
  // Every divisor the tables can produce (8 x 1..255) against every transform output.
  for (unsigned q = 1; q <= 255; ++q) {
    const unsigned d = 8 * q;
    uint16_t recip, corr, scale;
    divisorFactors(d, &recip, &corr, &scale);
    for (int x = -32768; x <= 32767; ++x) {
      const int ax = x < 0 ? -x : x;
      const int expect = (ax + int(d / 2)) / int(d);
      ASSERT_EQ(quantise(x, recip, corr, scale), x < 0 ? -expect : expect)
          << "x " << x << " divisor " << d;
    }
  }
}

namespace {

// Orthonormal 2-D DCT in double precision, scaled by 8 as the integer transform leaves it.
void referenceDct(const uint8_t* src, int stride, double out[64]) {
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v) {
      double s = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          s += (src[y * stride + x] - 128.0) * std::cos((2 * y + 1) * u * M_PI / 16) *
               std::cos((2 * x + 1) * v * M_PI / 16);
      const double cu = u == 0 ? std::sqrt(0.5) : 1, cv = v == 0 ? std::sqrt(0.5) : 1;
      out[u * 8 + v] = 8 * 0.25 * cu * cv * s;
    }
}

std::vector<std::vector<uint8_t>> testBlocks() {
  std::vector<std::vector<uint8_t>> blocks;
  std::mt19937 rng(42);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> b(64);
    for (auto& v : b) v = uint8_t(rng());
    blocks.push_back(b);
  }
  // The extremes that drive the 16-bit sums of the SIMD code to their limits.
  blocks.push_back(std::vector<uint8_t>(64, 0));
  blocks.push_back(std::vector<uint8_t>(64, 255));
  std::vector<uint8_t> checker(64), stripes(64), half(64);
  for (int i = 0; i < 64; ++i) {
    checker[i] = ((i / 8 + i % 8) & 1) ? 255 : 0;
    stripes[i] = (i % 8) < 4 ? 255 : 0;
    half[i] = (i / 8) < 4 ? 0 : 255;
  }
  blocks.push_back(checker);
  blocks.push_back(stripes);
  blocks.push_back(half);
  for (int k = 0; k < 64; ++k) {  // each basis pattern at full swing
    std::vector<uint8_t> b(64);
    for (int i = 0; i < 64; ++i) {
      const double c = std::cos((2 * (i / 8) + 1) * (k / 8) * M_PI / 16) *
                       std::cos((2 * (i % 8) + 1) * (k % 8) * M_PI / 16);
      b[i] = c >= 0 ? 255 : 0;
    }
    blocks.push_back(b);
  }
  return blocks;
}

}  // namespace

TEST(JpegDct, IntegerTransformStaysWithinTwoUnitsOfTheExactTransform) {
  for (const auto& b : testBlocks()) {
    int32_t got[64];
    double want[64];
    fdctIslow(b.data(), 8, got);
    referenceDct(b.data(), 8, want);
    for (int i = 0; i < 64; ++i) ASSERT_NEAR(got[i], want[i], 2.0) << "coefficient " << i;
  }
}

TEST(JpegDct, SimdAndPortableQuantisedBlocksAreIdentical) {
  FdctQuantFn fast = selectFdctQuant(false), portable = selectFdctQuant(true);
  for (int quality : {1, 50, 100}) {  // divisors from 8 up to 2040
    uint8_t luma[64];
    ASSERT_TRUE(scaleQuantTable(kBaseLuma, quality, luma));
    QuantDivisors q;
    buildDivisors(luma, &q);
    for (const auto& b : testBlocks()) {
      // Stride wider than the block, as in a plane.
      std::vector<uint8_t> plane(8 * 24, 0x55);
      for (int r = 0; r < 8; ++r) std::memcpy(&plane[r * 24 + 8], &b[r * 8], 8);
      int16_t a[64], p[64];
      const uint64_t ma = fast(&plane[8], 24, q, a), mp = portable(&plane[8], 24, q, p);
      ASSERT_EQ(0, std::memcmp(a, p, sizeof a)) << "quality " << quality;
      ASSERT_EQ(ma, mp);
      ASSERT_EQ(ma, nonzeroAcMask(p));
    }
    // Two blocks at once (AVX2 where present): each half equals the portable single block.
    const auto blocks = testBlocks();
    FdctQuantPairFn pairFn = selectFdctQuantPair(false);
    for (size_t i = 0; i + 1 < blocks.size(); ++i) {
      std::vector<uint8_t> plane(8 * 16);
      for (int r = 0; r < 8; ++r) {
        std::memcpy(&plane[r * 16], &blocks[i][r * 8], 8);
        std::memcpy(&plane[r * 16 + 8], &blocks[i + 1][r * 8], 8);
      }
      int16_t a[64], b[64], pa[64], pb[64];
      uint64_t masks[2];
      pairFn(&plane[0], &plane[8], 16, q, a, b, masks);
      const uint64_t ma = portable(&plane[0], 16, q, pa), mb = portable(&plane[8], 16, q, pb);
      ASSERT_EQ(0, std::memcmp(a, pa, sizeof a)) << "block " << i << " quality " << quality;
      ASSERT_EQ(0, std::memcmp(b, pb, sizeof b)) << "block " << i + 1 << " quality " << quality;
      ASSERT_EQ(masks[0], ma);
      ASSERT_EQ(masks[1], mb);
    }
  }
}

TEST(JpegDct, QuantisedBlockIsInZigzagOrder) {
  // A pure horizontal cosine of frequency 1 lands at natural (0,1) = zigzag 1, a vertical one
  // at natural (1,0) = zigzag 2.
  uint8_t luma[64];
  ASSERT_TRUE(scaleQuantTable(kBaseLuma, 50, luma));  // coarse enough to drop rounding noise
  QuantDivisors q;
  buildDivisors(luma, &q);
  uint8_t h[64], v[64];
  for (int i = 0; i < 64; ++i) {
    h[i] = uint8_t(128 + 100 * std::cos((2 * (i % 8) + 1) * M_PI / 16));
    v[i] = uint8_t(128 + 100 * std::cos((2 * (i / 8) + 1) * M_PI / 16));
  }
  int16_t out[64];
  for (FdctQuantFn f : {selectFdctQuant(false), selectFdctQuant(true)}) {
    const uint64_t mh = f(h, 8, q, out);
    EXPECT_GT(out[1], 10);
    EXPECT_EQ(mh, uint64_t(1) << 1);
    const uint64_t mv = f(v, 8, q, out);
    EXPECT_GT(out[2], 10);
    EXPECT_EQ(mv, uint64_t(1) << 2);
  }
}

TEST(JpegColor, FixedPointFormulasOnSinglePixelsAndBlocks) {
  // One pixel: Y truncated, chroma rounded from that pixel alone.
  uint8_t px[4] = {10, 200, 250, 0};  // B, G, R, X
  uint8_t y[1], cb[1], cr[1];
  detail::convertRowsPortable(px, nullptr, 0, 1, y, nullptr, cb, cr);
  const int yy = (kYR * 250 + kYG * 200 + kYB * 10) >> 16;
  EXPECT_EQ(y[0], yy);
  EXPECT_EQ(cb[0], 128 + int(std::floor(kCb * (10.0 - yy) / 65536 + 0.5)));
  EXPECT_EQ(cr[0], 128 + int(std::floor(kCr * (250.0 - yy) / 65536 + 0.5)));

  // 2 x 2 block of pure blue: chroma from the mean. Cb = 128 + (255 - 29) / 1.772 = 255.5 lies
  // beyond the byte, so it holds only when the result is limited (unlimited it wraps to 0).
  uint8_t rows[2][8] = {{255, 0, 0, 0, 255, 0, 0, 0}, {255, 0, 0, 0, 255, 0, 0, 0}};
  uint8_t y0[2], y1[2];
  detail::convertRowsPortable(rows[0], rows[1], 0, 2, y0, y1, cb, cr);
  EXPECT_EQ(y0[0], 29);  // 7471 x 255 >> 16
  EXPECT_EQ(cb[0], 255);
  EXPECT_EQ(cr[0], 107);  // 128 + (0 - 29) / 1.402 = 107.3
  const uint8_t white[4] = {255, 255, 255, 0};
  detail::convertRowsPortable(white, nullptr, 0, 1, y, nullptr, cb, cr);
  EXPECT_EQ(y[0], 255);
  EXPECT_EQ(cb[0], 128);
  EXPECT_EQ(cr[0], 128);
}

TEST(JpegColor, ConversionPadsPlanesAndPacksRgbForEveryPath) {
  std::mt19937 rng(7);
  for (const auto& size : {std::make_pair(33, 17), std::make_pair(64, 32), std::make_pair(1, 3)}) {
    const int w = size.first, h = size.second;
    std::vector<uint8_t> pixels(size_t(w) * h * 4);
    for (auto& v : pixels) v = uint8_t(rng());
    const int pw = (w + 15) & ~15, ph = (h + 15) & ~15;
    std::vector<uint8_t> planes[2][3];
    std::vector<uint8_t> packed[2];
    for (int path = 0; path < 2; ++path) {
      planes[path][0].assign(size_t(pw) * ph, 0);
      planes[path][1].assign(size_t(pw) * ph / 4, 0);
      planes[path][2].assign(size_t(pw) * ph / 4, 0);
      Planes p;
      p.y = planes[path][0].data();
      p.cb = planes[path][1].data();
      p.cr = planes[path][2].data();
      p.yStride = pw;
      p.cStride = pw / 2;
      p.paddedWidth = pw;
      p.paddedHeight = ph;
      packed[path] = pixels;
      ASSERT_EQ(convertFrame(packed[path].data(), w, h, p, path == 1), kOk);
    }
    for (int c = 0; c < 3; ++c) EXPECT_EQ(planes[0][c], planes[1][c]) << "plane " << c;
    EXPECT_EQ(packed[0], packed[1]);
    for (size_t i = 0; i < size_t(w) * h; ++i) {
      ASSERT_EQ(packed[0][3 * i], pixels[4 * i + 2]);
      ASSERT_EQ(packed[0][3 * i + 1], pixels[4 * i + 1]);
      ASSERT_EQ(packed[0][3 * i + 2], pixels[4 * i]);
    }
    // Padding repeats the last real column and row.
    const std::vector<uint8_t>& yp = planes[0][0];
    EXPECT_EQ(yp[size_t(h - 1) * pw + pw - 1], yp[size_t(h - 1) * pw + w - 1]);
    EXPECT_EQ(yp[size_t(ph - 1) * pw + w - 1], yp[size_t(h - 1) * pw + w - 1]);
  }
}

TEST(JpegColor, RejectsMissingBuffersAndEmptySizesWithoutWriting) {
  std::vector<uint8_t> px(16 * 16 * 4, 7), y(256, 1), c(64, 1);
  Planes p;
  p.y = y.data();
  p.cb = c.data();
  p.cr = nullptr;
  p.yStride = p.paddedWidth = p.paddedHeight = 16;
  p.cStride = 8;
  EXPECT_EQ(convertFrame(px.data(), 16, 16, p, false), kErrNoBuffer);
  p.cr = c.data();
  EXPECT_EQ(convertFrame(px.data(), 0, 16, p, false), kErrBadSize);
  EXPECT_EQ(convertFrame(px.data(), 16, -1, p, false), kErrBadSize);
  EXPECT_EQ(convertFrame(px.data(), 17, 16, p, false), kErrBadSize);  // planes too small
  EXPECT_EQ(px, std::vector<uint8_t>(16 * 16 * 4, 7));
  EXPECT_EQ(y, std::vector<uint8_t>(256, 1));
}

namespace {

// Sum over codes of 2^-length, in units of 2^-16.
uint32_t kraftSum(const HuffSpec& s) {
  uint32_t sum = 0;
  for (int l = 1; l <= 16; ++l) sum += uint32_t(s.bits[l]) << (16 - l);
  return sum;
}

}  // namespace

TEST(JpegHuffman, StatisticsCountRunsZrlAndEndOfBlock) {
  int16_t block[64] = {};
  block[0] = 5;    // DC difference 5 - 2 = 3: category 2
  block[1] = -1;   // run 0, size 1
  block[20] = 3;   // run 18: one ZRL, then run 2, size 2
  block[63] = 40;  // run 42: two ZRL, then run 10, size 6; no EOB after the last position
  SymbolStats st;
  std::memset(&st, 0, sizeof st);
  countBlock(block, nonzeroAcMask(block), 2, &st);
  EXPECT_EQ(st.dc[2], 1u);
  EXPECT_EQ(st.ac[0x01], 1u);
  EXPECT_EQ(st.ac[0xF0], 3u);
  EXPECT_EQ(st.ac[0x22], 1u);
  EXPECT_EQ(st.ac[0xA6], 1u);
  EXPECT_EQ(st.ac[0x00], 0u);

  block[63] = 0;
  std::memset(&st, 0, sizeof st);
  countBlock(block, nonzeroAcMask(block), 5, &st);
  EXPECT_EQ(st.dc[0], 1u);
  EXPECT_EQ(st.ac[0x00], 1u);  // EOB
  EXPECT_EQ(st.ac[0xF0], 1u);
}

TEST(JpegHuffman, CodeLengthsAreOptimalForASmallAlphabet) {
  uint32_t freq[256] = {};
  freq[0] = 50;
  freq[1] = 25;
  freq[2] = 13;
  freq[3] = 12;
  HuffSpec s;
  buildHuffSpec(freq, &s);
  // Optimal lengths 1, 2, 3, 3; the reserved all-ones point pushes the longest to 4:
  // 1, 2, 3, 4 (with the reserved code the fifth leaf).
  EXPECT_EQ(s.count, 4);
  EXPECT_EQ(s.bits[1], 1);
  EXPECT_EQ(s.bits[2], 1);
  EXPECT_EQ(s.bits[3], 1);
  EXPECT_EQ(s.bits[4], 1);
  EXPECT_EQ(s.vals[0], 0);
  EXPECT_EQ(s.vals[3], 3);
  EXPECT_LT(kraftSum(s), 1u << 16);  // strictly: the all-ones code stays free
}

TEST(JpegHuffman, SkewedStatisticsAreLimitedToSixteenBits) {
  // Fibonacci frequencies would give a 30-bit code without the limit.
  uint32_t freq[256] = {};
  uint32_t a = 1, b = 1;
  for (int i = 0; i < 30; ++i) {
    freq[i] = a;
    const uint32_t c = a + b;
    a = b;
    b = c;
  }
  HuffSpec s;
  buildHuffSpec(freq, &s);
  EXPECT_EQ(s.count, 30);
  int total = 0;
  for (int l = 1; l <= 16; ++l) total += s.bits[l];
  EXPECT_EQ(total, 30);
  EXPECT_LT(kraftSum(s), 1u << 16);
  HuffCode code;
  ASSERT_TRUE(deriveHuffCode(s, &code));
  // The most frequent symbol has the shortest code, the rarest ones the longest.
  EXPECT_LE(code.size[29], code.size[0]);
  int longest = 0;
  for (int i = 0; i < 30; ++i) longest = std::max(longest, int(code.size[i]));
  EXPECT_EQ(longest, 16);  // limited, not merely short
  EXPECT_EQ(s.bits[16] > 0, true);
}

TEST(JpegHuffman, SingleSymbolGetsOneBitCodeZero) {
  uint32_t freq[256] = {};
  freq[0x00] = 1000;
  HuffSpec s;
  buildHuffSpec(freq, &s);
  ASSERT_EQ(s.count, 1);
  EXPECT_EQ(s.bits[1], 1);
  HuffCode c;
  ASSERT_TRUE(deriveHuffCode(s, &c));
  EXPECT_EQ(c.size[0], 1);
  EXPECT_EQ(c.code[0], 0);
}

TEST(JpegHuffman, CanonicalCodesArePrefixFreeAndImpossibleCountsAreRefused) {
  std::mt19937 rng(3);
  uint32_t freq[256] = {};
  for (int i = 0; i < 162; ++i) freq[i] = rng() % 5000 + 1;
  HuffSpec s;
  buildHuffSpec(freq, &s);
  HuffCode c;
  ASSERT_TRUE(deriveHuffCode(s, &c));
  for (int i = 0; i < 162; ++i) {
    ASSERT_GT(c.size[i], 0);
    ASSERT_LE(c.size[i], 16);
    for (int j = 0; j < 162; ++j) {
      if (i == j || c.size[j] < c.size[i]) continue;
      ASSERT_NE(c.code[j] >> (c.size[j] - c.size[i]), c.code[i]) << i << " prefixes " << j;
    }
    // No code consists of ones only.
    ASSERT_NE(c.code[i], (1u << c.size[i]) - 1);
  }
  HuffSpec bad = {};
  bad.bits[1] = 3;  // three one-bit codes cannot exist
  bad.count = 3;
  EXPECT_FALSE(deriveHuffCode(bad, &c));
}

TEST(JpegBitWriter, StuffsAfterFFAndPadsWithOnes) {
  uint8_t buf[64];
  std::memset(buf, 0xEE, sizeof buf);
  JpegBitWriter w(buf, buf + sizeof buf);
  w.put(0xFF, 8);
  w.put(0x1, 3);   // 001
  w.put(0x3, 2);   // 11 -> 00111 + pad 111 = 0x3F
  ASSERT_TRUE(w.finish());
  ASSERT_EQ(w.position() - buf, 3);
  EXPECT_EQ(buf[0], 0xFF);
  EXPECT_EQ(buf[1], 0x00);
  EXPECT_EQ(buf[2], 0x3F);
  EXPECT_EQ(buf[3], 0xEE);

  // Whole words: a word with FF bytes in it takes the careful path; others pass straight.
  uint8_t big[64];
  JpegBitWriter v(big, big + sizeof big);
  for (int i = 0; i < 8; ++i) v.put(0x12345678u, 32);
  v.put(0xFFFFFFFFu, 32);
  v.put(0xABu, 8);
  ASSERT_TRUE(v.finish());
  ASSERT_EQ(v.position() - big, 32 + 8 + 1);
  EXPECT_EQ(big[0], 0x12);
  EXPECT_EQ(big[31], 0x78);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(big[32 + 2 * i], 0xFF);
    EXPECT_EQ(big[33 + 2 * i], 0x00);
  }
  EXPECT_EQ(big[40], 0xAB);
}

TEST(JpegBitWriter, NeverWritesAtOrPastTheEnd) {
  for (size_t cap = 0; cap <= 20; ++cap) {
    uint8_t buf[64];
    std::memset(buf, 0xEE, sizeof buf);
    JpegBitWriter w(buf, buf + cap);
    for (int i = 0; i < 4; ++i) w.put(0xFFFF00FFu, 32);  // 16 bytes, 8 of them FF: 24 out
    const bool ok = w.finish();
    EXPECT_EQ(ok, cap >= 24) << cap;
    for (size_t i = cap; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xEE) << "cap " << cap;
    EXPECT_LE(size_t(w.position() - buf), cap);
  }
}

// The straightforward form of the code-length procedure: a full scan for the two least
// frequent nodes at every merge (ties to the higher symbol), then the same length limit.
// Tables are written into every picture, so the fast form must agree with it to the byte.
static void referenceHuffSpec(const uint32_t freqIn[256], HuffSpec* spec) {
  uint64_t freq[257];
  int codesize[257] = {}, others[257];
  for (int i = 0; i < 257; ++i) {
    freq[i] = i < 256 ? freqIn[i] : 1;
    others[i] = -1;
  }
  auto pick = [&](int skip) {
    int best = -1;
    for (int s = 0; s < 257; ++s)
      if (s != skip && freq[s] != 0 && (best < 0 || freq[s] <= freq[best])) best = s;
    return best;
  };
  for (;;) {
    int c1 = pick(-1), c2 = pick(c1);
    if (c2 < 0) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    for (++codesize[c1]; others[c1] >= 0; ++codesize[c1]) c1 = others[c1];
    others[c1] = c2;
    for (++codesize[c2]; others[c2] >= 0; ++codesize[c2]) c2 = others[c2];
  }
  int bits[65] = {0};
  for (int i = 0; i < 257; ++i)
    if (codesize[i]) ++bits[codesize[i]];
  for (int i = 64; i > 16; --i)
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      bits[i - 1] += 1;
      bits[j + 1] += 2;
      bits[j] -= 1;
    }
  int i = 16;
  while (i > 0 && bits[i] == 0) --i;
  if (i > 0) --bits[i];
  std::memset(spec->bits, 0, sizeof spec->bits);
  for (int l = 1; l <= 16; ++l) spec->bits[l] = uint8_t(bits[l]);
  spec->count = 0;
  for (int len = 1; len <= 64; ++len)
    for (int s = 0; s < 256; ++s)
      if (codesize[s] == len) spec->vals[spec->count++] = uint8_t(s);
}

TEST(JpegHuffman, FastCodeLengthsEqualTheFullScanIncludingTies) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    uint32_t freq[256] = {};
    // Few distinct values make many ties; some rounds are sparse, some skewed past 16 bits.
    const int used = 1 + int(rng() % 256);
    const uint32_t spread = round % 3 == 0 ? 3 : (round % 3 == 1 ? 40 : 100000);
    for (int k = 0; k < used; ++k) freq[rng() % 256] = 1 + rng() % spread;
    if (round % 10 == 0)
      for (int k = 0, f = 1; k < 40; ++k, f = f * 3 / 2 + 1) freq[k] = uint32_t(f);
    HuffSpec fast, ref;
    buildHuffSpec(freq, &fast);
    referenceHuffSpec(freq, &ref);
    ASSERT_EQ(fast.count, ref.count) << "round " << round;
    ASSERT_EQ(0, std::memcmp(fast.bits, ref.bits, sizeof fast.bits)) << "round " << round;
    ASSERT_EQ(0, std::memcmp(fast.vals, ref.vals, size_t(ref.count))) << "round " << round;
  }
}

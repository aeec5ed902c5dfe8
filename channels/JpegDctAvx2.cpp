// AVX2 forward DCT and quantiser: two blocks at once, one in each 128-bit half of the
// registers, with exactly the integer steps of the SSE2/SSSE3 code (every operation used
// works within its half). Chosen at run time when the processor has AVX2.
#include "channels/JpegDct.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// Everything below is compiled for AVX2 and has internal linkage, so no AVX2 code can stand
// in for a shared inline function elsewhere.
#pragma GCC push_options
#pragma GCC target("avx2")

namespace jpeg {

namespace {

constexpr int16_t F0298 = 2446, F0390 = 3196, F0541 = 4433, F0765 = 6270, F0899 = 7373,
                  F1175 = 9633, F1501 = 12299, F1847 = 15137, F1961 = 16069, F2053 = 16819,
                  F2562 = 20995, F3072 = 25172;

inline __m256i pair(int16_t a, int16_t b) {
  return _mm256_set1_epi32(int32_t((uint32_t(uint16_t(b)) << 16) | uint16_t(a)));
}

inline void transpose(__m256i r[8]) {
  const __m256i a0 = _mm256_unpacklo_epi16(r[0], r[1]), a1 = _mm256_unpackhi_epi16(r[0], r[1]);
  const __m256i a2 = _mm256_unpacklo_epi16(r[2], r[3]), a3 = _mm256_unpackhi_epi16(r[2], r[3]);
  const __m256i a4 = _mm256_unpacklo_epi16(r[4], r[5]), a5 = _mm256_unpackhi_epi16(r[4], r[5]);
  const __m256i a6 = _mm256_unpacklo_epi16(r[6], r[7]), a7 = _mm256_unpackhi_epi16(r[6], r[7]);
  const __m256i b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
  const __m256i b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
  const __m256i b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
  const __m256i b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
  r[0] = _mm256_unpacklo_epi64(b0, b4);
  r[1] = _mm256_unpackhi_epi64(b0, b4);
  r[2] = _mm256_unpacklo_epi64(b1, b5);
  r[3] = _mm256_unpackhi_epi64(b1, b5);
  r[4] = _mm256_unpacklo_epi64(b2, b6);
  r[5] = _mm256_unpackhi_epi64(b2, b6);
  r[6] = _mm256_unpacklo_epi64(b3, b7);
  r[7] = _mm256_unpackhi_epi64(b3, b7);
}

// a * ca + b * cb per lane in 32 bits, descaled by n and packed back to 16 bits.
template <int n>
inline __m256i madd2(__m256i a, __m256i b, __m256i coeffs) {
  const __m256i round = _mm256_set1_epi32(1 << (n - 1));
  __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), coeffs);
  __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), coeffs);
  lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), n);
  hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), n);
  return _mm256_packs_epi32(lo, hi);
}

// Sum of two pair products, descaled: (a*ca + b*cb) + (c*cc + d*cd).
template <int n>
inline __m256i madd4(__m256i lo1, __m256i hi1, __m256i a, __m256i b, __m256i coeffs) {
  const __m256i round = _mm256_set1_epi32(1 << (n - 1));
  __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), coeffs), lo1);
  __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), coeffs), hi1);
  lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), n);
  hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), n);
  return _mm256_packs_epi32(lo, hi);
}

// The 1-D pass lane-wise over x[0..7]; the same integer products as the portable pass,
// regrouped so every 16-bit sum stays in range and every product is formed in 32 bits.
template <bool kFirst>
inline void pass(__m256i x[8]) {
  constexpr int n = kFirst ? 11 : 15;
  const __m256i tmp0 = _mm256_add_epi16(x[0], x[7]), tmp7 = _mm256_sub_epi16(x[0], x[7]);
  const __m256i tmp1 = _mm256_add_epi16(x[1], x[6]), tmp6 = _mm256_sub_epi16(x[1], x[6]);
  const __m256i tmp2 = _mm256_add_epi16(x[2], x[5]), tmp5 = _mm256_sub_epi16(x[2], x[5]);
  const __m256i tmp3 = _mm256_add_epi16(x[3], x[4]), tmp4 = _mm256_sub_epi16(x[3], x[4]);
  const __m256i tmp10 = _mm256_add_epi16(tmp0, tmp3), tmp13 = _mm256_sub_epi16(tmp0, tmp3);
  const __m256i tmp11 = _mm256_add_epi16(tmp1, tmp2), tmp12 = _mm256_sub_epi16(tmp1, tmp2);

  if (kFirst) {
    x[0] = _mm256_slli_epi16(_mm256_add_epi16(tmp10, tmp11), 2);
    x[4] = _mm256_slli_epi16(_mm256_sub_epi16(tmp10, tmp11), 2);
  } else {
    const __m256i two = _mm256_set1_epi16(2);
    x[0] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(tmp10, tmp11), two), 2);
    x[4] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_sub_epi16(tmp10, tmp11), two), 2);
  }
  x[2] = madd2<n>(tmp12, tmp13, pair(F0541, F0541 + F0765));
  x[6] = madd2<n>(tmp12, tmp13, pair(F0541 - F1847, F0541));

  const __m256i z3s = _mm256_add_epi16(tmp4, tmp6), z4s = _mm256_add_epi16(tmp5, tmp7);
  const __m256i zl = _mm256_unpacklo_epi16(z3s, z4s), zh = _mm256_unpackhi_epi16(z3s, z4s);
  const __m256i c3 = pair(F1175 - F1961, F1175), c4 = pair(F1175, F1175 - F0390);
  const __m256i z3lo = _mm256_madd_epi16(zl, c3), z3hi = _mm256_madd_epi16(zh, c3);
  const __m256i z4lo = _mm256_madd_epi16(zl, c4), z4hi = _mm256_madd_epi16(zh, c4);

  x[7] = madd4<n>(z3lo, z3hi, tmp4, tmp7, pair(F0298 - F0899, -F0899));
  x[1] = madd4<n>(z4lo, z4hi, tmp4, tmp7, pair(-F0899, F1501 - F0899));
  x[5] = madd4<n>(z4lo, z4hi, tmp5, tmp6, pair(F2053 - F2562, -F2562));
  x[3] = madd4<n>(z3lo, z3hi, tmp5, tmp6, pair(-F2562, F3072 - F2562));
}

// Zigzag order again, as a constant the compiler can see through when it unrolls.
constexpr uint8_t kZz[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Shuffle masks that gather zigzag positions 8j..8j+7 from natural row i: lane l takes
// the 16-bit element of column kZz[8j + l] % 8 when that position lies in row i, else 0.
struct ZigzagShuffles {
  alignas(16) uint8_t mask[8][8][16] = {};
  uint8_t rows[8] = {};  // bit i of rows[j]: row i contributes to output vector j
  constexpr ZigzagShuffles() {
    for (int j = 0; j < 8; ++j) {
      for (int i = 0; i < 8; ++i) {
        for (int l = 0; l < 8; ++l) {
          const int n = kZz[8 * j + l];
          const bool here = n / 8 == i;
          mask[j][i][2 * l] = here ? uint8_t(2 * (n % 8)) : 0x80;
          mask[j][i][2 * l + 1] = here ? uint8_t(2 * (n % 8) + 1) : 0x80;
          if (here) rows[j] = uint8_t(rows[j] | (1u << i));
        }
      }
    }
  }
};
constexpr ZigzagShuffles kShuffles;

inline __m256i shuffleMask(int j, int i) {
  return _mm256_broadcastsi128_si256(
      _mm_load_si128(reinterpret_cast<const __m128i*>(kShuffles.mask[j][i])));
}

template <int J>
inline __m256i zigzagVector(const __m256i r[8]) {
  __m256i z = _mm256_setzero_si256();
#define TELV_ZZ_ROW(I) \
  if constexpr ((kShuffles.rows[J] >> (I)) & 1) \
    z = _mm256_or_si256(z, _mm256_shuffle_epi8(r[I], shuffleMask(J, I)));
  TELV_ZZ_ROW(0) TELV_ZZ_ROW(1) TELV_ZZ_ROW(2) TELV_ZZ_ROW(3)
  TELV_ZZ_ROW(4) TELV_ZZ_ROW(5) TELV_ZZ_ROW(6) TELV_ZZ_ROW(7)
#undef TELV_ZZ_ROW
  return z;
}

// Stores output vectors J and J + 1 of both blocks; returns their zero bits (16 per block,
// block a in the low half).
template <int J>
inline uint32_t storePair(const __m256i r[8], int16_t* outA, int16_t* outB) {
  const __m256i a = zigzagVector<J>(r), b = zigzagVector<J + 1>(r);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(outA + 8 * J), _mm256_castsi256_si128(a));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(outA + 8 * J + 8), _mm256_castsi256_si128(b));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(outB + 8 * J), _mm256_extracti128_si256(a, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(outB + 8 * J + 8), _mm256_extracti128_si256(b, 1));
  const __m256i zero = _mm256_setzero_si256();
  return uint32_t(_mm256_movemask_epi8(
      _mm256_packs_epi16(_mm256_cmpeq_epi16(a, zero), _mm256_cmpeq_epi16(b, zero))));
}

inline __m256i tableRow(const uint16_t* t) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

}  // namespace

void fdctQuantPairAvx2(const uint8_t* srcA, const uint8_t* srcB, int stride,
                       const QuantDivisors& q, int16_t* outA, int16_t* outB, uint64_t masks[2]) {
  const __m256i level = _mm256_set1_epi16(128);
  __m256i r[8];
  for (int i = 0; i < 8; ++i) {
    const __m128i rows = _mm_unpacklo_epi64(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(srcA + i * stride)),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(srcB + i * stride)));
    r[i] = _mm256_sub_epi16(_mm256_cvtepu8_epi16(rows), level);
  }
  transpose(r);
  pass<true>(r);
  transpose(r);
  pass<false>(r);

  for (int u = 0; u < 8; ++u) {
    const __m256i x = r[u];
    const __m256i sign = _mm256_srai_epi16(x, 15);
    __m256i t = _mm256_abs_epi16(x);
    t = _mm256_add_epi16(t, tableRow(q.corr + u * 8));
    t = _mm256_mulhi_epu16(t, tableRow(q.recip + u * 8));
    t = _mm256_mulhi_epu16(t, tableRow(q.scale + u * 8));
    r[u] = _mm256_sub_epi16(_mm256_xor_si256(t, sign), sign);
  }

  uint64_t zeroA = 0, zeroB = 0;
  const uint32_t z0 = storePair<0>(r, outA, outB), z1 = storePair<2>(r, outA, outB),
                 z2 = storePair<4>(r, outA, outB), z3 = storePair<6>(r, outA, outB);
  zeroA = uint64_t(z0 & 0xFFFF) | (uint64_t(z1 & 0xFFFF) << 16) | (uint64_t(z2 & 0xFFFF) << 32) |
          (uint64_t(z3 & 0xFFFF) << 48);
  zeroB = uint64_t(z0 >> 16) | (uint64_t(z1 >> 16) << 16) | (uint64_t(z2 >> 16) << 32) |
          (uint64_t(z3 >> 16) << 48);
  masks[0] = ~zeroA & ~uint64_t(1);
  masks[1] = ~zeroB & ~uint64_t(1);
}

}  // namespace jpeg

#pragma GCC pop_options

#endif

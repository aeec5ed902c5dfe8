// SIMD forward DCT and quantiser: the transform needs SSE2 only, the zigzag reordering
// byte shuffles (SSSE3), so the whole path is chosen at run time when SSSE3 is present;
// other processors use the portable transform.
#include "channels/JpegDct.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#include <tmmintrin.h>

namespace jpeg {

namespace {

constexpr int16_t F0298 = 2446, F0390 = 3196, F0541 = 4433, F0765 = 6270, F0899 = 7373,
                  F1175 = 9633, F1501 = 12299, F1847 = 15137, F1961 = 16069, F2053 = 16819,
                  F2562 = 20995, F3072 = 25172;

inline __m128i pair(int16_t a, int16_t b) {
  return _mm_set_epi16(b, a, b, a, b, a, b, a);
}

inline void transpose(__m128i r[8]) {
  const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

// a * ca + b * cb per lane in 32 bits, descaled by n and packed back to 16 bits.
template <int n>
inline __m128i madd2(__m128i a, __m128i b, __m128i coeffs) {
  const __m128i round = _mm_set1_epi32(1 << (n - 1));
  __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(a, b), coeffs);
  __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(a, b), coeffs);
  lo = _mm_srai_epi32(_mm_add_epi32(lo, round), n);
  hi = _mm_srai_epi32(_mm_add_epi32(hi, round), n);
  return _mm_packs_epi32(lo, hi);
}

// Sum of two pair products, descaled: (a*ca + b*cb) + (c*cc + d*cd).
template <int n>
inline __m128i madd4(__m128i lo1, __m128i hi1, __m128i a, __m128i b, __m128i coeffs) {
  const __m128i round = _mm_set1_epi32(1 << (n - 1));
  __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), coeffs), lo1);
  __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), coeffs), hi1);
  lo = _mm_srai_epi32(_mm_add_epi32(lo, round), n);
  hi = _mm_srai_epi32(_mm_add_epi32(hi, round), n);
  return _mm_packs_epi32(lo, hi);
}

// The 1-D pass lane-wise over x[0..7]; the same integer products as the portable pass,
// regrouped so every 16-bit sum stays in range and every product is formed in 32 bits.
template <bool kFirst>
inline void pass(__m128i x[8]) {
  constexpr int n = kFirst ? 11 : 15;
  const __m128i tmp0 = _mm_add_epi16(x[0], x[7]), tmp7 = _mm_sub_epi16(x[0], x[7]);
  const __m128i tmp1 = _mm_add_epi16(x[1], x[6]), tmp6 = _mm_sub_epi16(x[1], x[6]);
  const __m128i tmp2 = _mm_add_epi16(x[2], x[5]), tmp5 = _mm_sub_epi16(x[2], x[5]);
  const __m128i tmp3 = _mm_add_epi16(x[3], x[4]), tmp4 = _mm_sub_epi16(x[3], x[4]);
  const __m128i tmp10 = _mm_add_epi16(tmp0, tmp3), tmp13 = _mm_sub_epi16(tmp0, tmp3);
  const __m128i tmp11 = _mm_add_epi16(tmp1, tmp2), tmp12 = _mm_sub_epi16(tmp1, tmp2);

  if (kFirst) {
    x[0] = _mm_slli_epi16(_mm_add_epi16(tmp10, tmp11), 2);
    x[4] = _mm_slli_epi16(_mm_sub_epi16(tmp10, tmp11), 2);
  } else {
    const __m128i two = _mm_set1_epi16(2);
    x[0] = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(tmp10, tmp11), two), 2);
    x[4] = _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(tmp10, tmp11), two), 2);
  }
  x[2] = madd2<n>(tmp12, tmp13, pair(F0541, F0541 + F0765));
  x[6] = madd2<n>(tmp12, tmp13, pair(F0541 - F1847, F0541));

  const __m128i z3s = _mm_add_epi16(tmp4, tmp6), z4s = _mm_add_epi16(tmp5, tmp7);
  const __m128i zl = _mm_unpacklo_epi16(z3s, z4s), zh = _mm_unpackhi_epi16(z3s, z4s);
  const __m128i c3 = pair(F1175 - F1961, F1175), c4 = pair(F1175, F1175 - F0390);
  const __m128i z3lo = _mm_madd_epi16(zl, c3), z3hi = _mm_madd_epi16(zh, c3);
  const __m128i z4lo = _mm_madd_epi16(zl, c4), z4hi = _mm_madd_epi16(zh, c4);

  x[7] = madd4<n>(z3lo, z3hi, tmp4, tmp7, pair(F0298 - F0899, -F0899));
  x[1] = madd4<n>(z4lo, z4hi, tmp4, tmp7, pair(-F0899, F1501 - F0899));
  x[5] = madd4<n>(z4lo, z4hi, tmp5, tmp6, pair(F2053 - F2562, -F2562));
  x[3] = madd4<n>(z3lo, z3hi, tmp5, tmp6, pair(-F2562, F3072 - F2562));
}

}  // namespace

namespace {

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

// Output vector J of the zigzag sequence, from the rows that feed it.
template <int J>
__attribute__((target("ssse3"), always_inline)) inline __m128i zigzagVector(const __m128i r[8]) {
  __m128i z = _mm_setzero_si128();
#define TELV_ZZ_ROW(I)                                                                   \
  if constexpr ((kShuffles.rows[J] >> (I)) & 1)                                          \
    z = _mm_or_si128(z, _mm_shuffle_epi8(r[I], _mm_load_si128(reinterpret_cast<const __m128i*>( \
                                                   kShuffles.mask[J][I]))));
  TELV_ZZ_ROW(0) TELV_ZZ_ROW(1) TELV_ZZ_ROW(2) TELV_ZZ_ROW(3)
  TELV_ZZ_ROW(4) TELV_ZZ_ROW(5) TELV_ZZ_ROW(6) TELV_ZZ_ROW(7)
#undef TELV_ZZ_ROW
  return z;
}

// Stores output vectors J and J + 1 and returns their zero bits (16 bits).
template <int J>
__attribute__((target("ssse3"), always_inline)) inline uint32_t storePair(const __m128i r[8],
                                                                         int16_t* out) {
  const __m128i a = zigzagVector<J>(r), b = zigzagVector<J + 1>(r);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * J), a);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * J + 8), b);
  const __m128i zero = _mm_setzero_si128();
  return uint32_t(_mm_movemask_epi8(
      _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero))));
}

}  // namespace

__attribute__((target("ssse3"))) uint64_t fdctQuantSsse3(const uint8_t* src, int stride,
                                                         const QuantDivisors& q,
                                                         int16_t out[64]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i level = _mm_set1_epi16(128);
  __m128i r[8];
  for (int i = 0; i < 8; ++i) {
    const __m128i row = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + i * stride));
    r[i] = _mm_sub_epi16(_mm_unpacklo_epi8(row, zero), level);
  }
  transpose(r);  // r[j]: column j, lane i = row i
  pass<true>(r);  // r[j]: frequency j of every row
  transpose(r);  // r[i]: row i, lane j = frequency j
  pass<false>(r);  // r[u]: final row u, natural order

  for (int u = 0; u < 8; ++u) {
    const __m128i x = r[u];
    const __m128i sign = _mm_srai_epi16(x, 15);
    __m128i t = _mm_abs_epi16(x);
    t = _mm_add_epi16(t, _mm_loadu_si128(reinterpret_cast<const __m128i*>(q.corr + u * 8)));
    t = _mm_mulhi_epu16(t, _mm_loadu_si128(reinterpret_cast<const __m128i*>(q.recip + u * 8)));
    t = _mm_mulhi_epu16(t, _mm_loadu_si128(reinterpret_cast<const __m128i*>(q.scale + u * 8)));
    r[u] = _mm_sub_epi16(_mm_xor_si128(t, sign), sign);
  }

  const uint64_t zeroBits = uint64_t(storePair<0>(r, out)) |
                            (uint64_t(storePair<2>(r, out)) << 16) |
                            (uint64_t(storePair<4>(r, out)) << 32) |
                            (uint64_t(storePair<6>(r, out)) << 48);
  return ~zeroBits & ~uint64_t(1);
}

FdctQuantFn selectFdctQuant(bool forcePortable) {
  static const bool ssse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
  return forcePortable || !ssse3 ? fdctQuantPortable : fdctQuantSsse3;
}

namespace {
template <FdctQuantFn F>
void pairOf(const uint8_t* srcA, const uint8_t* srcB, int stride, const QuantDivisors& q,
            int16_t* outA, int16_t* outB, uint64_t masks[2]) {
  masks[0] = F(srcA, stride, q, outA);
  masks[1] = F(srcB, stride, q, outB);
}
}  // namespace

FdctQuantPairFn selectFdctQuantPair(SimdLevel level) {
  level = capToCpu(level);
  if (level >= SimdLevel::kAvx2) return fdctQuantPairAvx2;
  return level >= SimdLevel::kSsse3 ? pairOf<fdctQuantSsse3> : pairOf<fdctQuantPortable>;
}

FdctQuantPairFn selectFdctQuantPair(bool forcePortable) {
  return selectFdctQuantPair(forcePortable ? SimdLevel::kPortable : cpuSimdLevel());
}

}  // namespace jpeg

#else

namespace jpeg {
FdctQuantFn selectFdctQuant(bool) { return fdctQuantPortable; }

namespace {
void pairOfPortable(const uint8_t* srcA, const uint8_t* srcB, int stride, const QuantDivisors& q,
                    int16_t* outA, int16_t* outB, uint64_t masks[2]) {
  masks[0] = fdctQuantPortable(srcA, stride, q, outA);
  masks[1] = fdctQuantPortable(srcB, stride, q, outB);
}
}  // namespace

FdctQuantPairFn selectFdctQuantPair(bool) { return pairOfPortable; }
FdctQuantPairFn selectFdctQuantPair(SimdLevel) { return pairOfPortable; }
}  // namespace jpeg

#endif

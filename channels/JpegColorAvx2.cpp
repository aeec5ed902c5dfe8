// AVX2 colour conversion: 16 pixels of a row pair per step, the same integer steps as the
// SSE2 code; and the in-place RGB packing, 8 pixels per step. Chosen at run time when the processor has AVX2.
#include "channels/JpegColor.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// Everything below is compiled for AVX2; only convertRowsAvx2 and packRgbAvx2 are visible
// outside.
#pragma GCC push_options
#pragma GCC target("avx2")

namespace jpeg {
namespace detail {

namespace {

inline __m256i pair(int16_t a, int16_t b) {
  return _mm256_set1_epi32(int32_t((uint32_t(uint16_t(b)) << 16) | uint16_t(a)));
}

inline __m256i luma(__m256i p, __m256i& b, __m256i& r) {
  const __m256i lowByte = _mm256_set1_epi32(0xFF);
  const __m256i br = _mm256_and_si256(p, _mm256_set1_epi32(0x00FF00FF));
  const __m256i g = _mm256_and_si256(_mm256_srli_epi32(p, 8), lowByte);
  const __m256i gg = _mm256_or_si256(g, _mm256_slli_epi32(g, 16));
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(br, pair(kYB, kYR)),
                                       _mm256_madd_epi16(gg, pair(kYG / 2, kYG / 2)));
  b = _mm256_and_si256(p, lowByte);
  r = _mm256_and_si256(_mm256_srli_epi32(p, 16), lowByte);
  return _mm256_srli_epi32(sum, 16);
}

// Sums of neighbouring lanes of a (pixels 0..7) and b (8..15), in pixel-pair order.
inline __m256i pairSums(__m256i a, __m256i b) {
  const __m256i sa = _mm256_add_epi32(a, _mm256_srli_epi64(a, 32));
  const __m256i sb = _mm256_add_epi32(b, _mm256_srli_epi64(b, 32));
  const __m256i mixed = _mm256_castps_si256(_mm256_shuffle_ps(
      _mm256_castsi256_ps(sa), _mm256_castsi256_ps(sb), _MM_SHUFFLE(2, 0, 2, 0)));
  return _mm256_permute4x64_epi64(mixed, _MM_SHUFFLE(3, 1, 2, 0));
}

}  // namespace

int convertRowsAvx2(const uint8_t* row0, const uint8_t* row1, int width, uint8_t* y0,
                    uint8_t* y1, uint8_t* cb, uint8_t* cr) {
  const __m256i round = _mm256_set1_epi32(1 << 17);
  const __m256i center = _mm256_set1_epi32(128);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    __m256i b[4], r[4], y[4];
    const __m256i p[4] = {
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + 4 * x)),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + 4 * x + 32)),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + 4 * x)),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + 4 * x + 32))};
    for (int i = 0; i < 4; ++i) y[i] = luma(p[i], b[i], r[i]);

    for (int row = 0; row < 2; ++row) {
      __m256i v = _mm256_packs_epi32(y[2 * row], y[2 * row + 1]);
      v = _mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 1, 2, 0));  // 16 values in order
      v = _mm256_packus_epi16(v, v);
      v = _mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 1, 2, 0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>((row == 0 ? y0 : y1) + x),
                       _mm256_castsi256_si128(v));
    }

    const __m256i sumB = pairSums(
        _mm256_add_epi32(_mm256_sub_epi32(b[0], y[0]), _mm256_sub_epi32(b[2], y[2])),
        _mm256_add_epi32(_mm256_sub_epi32(b[1], y[1]), _mm256_sub_epi32(b[3], y[3])));
    const __m256i sumR = pairSums(
        _mm256_add_epi32(_mm256_sub_epi32(r[0], y[0]), _mm256_sub_epi32(r[2], y[2])),
        _mm256_add_epi32(_mm256_sub_epi32(r[1], y[1]), _mm256_sub_epi32(r[3], y[3])));
    const __m256i s16 = _mm256_packs_epi32(sumB, sumR);  // [B0..3 R0..3 | B4..7 R4..7]
    __m256i vb = _mm256_madd_epi16(_mm256_unpacklo_epi16(s16, s16), pair(kCb / 2, kCb / 2));
    __m256i vr =
        _mm256_madd_epi16(_mm256_unpackhi_epi16(s16, s16), pair(kCr / 2, kCr - kCr / 2));
    vb = _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(vb, round), 18), center);
    vr = _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(vr, round), 18), center);
    const __m256i c16 = _mm256_packs_epi32(vb, vr);
    __m256i c8 = _mm256_packus_epi16(c16, c16);  // dwords: B0..3 R0..3 .. | B4..7 R4..7 ..
    c8 = _mm256_permutevar8x32_epi32(c8, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5));
    const __m128i lo = _mm256_castsi256_si128(c8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + x / 2), lo);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + x / 2), _mm_srli_si128(lo, 8));
  }
  return x;
}

size_t packRgbAvx2(uint8_t* buf, size_t first, size_t count) {
  const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                         2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);  // 24 pixel bytes first
  const size_t end = first + count;
  size_t i = first;
  // Each step stores 32 bytes of which 24 are pixels; the 8 spare bytes land inside this
  // range's own output, which the next step or a narrower tail overwrites, and before any
  // pixel still to be read (3 i + 32 <= 4 (i + 8)).
  for (; 3 * i + 32 <= 3 * end && i + 8 <= end; i += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + 4 * i));
    const __m256i rgb = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, order), join);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(buf + 3 * i), rgb);
  }
  return i - first;
}

}  // namespace detail
}  // namespace jpeg

#pragma GCC pop_options

#endif

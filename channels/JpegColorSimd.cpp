// SIMD colour conversion and in-place packing. The SSE2 code runs on every x86-64 processor;
// the SSSE3 byte shuffle is chosen at run time.
#include "channels/JpegColor.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#include <tmmintrin.h>

namespace jpeg {
namespace detail {

namespace {

inline __m128i pair(int16_t a, int16_t b) { return _mm_set_epi16(b, a, b, a, b, a, b, a); }

// Luminance of 4 BGRX pixels as 32-bit lanes. 38470 does not fit a signed 16-bit factor,
// so green enters twice with half of it.
inline __m128i luma(__m128i p, __m128i& b, __m128i& r) {
  const __m128i lowByte = _mm_set1_epi32(0xFF);
  const __m128i br = _mm_and_si128(p, _mm_set1_epi32(0x00FF00FF));
  const __m128i g = _mm_and_si128(_mm_srli_epi32(p, 8), lowByte);
  const __m128i gg = _mm_or_si128(g, _mm_slli_epi32(g, 16));
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(br, pair(kYB, kYR)),
                                    _mm_madd_epi16(gg, pair(kYG / 2, kYG / 2)));
  b = _mm_and_si128(p, lowByte);
  r = _mm_and_si128(_mm_srli_epi32(p, 16), lowByte);
  return _mm_srli_epi32(sum, 16);
}

// Sums neighbouring 32-bit lanes of two vectors: [a0+a1, a2+a3, b0+b1, b2+b3].
inline __m128i pairSums(__m128i a, __m128i b) {
  const __m128i sa = _mm_add_epi32(a, _mm_srli_epi64(a, 32));
  const __m128i sb = _mm_add_epi32(b, _mm_srli_epi64(b, 32));
  return _mm_castps_si128(
      _mm_shuffle_ps(_mm_castsi128_ps(sa), _mm_castsi128_ps(sb), _MM_SHUFFLE(2, 0, 2, 0)));
}

}  // namespace

int convertRowsSse2(const uint8_t* row0, const uint8_t* row1, int x0, int width, uint8_t* y0,
                    uint8_t* y1, uint8_t* cb, uint8_t* cr) {
  static_assert(kCb % 2 == 0, "Cb factor splits into two equal halves");
  const __m128i round = _mm_set1_epi32(1 << 17);
  const __m128i center = _mm_set1_epi32(128);
  int x = x0;
  for (; x + 8 <= width; x += 8) {
    __m128i b[4], r[4], y[4];
    const __m128i p[4] = {
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + 4 * x)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + 4 * x + 16)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + 4 * x)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + 4 * x + 16))};
    for (int i = 0; i < 4; ++i) y[i] = luma(p[i], b[i], r[i]);

    const __m128i ya = _mm_packs_epi32(y[0], y[1]), yb = _mm_packs_epi32(y[2], y[3]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y0 + x), _mm_packus_epi16(ya, ya));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y1 + x), _mm_packus_epi16(yb, yb));

    // Column sums over both rows, then pairs of columns: one sum per 2 x 2 block.
    const __m128i sumB = pairSums(_mm_add_epi32(_mm_sub_epi32(b[0], y[0]), _mm_sub_epi32(b[2], y[2])),
                                  _mm_add_epi32(_mm_sub_epi32(b[1], y[1]), _mm_sub_epi32(b[3], y[3])));
    const __m128i sumR = pairSums(_mm_add_epi32(_mm_sub_epi32(r[0], y[0]), _mm_sub_epi32(r[2], y[2])),
                                  _mm_add_epi32(_mm_sub_epi32(r[1], y[1]), _mm_sub_epi32(r[3], y[3])));
    // |sum| <= 1020 fits 16 bits; each sum meets its factor as two halves in one madd.
    const __m128i s16 = _mm_packs_epi32(sumB, sumR);
    __m128i vb = _mm_madd_epi16(_mm_unpacklo_epi16(s16, s16), pair(kCb / 2, kCb / 2));
    __m128i vr = _mm_madd_epi16(_mm_unpackhi_epi16(s16, s16), pair(kCr / 2, kCr - kCr / 2));
    vb = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(vb, round), 18), center);
    vr = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(vr, round), 18), center);
    const __m128i c16 = _mm_packs_epi32(vb, vr);
    const __m128i c8 = _mm_packus_epi16(c16, c16);
    const uint32_t cbBytes = uint32_t(_mm_cvtsi128_si32(c8));
    const uint32_t crBytes = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(c8, 4)));
    std::memcpy(cb + x / 2, &cbBytes, 4);
    std::memcpy(cr + x / 2, &crBytes, 4);
  }
  return x;
}

__attribute__((target("ssse3"))) size_t packRgbSsse3(uint8_t* buf, size_t first,
                                                      size_t count) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const size_t end = first + count;
  size_t i = first;
  // Each step stores 16 bytes of which 12 are pixels; the 4 spare bytes must land inside this
  // range's own output, which the next step or the portable tail overwrites.
  for (; 3 * i + 16 <= 3 * end && i + 4 <= end; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 4 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buf + 3 * i), _mm_shuffle_epi8(v, order));
  }
  return i - first;
}

bool haveSsse3() {
  static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
  return have;
}

bool haveAvx2() {
  static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return have;
}

}  // namespace detail
}  // namespace jpeg

#else

namespace jpeg {
namespace detail {
int convertRowsSse2(const uint8_t*, const uint8_t*, int x0, int, uint8_t*, uint8_t*,
                    uint8_t*, uint8_t*) {
  return x0;
}
int convertRowsAvx2(const uint8_t*, const uint8_t*, int, uint8_t*, uint8_t*, uint8_t*,
                    uint8_t*) {
  return 0;
}
bool haveAvx2() { return false; }
size_t packRgbAvx2(uint8_t*, size_t, size_t) { return 0; }
size_t packRgbSsse3(uint8_t*, size_t, size_t) { return 0; }
bool haveSsse3() { return false; }
}  // namespace detail
}  // namespace jpeg

#endif

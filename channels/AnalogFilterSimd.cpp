// SSE2 form of the analog frame smoothing: four pixels per step, the same per-byte truncating
// halvings as the portable code.
#include "channels/AnalogFilter.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>

namespace analog {
namespace detail {

namespace {

inline __m128i halve(__m128i a, __m128i b) {
  const __m128i half = _mm_and_si128(_mm_srli_epi16(_mm_xor_si128(a, b), 1), _mm_set1_epi8(0x7F));
  return _mm_add_epi8(_mm_and_si128(a, b), half);
}

}  // namespace

int smoothRowSse2(uint32_t* row, const uint32_t* next, int x0, int width) {
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  int x = x0;
  // Pixels x .. x+4 are read; x+4 must exist. Writing x .. x+3 leaves x+4 for the next step
  // still unchanged, so the in-place pass reads only original pixels.
  for (; x + 5 <= width; x += 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + 1));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next + x));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next + x + 1));
    const __m128i v = _mm_or_si128(halve(halve(a, b), halve(c, d)), alpha);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), v);
  }
  return x;
}

bool haveAvx2() {
  static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return have;
}

}  // namespace detail
}  // namespace analog

#else

namespace analog {
namespace detail {
int smoothRowSse2(uint32_t*, const uint32_t*, int x0, int) { return x0; }
int smoothRowAvx2(uint32_t*, const uint32_t*, int x0, int) { return x0; }
bool haveAvx2() { return false; }
}  // namespace detail
}  // namespace analog

#endif

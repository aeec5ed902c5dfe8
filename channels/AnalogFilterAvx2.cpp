// AVX2 form of the analog frame smoothing: eight pixels per step, the same per-byte truncating
// halvings as the portable code. Chosen at run time when the processor has AVX2.
#include "channels/AnalogFilter.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// Everything below is compiled for AVX2; only smoothRowAvx2 is visible outside.
#pragma GCC push_options
#pragma GCC target("avx2")

namespace analog {
namespace detail {

namespace {

inline __m256i halve(__m256i a, __m256i b) {
  const __m256i half =
      _mm256_and_si256(_mm256_srli_epi16(_mm256_xor_si256(a, b), 1), _mm256_set1_epi8(0x7F));
  return _mm256_add_epi8(_mm256_and_si256(a, b), half);
}

}  // namespace

int smoothRowAvx2(uint32_t* row, const uint32_t* next, int x0, int width) {
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  int x = x0;
  // As in the SSE2 code: pixel x+8 is read but only x .. x+7 written.
  for (; x + 9 <= width; x += 8) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x + 1));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next + x));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next + x + 1));
    const __m256i v = _mm256_or_si256(halve(halve(a, b), halve(c, d)), alpha);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x), v);
  }
  return x;
}

}  // namespace detail
}  // namespace analog

#pragma GCC pop_options

#endif

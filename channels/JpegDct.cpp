#include "channels/JpegDct.h"

namespace jpeg {

namespace {

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;

constexpr int32_t F0298 = 2446, F0390 = 3196, F0541 = 4433, F0765 = 6270, F0899 = 7373,
                  F1175 = 9633, F1501 = 12299, F1847 = 15137, F1961 = 16069, F2053 = 16819,
                  F2562 = 20995, F3072 = 25172;

inline int32_t descale(int32_t x, int n) { return (x + (int32_t(1) << (n - 1))) >> n; }

// One 1-D pass over 8 values p[0], p[s], ..., p[7s]. Pass 1 leaves results scaled by 2^2
// (guard bits); pass 2 removes them. The level shift is folded into the DC term of pass 1.
template <bool kFirst>
inline void pass(int32_t* p, int s) {
  const int32_t tmp0 = p[0] + p[7 * s], tmp7 = p[0] - p[7 * s];
  const int32_t tmp1 = p[s] + p[6 * s], tmp6 = p[s] - p[6 * s];
  const int32_t tmp2 = p[2 * s] + p[5 * s], tmp5 = p[2 * s] - p[5 * s];
  const int32_t tmp3 = p[3 * s] + p[4 * s], tmp4 = p[3 * s] - p[4 * s];

  const int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
  const int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
  const int oddShift = kFirst ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;

  if (kFirst) {
    p[0] = (tmp10 + tmp11 - 8 * 128) * (1 << kPass1Bits);
    p[4 * s] = (tmp10 - tmp11) * (1 << kPass1Bits);
  } else {
    p[0] = descale(tmp10 + tmp11, kPass1Bits);
    p[4 * s] = descale(tmp10 - tmp11, kPass1Bits);
  }
  const int32_t z1e = (tmp12 + tmp13) * F0541;
  p[2 * s] = descale(z1e + tmp13 * F0765, oddShift);
  p[6 * s] = descale(z1e - tmp12 * F1847, oddShift);

  const int32_t z1 = (tmp4 + tmp7) * -F0899;
  const int32_t z2 = (tmp5 + tmp6) * -F2562;
  int32_t z3 = (tmp4 + tmp6) * -F1961;
  int32_t z4 = (tmp5 + tmp7) * -F0390;
  const int32_t z5 = (tmp4 + tmp5 + tmp6 + tmp7) * F1175;
  z3 += z5;
  z4 += z5;
  p[7 * s] = descale(tmp4 * F0298 + z1 + z3, oddShift);
  p[5 * s] = descale(tmp5 * F2053 + z2 + z4, oddShift);
  p[3 * s] = descale(tmp6 * F3072 + z2 + z3, oddShift);
  p[1 * s] = descale(tmp7 * F1501 + z1 + z4, oddShift);
}

}  // namespace

void fdctIslow(const uint8_t* src, int stride, int32_t out[64]) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) out[r * 8 + c] = src[r * stride + c];
  for (int r = 0; r < 8; ++r) pass<true>(out + r * 8, 1);
  for (int c = 0; c < 8; ++c) pass<false>(out + c, 8);
}

uint64_t nonzeroAcMask(const int16_t block[64]) {
  uint64_t m = 0;
  for (int k = 1; k < 64; ++k) m |= uint64_t(block[k] != 0) << k;
  return m;
}

uint64_t fdctQuantPortable(const uint8_t* src, int stride, const QuantDivisors& q,
                           int16_t out[64]) {
  int32_t c[64];
  fdctIslow(src, stride, c);
  // Quantise in natural order (straight runs the compiler can vectorise), then reorder.
  int16_t v[64];
  for (int n = 0; n < 64; ++n) v[n] = quantise(c[n], q.recip[n], q.corr[n], q.scale[n]);
  uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) {
    const int16_t x = v[kZigzag[k]];
    out[k] = x;
    mask |= uint64_t(x != 0) << k;
  }
  return mask & ~uint64_t(1);
}

}  // namespace jpeg

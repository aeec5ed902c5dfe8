#include "channels/JpegTables.h"

namespace jpeg {

const uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

const uint8_t kBaseLuma[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

const uint8_t kBaseChroma[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

bool scaleQuantTable(const uint8_t base[64], int quality, uint8_t out[64]) {
  if (quality < kMinQuality || quality > kMaxQuality) return false;
  const long s = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  for (int i = 0; i < 64; ++i) {
    long v = (long(base[i]) * s + 50) / 100;
    out[i] = uint8_t(v < 1 ? 1 : (v > 255 ? 255 : v));
  }
  return true;
}

void divisorFactors(unsigned d, uint16_t* recip, uint16_t* corr, uint16_t* scale) {
  // r = 16 + floor(log2 d) keeps the reciprocal below 2^16; rounding the reciprocal down and
  // nudging the correction (or rounding it up) makes the product exact over the 16-bit range.
  unsigned b = 0;
  while ((d >> (b + 1)) != 0) ++b;
  unsigned r = 16 + b;
  uint32_t fq = (uint32_t(1) << r) / d;
  const uint32_t fr = (uint32_t(1) << r) % d;
  uint32_t c = d / 2;
  if (fr == 0) {  // power of two: halve so the reciprocal fits
    fq >>= 1;
    --r;
  } else if (fr <= d / 2) {
    ++c;
  } else {
    ++fq;
  }
  *recip = uint16_t(fq);
  *corr = uint16_t(c);
  *scale = uint16_t(uint32_t(1) << (32 - r));
}

void buildDivisors(const uint8_t zigzagTable[64], QuantDivisors* out) {
  for (int k = 0; k < 64; ++k) {
    const int n = kZigzag[k];
    divisorFactors(8u * zigzagTable[k], &out->recip[n], &out->corr[n], &out->scale[n]);
  }
}

}  // namespace jpeg

#pragma once
// Fixed tables of the baseline encoder and the quantisation set-up built from them once per
// quality. Pure functions over caller-owned arrays; any thread may call them.
#include <cstdint>

namespace jpeg {

// kZigzag[k] is the natural (row-major) index of the coefficient at zigzag position k.
extern const uint8_t kZigzag[64];

// Example tables of the baseline standard (luminance, chrominance), row-major. The encoder
// writes these 64 values, scaled, as the table in zigzag sequence: entry k quantises the
// coefficient at zigzag position k. Decoders read the segment the same way, so the pictures
// decode correctly; the effective matrix is simply these values laid along the zigzag path.
extern const uint8_t kBaseLuma[64];
extern const uint8_t kBaseChroma[64];

constexpr int kMinQuality = 1;
constexpr int kMaxQuality = 100;

// Scales a base table by quality: S = 5000 / Q below 50, else 200 - 2Q; each entry becomes
// (v * S + 50) / 100 clamped to 1..255. False (out untouched) for a quality outside 1..100.
bool scaleQuantTable(const uint8_t base[64], int quality, uint8_t out[64]);

// Quantisation by multiplication: for a divisor d (8 times the table entry, because the
// forward DCT leaves its results scaled by 8) the rounded quotient (|x| + d/2) / d is computed
// as ((|x| + corr) * recip >> 16) * scale >> 16 with 16-bit factors, the form SIMD multiplies
// (high half of 16 x 16) take. Arrays are in natural coefficient order.
struct QuantDivisors {
  uint16_t recip[64];
  uint16_t corr[64];
  uint16_t scale[64];
};

// One divisor's factors; d must lie in 8..2040 (8 x 1..255).
void divisorFactors(unsigned d, uint16_t* recip, uint16_t* corr, uint16_t* scale);

// Factors for a quantisation table given in zigzag sequence (as written to the segment).
void buildDivisors(const uint8_t zigzagTable[64], QuantDivisors* out);

// The portable quantiser; the SIMD paths compute exactly the same function.
inline int16_t quantise(int x, uint16_t recip, uint16_t corr, uint16_t scale) {
  const unsigned ax = unsigned(x < 0 ? -x : x);
  const unsigned t = (((ax + corr) & 0xFFFFu) * recip) >> 16;
  const int q = int((t * scale) >> 16);
  return int16_t(x < 0 ? -q : q);
}

}  // namespace jpeg

#pragma once
// Huffman coding of the baseline encoder: symbol statistics of quantised blocks, optimal
// code lengths limited to 16 bits (the procedure of the coding standard's annex on optimal
// tables), and the encoding table derived from them. Pure functions over caller-owned data;
// any thread may call them.
#include <cstdint>

namespace jpeg {

// Number of magnitude bits of v (0 for 0): the category of a DC difference or AC value.
inline int magnitudeBits(int v) {
  const unsigned a = unsigned(v < 0 ? -v : v);
  return a == 0 ? 0 : 32 - __builtin_clz(a);
}

// Counters of the four statistics tables: DC and AC symbols of one component class.
struct SymbolStats {
  uint32_t dc[256];
  uint32_t ac[256];
};

// Counts the DC difference and the AC run/size symbols (with ZRL and EOB) of one block in
// zigzag order; acMask has bit k set for every non-zero AC coefficient k (1..63).
void countBlock(const int16_t block[64], uint64_t acMask, int dcPred, SymbolStats* stats);

// Symbol tokens: the statistics pass records every symbol it counts, so the writing pass is
// table look-ups and bit writes without a second walk over the coefficients. One token is
// value bits << 16 | table << 8 | symbol, with table 0..3 = luminance DC, luminance AC,
// chrominance DC, chrominance AC; the number of value bits is the symbol's low nibble (a DC
// symbol is the bit count itself, 0..11). A block gives at most kMaxTokensPerBlock tokens:
// DC, 63 AC values, and an end-of-block or zero-run symbol only in place of zeros.
constexpr int kMaxTokensPerBlock = 64;
constexpr uint32_t kLumaTables = 0, kChromaTables = 2;  // DC table number; AC is one more

// Counts one block (as countBlock) and appends its tokens at out; returns the new end.
// tables is kLumaTables or kChromaTables; stats is that class's counters.
inline uint32_t* tokenizeBlock(const int16_t block[64], uint64_t acMask, int dcPred,
                               uint32_t tables, SymbolStats* stats, uint32_t* out) {
  const auto valueBits = [](int v, int nbits) {
    // Negative values are sent as the low bits of value - 1 (one's complement).
    return (uint32_t(v < 0 ? v - 1 : v) & ((1u << nbits) - 1)) << 16;
  };
  const int diff = block[0] - dcPred;
  int nbits = magnitudeBits(diff);
  ++stats->dc[nbits];
  *out++ = valueBits(diff, nbits) | (tables << 8) | uint32_t(nbits);
  const uint32_t ac = (tables + 1) << 8;
  int last = 0;
  while (acMask != 0) {
    const int k = __builtin_ctzll(acMask);
    acMask &= acMask - 1;
    int run = k - last - 1;
    while (run >= 16) {
      ++stats->ac[0xF0];
      *out++ = ac | 0xF0;
      run -= 16;
    }
    const int v = block[k];
    const int sign = v >> 31;  // -1 for a negative value, else 0
    // v is not zero here, so the bit count needs no zero test; v + sign is v - 1 when negative.
    nbits = 32 - __builtin_clz(unsigned((v ^ sign) - sign));
    const uint32_t symbol = uint32_t(run << 4 | nbits);
    ++stats->ac[symbol];
    *out++ = ((uint32_t(v + sign) & ((1u << nbits) - 1)) << 16) | ac | symbol;
    last = k;
  }
  if (last != 63) {
    ++stats->ac[0x00];
    *out++ = ac;
  }
  return out;
}

// A table as it goes into a DHT segment: counts of codes per length 1..16 and the symbols in
// code order.
struct HuffSpec {
  uint8_t bits[17];  // bits[l] = number of codes of length l; bits[0] unused
  uint8_t vals[256];
  int count;  // number of symbols
};

// Builds optimal code lengths from 256 frequencies (no code of all 1 bits, none longer than
// 16 bits). Symbols of frequency 0 get no code.
void buildHuffSpec(const uint32_t freq[256], HuffSpec* spec);

// Encoding table: code and length of each symbol (length 0: the symbol has no code).
struct HuffCode {
  uint16_t code[256];
  uint8_t size[256];
  uint32_t packed[256];  // code << 8 | size: one load per symbol in the scan loop
};

// Derives the canonical codes of a spec. False when the counts describe an impossible code.
bool deriveHuffCode(const HuffSpec& spec, HuffCode* out);

}  // namespace jpeg

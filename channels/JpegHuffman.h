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

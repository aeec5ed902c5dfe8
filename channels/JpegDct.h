#pragma once
// Forward DCT and quantisation of one 8x8 block: accurate integer transform (13-bit
// constants, two guard bits between the passes), quantised with the reciprocal factors of
// JpegTables.h and stored in zigzag sequence. Pure functions; any thread may call them.
//
// Every path (portable, SSE2) returns bit-identical coefficients: the SIMD code only
// regroups the same integer products, it never rounds differently.
#include <cstdint>

#include "channels/JpegSimd.h"
#include "channels/JpegTables.h"

namespace jpeg {

// Transforms the samples src[row * stride + col] (level-shifted by 128 inside), quantises them
// and writes out[k] for zigzag position k. Returns a mask whose bit k (1..63) is set when the
// AC coefficient out[k] is non-zero; bit 0 is always clear.
using FdctQuantFn = uint64_t (*)(const uint8_t* src, int stride, const QuantDivisors& q,
                                 int16_t out[64]);

uint64_t fdctQuantPortable(const uint8_t* src, int stride, const QuantDivisors& q,
                           int16_t out[64]);

// Unquantised transform (outputs scaled by 8, natural order), for tests of the transform.
void fdctIslow(const uint8_t* src, int stride, int32_t out[64]);

// The best transform this processor runs; forcePortable picks the portable one.
FdctQuantFn selectFdctQuant(bool forcePortable);

// Two blocks of the same stride and quantiser at once (the two upper or lower luminance
// blocks of a macroblock, or its Cb and Cr blocks): masks[0] for block a, masks[1] for b.
using FdctQuantPairFn = void (*)(const uint8_t* srcA, const uint8_t* srcB, int stride,
                                 const QuantDivisors& q, int16_t* outA, int16_t* outB,
                                 uint64_t masks[2]);
FdctQuantPairFn selectFdctQuantPair(bool forcePortable);
// The transform of the given level (capped by the processor): AVX2 pairs, SSSE3 single
// blocks, else portable (SSE2 alone has no transform of its own).
FdctQuantPairFn selectFdctQuantPair(SimdLevel level);

#if defined(__x86_64__) || defined(__i386__)
// Needs AVX2; call only through selectFdctQuantPair.
void fdctQuantPairAvx2(const uint8_t* srcA, const uint8_t* srcB, int stride,
                       const QuantDivisors& q, int16_t* outA, int16_t* outB, uint64_t masks[2]);
#endif

// Mask of non-zero AC entries of a zigzag block (bit 0 clear).
uint64_t nonzeroAcMask(const int16_t block[64]);

}  // namespace jpeg

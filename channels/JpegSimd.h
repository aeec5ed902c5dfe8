#pragma once
// Instruction-set levels of the encoder's vectorised code. Every level gives bit-identical
// output; a lower one exists so the code of each level can be run and compared on a machine
// that has a higher one.
//
// TELVGATE_JPEG_SIMD=portable|sse2|ssse3|avx2 caps the level every new encoder uses (the
// lower of it and what the processor has); the older TELVGATE_JPEG_PORTABLE=1 means portable.
// Pure functions; any thread may call them.
namespace jpeg {

// Ordered: each level includes the ones below it.
enum class SimdLevel { kPortable = 0, kSse2 = 1, kSsse3 = 2, kAvx2 = 3 };

// The highest level this processor runs.
SimdLevel cpuSimdLevel();
// The lower of `wanted` and cpuSimdLevel().
SimdLevel capToCpu(SimdLevel wanted);
// "portable", "sse2", "ssse3" or "avx2" (exact, lower case); false for anything else.
bool parseSimdLevel(const char* text, SimdLevel* out);
const char* simdLevelName(SimdLevel level);
// The level the environment asks for, capped by the processor; the processor's best when the
// environment says nothing (or nothing readable).
SimdLevel defaultSimdLevel();

}  // namespace jpeg

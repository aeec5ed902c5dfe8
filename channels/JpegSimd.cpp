#include "channels/JpegSimd.h"

#include <cstdlib>
#include <cstring>

#include "channels/JpegColor.h"

namespace jpeg {

SimdLevel cpuSimdLevel() {
#if defined(__x86_64__) || defined(__i386__)
  static const SimdLevel level = [] {
    __builtin_cpu_init();
    if (detail::haveAvx2()) return SimdLevel::kAvx2;
    if (detail::haveSsse3()) return SimdLevel::kSsse3;
    if (__builtin_cpu_supports("sse2")) return SimdLevel::kSse2;
    return SimdLevel::kPortable;
  }();
  return level;
#else
  return SimdLevel::kPortable;
#endif
}

SimdLevel capToCpu(SimdLevel wanted) {
  const SimdLevel cpu = cpuSimdLevel();
  return int(wanted) < int(cpu) ? wanted : cpu;
}

bool parseSimdLevel(const char* text, SimdLevel* out) {
  if (text == nullptr) return false;
  static const SimdLevel kAll[] = {SimdLevel::kPortable, SimdLevel::kSse2, SimdLevel::kSsse3,
                                   SimdLevel::kAvx2};
  for (SimdLevel l : kAll) {
    if (std::strcmp(text, simdLevelName(l)) == 0) {
      *out = l;
      return true;
    }
  }
  return false;
}

const char* simdLevelName(SimdLevel level) {
  switch (level) {
    case SimdLevel::kPortable: return "portable";
    case SimdLevel::kSse2: return "sse2";
    case SimdLevel::kSsse3: return "ssse3";
    case SimdLevel::kAvx2: return "avx2";
  }
  return "portable";
}

SimdLevel defaultSimdLevel() {
  SimdLevel wanted;
  if (parseSimdLevel(std::getenv("TELVGATE_JPEG_SIMD"), &wanted)) return capToCpu(wanted);
  const char* portable = std::getenv("TELVGATE_JPEG_PORTABLE");
  if (portable != nullptr && portable[0] != '\0' && portable[0] != '0') return SimdLevel::kPortable;
  return cpuSimdLevel();
}

}  // namespace jpeg

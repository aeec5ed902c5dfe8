#include "channels/AnalogFilter.h"

#include <cstring>

namespace analog {

namespace {

// Per-byte truncating mean of four packed bytes: (a & b) + ((a ^ b) >> 1), without carries
// between the bytes.
inline uint32_t halve(uint32_t a, uint32_t b) { return (a & b) + (((a ^ b) >> 1) & 0x7F7F7F7Fu); }

}  // namespace

namespace detail {

int smoothRowPortable(uint32_t* row, const uint32_t* next, int x0, int width) {
  for (int x = x0; x < width; ++x) {
    const int r = x + 1 < width ? x + 1 : x;
    // row[r] is read before row[x] is written only when r == x, and then it is the same value.
    const uint32_t top = halve(row[x], row[r]);
    const uint32_t bottom = halve(next[x], next[r]);
    row[x] = halve(top, bottom) | 0xFF000000u;
  }
  return width;
}

}  // namespace detail

void smoothFrame(uint8_t* pixels, int width, int height, bool forcePortable) {
  if (!pixels || width < 1 || height < 1) return;
  const bool avx2 = !forcePortable && detail::haveAvx2();
  uint32_t* base = reinterpret_cast<uint32_t*>(pixels);
  for (int y = 0; y < height; ++y) {
    uint32_t* row = base + static_cast<size_t>(y) * width;
    const uint32_t* next = y + 1 < height ? row + width : row;
    int x = 0;
    if (!forcePortable) {
      if (avx2) x = detail::smoothRowAvx2(row, next, x, width);
      x = detail::smoothRowSse2(row, next, x, width);
    }
    detail::smoothRowPortable(row, next, x, width);
  }
}

void dropOddLines(uint8_t* pixels, int width, int height) {
  if (!pixels || width < 1) return;
  const size_t line = static_cast<size_t>(width) * 4;
  for (int y = 1; 2 * y < height; ++y)
    std::memcpy(pixels + y * line, pixels + 2 * y * line, line);
}

}  // namespace analog

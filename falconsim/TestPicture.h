#pragma once
// The simulated grabber's moving test picture, drawn in full-frame coordinates.
//
// Colour bars (their order and the moving square's colour differ per input), a grey ramp, a
// square moving with the frame counter, "B<board> I<input>" and the frame counter in large
// block digits, and the machine-readable code of TestPattern.h in the centre. Pure function of
// its arguments; any thread, on its own buffer.
#include <cstdint>

namespace falconsim {

// Fills width x height pixels (BGRX, 4 bytes each, no padding between lines).
// width and height at least 320 x 240 so the code fits.
void drawTestPicture(uint32_t* pixels, int width, int height, unsigned board, int input,
                     uint32_t frame);

// One BGRX pixel as the 32-bit word that has these bytes in memory.
inline uint32_t bgrx(uint8_t r, uint8_t g, uint8_t b) {
  const uint8_t bytes[4] = {b, g, r, 0};
  uint32_t v;
  __builtin_memcpy(&v, bytes, 4);
  return v;
}

}  // namespace falconsim

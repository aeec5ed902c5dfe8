#pragma once
// Which part of the full frame lands in the image memory, and how.
//
// Position (x, y) is the top left corner of the source area in the full frame. A scaler factor
// of 0 means no scaling in that direction: the source area is as wide (high) as the image. A
// factor f in (0, 1] makes the source area f times the full frame's width (height), scaled to
// the image's size; 1.0 therefore scales the whole frame (from position 0, 0) to the image.
// In field mode only one field is captured: each pair of image lines shows the same field line.
// Plain value type; any thread.
#include <cstdint>
#include <string>

namespace falconsim {

struct CaptureWindow {
  int x = 0, y = 0;
  int width = 768, height = 576;
  float xFactor = 0.0f, yFactor = 0.0f;
  bool field = false;

  int sourceWidth(int fullWidth) const;
  int sourceHeight(int fullHeight) const;
  // False, with the reason, when the source area leaves the full frame.
  bool fits(int fullWidth, int fullHeight, std::string* why) const;
};

// Copies the window of frame (fullWidth x fullHeight BGRX pixels) into dst, stride bytes per
// line. The window must fit.
void copyWindow(const uint32_t* frame, int fullWidth, int fullHeight, const CaptureWindow& window,
                uint8_t* dst, int stride);

}  // namespace falconsim

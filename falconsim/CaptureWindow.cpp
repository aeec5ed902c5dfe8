#include "falconsim/CaptureWindow.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace falconsim {

namespace {

int scaledExtent(float factor, int full, int image) {
  return factor > 0.0f ? int(std::lround(double(factor) * full)) : image;
}

// Source coordinate of image coordinate i: the centre of its share of the source area.
int sourceOf(int i, int image, int source) {
  return int((int64_t(2 * i + 1) * source) / (2 * int64_t(image)));
}

}  // namespace

int CaptureWindow::sourceWidth(int fullWidth) const {
  return scaledExtent(xFactor, fullWidth, width);
}

int CaptureWindow::sourceHeight(int fullHeight) const {
  return scaledExtent(yFactor, fullHeight, height);
}

bool CaptureWindow::fits(int fullWidth, int fullHeight, std::string* why) const {
  const int sw = sourceWidth(fullWidth), sh = sourceHeight(fullHeight);
  if (width < 1 || height < 1 || sw < 1 || sh < 1 || x < 0 || y < 0 || x + sw > fullWidth ||
      y + sh > fullHeight) {
    if (why)
      *why = "capture area " + std::to_string(sw) + "x" + std::to_string(sh) + " at " +
             std::to_string(x) + "," + std::to_string(y) + " lies outside the " +
             std::to_string(fullWidth) + "x" + std::to_string(fullHeight) + " frame";
    return false;
  }
  return true;
}

void copyWindow(const uint32_t* frame, int fullWidth, int fullHeight, const CaptureWindow& window,
                uint8_t* dst, int stride) {
  const int sw = window.sourceWidth(fullWidth), sh = window.sourceHeight(fullHeight);
  const bool scaleX = sw != window.width;
  std::vector<int> xmap;
  if (scaleX) {
    xmap.resize(size_t(window.width));
    for (int i = 0; i < window.width; ++i) xmap[size_t(i)] = window.x + sourceOf(i, window.width, sw);
  }
  for (int i = 0; i < window.height; ++i) {
    uint8_t* out = dst + size_t(i) * size_t(stride);
    if (window.field && (i & 1)) {  // the second line of a pair repeats the field line
      std::memcpy(out, out - stride, size_t(window.width) * 4);
      continue;
    }
    const int sy = window.y + (sh == window.height ? i : sourceOf(i, window.height, sh));
    const uint32_t* src = frame + size_t(sy) * size_t(fullWidth);
    if (!scaleX) {
      std::memcpy(out, src + window.x, size_t(window.width) * 4);
    } else {
      uint32_t* o = reinterpret_cast<uint32_t*>(out);
      for (int x = 0; x < window.width; ++x) o[x] = src[xmap[size_t(x)]];
    }
  }
}

}  // namespace falconsim

#include "channels/NoSignalPicture.h"

#include <algorithm>

#include "channels/OverlayFont.h"

namespace {

// Draws the text centred horizontally with its top at y, at the largest scale up to maxScale
// that fits the width.
void centred(overlay::Image& img, const std::string& text, int y, int maxScale, overlay::Colour c) {
  const size_t n = overlay::printable(text).size();
  int scale = maxScale;
  while (scale > 1 && overlay::textWidth(n, scale) > img.width - 16) --scale;
  overlay::drawText(img, (img.width - overlay::textWidth(n, scale)) / 2, y, text, scale, c);
}

}  // namespace

void drawNoSignalPicture(uint8_t* bgrx, int width, int height, const std::string& name,
                         uint64_t timeNs) {
  overlay::Image img{bgrx, width, height};
  overlay::fillRect(img, 0, 0, width, height, {40, 40, 48});
  const int unit = std::max(1, height / 96);  // 5 at 480 lines
  const overlay::Colour white{255, 255, 255};
  // The banner: white letters on a red band across the middle.
  const int bandHeight = overlay::textHeight(3 * unit) + 4 * unit;
  const int bandTop = (height - bandHeight) / 2;
  overlay::fillRect(img, 0, bandTop, width, bandHeight, {160, 0, 0});
  centred(img, "NO SIGNAL", bandTop + 2 * unit, 3 * unit, white);
  centred(img, name, bandTop - overlay::textHeight(unit) - 3 * unit, unit, white);
  centred(img, overlay::localTimeText(timeNs), bandTop + bandHeight + 3 * unit, unit, white);
}

bool NoSignalPicture::make(const std::string& name, uint64_t timeNs, std::vector<uint8_t>& jpeg,
                           uint32_t* sequence) {
  if (!m_ready || name != m_name) {
    m_name = name;
    m_ready = m_encoder.init(kQuality, kWidth, kHeight, kHeight, name);
    if (!m_ready) return false;
    m_pixels.resize(size_t(kWidth) * kHeight * 4);
  }
  drawNoSignalPicture(m_pixels.data(), kWidth, kHeight, name, timeNs);
  jpeg.resize(256 * 1024);  // a picture of a few plain areas and lines takes a small part of it
  size_t length = 0;
  if (!m_encoder.encode(m_pixels.data(), jpeg.data(), jpeg.size(), &length, timeNs, sequence))
    return false;
  jpeg.resize(length);
  return true;
}

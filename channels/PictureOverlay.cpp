#include "channels/PictureOverlay.h"

#include <algorithm>

namespace {

struct ModeWord {
  OverlayMode mode;
  const char* keyword;
};
const ModeWord kModes[] = {{OverlayMode::None, "none"},
                           {OverlayMode::Time, "time"},
                           {OverlayMode::NameAndTime, "nametime"}};

}  // namespace

bool overlayModeOf(const std::string& keyword, OverlayMode* mode) {
  for (const ModeWord& m : kModes)
    if (keyword == m.keyword) {
      *mode = m.mode;
      return true;
    }
  return false;
}

const char* overlayKeyword(OverlayMode mode) {
  for (const ModeWord& m : kModes)
    if (m.mode == mode) return m.keyword;
  return "none";
}

int overlayScale(int width) { return width <= 400 ? 2 : 3; }

OverlayBox drawOverlayLines(overlay::Image& img, const std::vector<std::string>& lines,
                            int scale) {
  // Margin and padding of whole dots; the gap between lines is two dots.
  const int margin = 2 * scale, pad = scale, gap = 2 * scale;
  const int pitch = (overlay::kGlyphCols + 1) * scale;
  const int room = img.width - 2 * margin - 2 * pad + scale;
  const size_t fit = room > 0 ? size_t(room / pitch) : 0;
  std::vector<std::string> shown;
  size_t widest = 0;
  for (const std::string& l : lines) {
    std::string p = overlay::printable(l);
    if (p.size() > fit) p.resize(fit);
    widest = std::max(widest, p.size());
    shown.push_back(std::move(p));
  }
  OverlayBox box;
  if (shown.empty() || widest == 0) return box;
  box.x = margin;
  box.y = margin;
  box.width = overlay::textWidth(widest, scale) + 2 * pad;
  box.height = int(shown.size()) * overlay::textHeight(scale) + int(shown.size() - 1) * gap + 2 * pad;
  overlay::fillRect(img, box.x, box.y, box.width, box.height, {0, 0, 0});
  int y = box.y + pad;
  for (const std::string& l : shown) {
    overlay::drawText(img, box.x + pad, y, l, scale, {255, 255, 255});
    y += overlay::textHeight(scale) + gap;
  }
  return box;
}

void PictureOverlay::configure(OverlayMode mode, const std::string& name) {
  m_mode = mode;
  m_name = name;
}

std::vector<std::string> PictureOverlay::lines(uint64_t timeNs) {
  if (m_mode == OverlayMode::None) return {};
  const uint64_t second = timeNs / 1000000000ull;
  if (second != m_second) {
    m_second = second;
    m_time = overlay::localTimeText(timeNs);
  }
  if (m_mode == OverlayMode::NameAndTime && !m_name.empty()) return {m_name, m_time};
  return {m_time};
}

void PictureOverlay::draw(uint8_t* bgrx, int width, int height, uint64_t timeNs) {
  if (m_mode == OverlayMode::None) return;
  overlay::Image img{bgrx, width, height};
  drawOverlayLines(img, lines(timeNs), overlayScale(width));
}

#pragma once
// The local date and time (to the second), and optionally the channel's name, that an analog
// channel draws in the top-left corner of every grabbed image before encoding it (the channel
// setting "CnlOverlay"): white text in a black box, its dots large enough to stay readable at
// quality 10 at every image size. The toolkit's overlay font (g_overlayFont) exists only with a
// display and may only be used on the GUI thread, so the channels draw with the built-in font.
//
// Threads: configure() and draw() are called with the channel's configuration lock held (the
// channel's thread draws, reconf() configures), so they never run at once.
#include <cstdint>
#include <string>
#include <vector>

#include "channels/OverlayFont.h"

enum class OverlayMode { None, Time, NameAndTime };

// The stored keywords "none", "time", "nametime"; false for any other word.
bool overlayModeOf(const std::string& keyword, OverlayMode* mode);
const char* overlayKeyword(OverlayMode mode);

// Pixels per font dot for an image of the width: 2 up to 400 pixels, else 3.
int overlayScale(int width);

// Draws the lines, one under the other, in a black box at the top-left corner; a line longer
// than the image allows is cut. Returns the box (x, y, width, height). Pure.
struct OverlayBox {
  int x = 0, y = 0, width = 0, height = 0;
};
OverlayBox drawOverlayLines(overlay::Image& img, const std::vector<std::string>& lines, int scale);

class PictureOverlay {
 public:
  void configure(OverlayMode mode, const std::string& name);
  OverlayMode mode() const { return m_mode; }
  // Draws on width x height BGRX pixels for the picture's time (nanoseconds since 1970).
  void draw(uint8_t* bgrx, int width, int height, uint64_t timeNs);
  // The lines draw() writes for that time.
  std::vector<std::string> lines(uint64_t timeNs);

 private:
  OverlayMode m_mode = OverlayMode::None;
  std::string m_name;
  uint64_t m_second = UINT64_MAX;  // the second m_time was formatted for
  std::string m_time;
};

#include "falconsim/TestPicture.h"

#include <cstdio>
#include <cstring>

#include "falconsim/BlockFont.h"
#include "falconsim/TestPattern.h"

namespace falconsim {

namespace {

struct Canvas {
  uint32_t* px;
  int w, h;

  void fill(int x, int y, int rw, int rh, uint32_t colour) {
    const int x1 = x + rw < w ? x + rw : w, y1 = y + rh < h ? y + rh : h;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    for (int yy = y; yy < y1; ++yy) {
      uint32_t* row = px + size_t(yy) * size_t(w);
      for (int xx = x; xx < x1; ++xx) row[xx] = colour;
    }
  }
};

constexpr int kTextBlock = 12;  // full-frame pixels per font block
constexpr int kTextPitch = (kGlyphCols + 1) * kTextBlock;
constexpr int kTextHeight = kGlyphRows * kTextBlock;

int textWidth(const char* text) { return int(std::strlen(text)) * kTextPitch - kTextBlock; }

// White block text on a black panel, centred horizontally, its panel's top at y.
void drawTextLine(Canvas& c, const char* text, int y) {
  const int width = textWidth(text);
  int x = (c.w - width) / 2;
  c.fill(x - kTextBlock, y, width + 2 * kTextBlock, kTextHeight + 2 * kTextBlock, bgrx(0, 0, 0));
  const uint32_t white = bgrx(255, 255, 255);
  for (const char* p = text; *p; ++p, x += kTextPitch) {
    const uint8_t* glyph = blockGlyph(*p);
    if (!glyph) continue;
    for (int row = 0; row < kGlyphRows; ++row)
      for (int col = 0; col < kGlyphCols; ++col)
        if (glyph[row] & (0x10 >> col))
          c.fill(x + col * kTextBlock, y + kTextBlock + row * kTextBlock, kTextBlock, kTextBlock,
                 white);
  }
}

void drawCode(Canvas& c, unsigned board, int input, uint32_t frame) {
  using namespace pattern;
  const int boxX = c.w / 2 - kBoxWidth / 2, boxY = c.h / 2 - kBoxHeight / 2;
  const uint32_t white = bgrx(255, 255, 255), black = bgrx(0, 0, 0);
  c.fill(boxX, boxY, kBoxWidth, kBoxHeight, white);
  const uint64_t bits = encode(board, input, frame);
  int next = kDataCells - 1;
  for (int row = 0; row < kRows; ++row) {
    for (int col = 0; col < kCols; ++col) {
      const bool isBlack =
          isTimingCell(col, row) ? timingBlack(col, row) : ((bits >> next--) & 1) != 0;
      if (isBlack)
        c.fill(boxX + kMargin + col * kCell, boxY + kMargin + row * kCell, kCell, kCell, black);
    }
  }
}

// Bounces between 0 and range with the given speed in pixels per frame.
int bounce(uint32_t frame, int speed, int phase, int range) {
  if (range <= 0) return 0;
  const uint32_t period = 2u * uint32_t(range);
  const uint32_t t = (frame * uint32_t(speed) + uint32_t(phase)) % period;
  return int(t <= uint32_t(range) ? t : period - t);
}

}  // namespace

void drawTestPicture(uint32_t* pixels, int width, int height, unsigned board, int input,
                     uint32_t frame) {
  Canvas c{pixels, width, height};
  // Colour bars at 75 % in the upper two thirds, each input in its own order; a grey ramp below.
  static const uint8_t kBars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                      {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {24, 24, 24}};
  const int shift = input < 0 ? 0 : (input * 3) % 8;
  const int barsEnd = height * 2 / 3;
  uint32_t* first = pixels;
  for (int x = 0; x < width; ++x) {
    const uint8_t* bar = kBars[(x * 8 / width + shift) % 8];
    first[x] = bgrx(bar[0], bar[1], bar[2]);
  }
  for (int y = 1; y < barsEnd; ++y)
    std::memcpy(pixels + size_t(y) * size_t(width), first, size_t(width) * 4);
  if (barsEnd < height) {
    uint32_t* ramp = pixels + size_t(barsEnd) * size_t(width);
    for (int x = 0; x < width; ++x) {
      const uint8_t v = uint8_t(x * 255 / (width - 1));
      ramp[x] = bgrx(v, v, v);
    }
    for (int y = barsEnd + 1; y < height; ++y)
      std::memcpy(pixels + size_t(y) * size_t(width), ramp, size_t(width) * 4);
  }

  // The moving square: its own colour per input, a black border so it shows on every bar.
  static const uint8_t kObject[5][3] = {
      {255, 64, 0}, {0, 224, 255}, {255, 255, 0}, {255, 0, 160}, {64, 255, 64}};
  const uint8_t* oc = kObject[(input < 0 ? 0 : input) % 5];
  constexpr int kSize = 72;
  const int ox = bounce(frame, 6, input * 97, width - kSize);
  const int oy = bounce(frame, 4, input * 53, height - kSize);
  c.fill(ox, oy, kSize, kSize, bgrx(0, 0, 0));
  c.fill(ox + 6, oy + 6, kSize - 12, kSize - 12, bgrx(oc[0], oc[1], oc[2]));

  char text[32];
  std::snprintf(text, sizeof text, "B%u I%d", board % 1000, input % 10);
  drawTextLine(c, text, 12);
  std::snprintf(text, sizeof text, "%07u", unsigned(frame & pattern::kFrameMask));
  drawTextLine(c, text, height - 12 - kTextHeight - 2 * kTextBlock);
  drawCode(c, board, input, frame);
}

}  // namespace falconsim

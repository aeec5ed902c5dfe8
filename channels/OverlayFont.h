#pragma once
// The built-in bitmap font the channels write on pictures with (the time and name overlay,
// the no-signal picture): 5 x 7 dots per character, printable ASCII, each dot drawn as a
// square of scale x scale pixels so the text stays readable in strongly compressed pictures.
// Drawing works on 32-bit BGRX pixels (blue, green, red, unused), lines without padding.
//
// Pure functions of their arguments; any thread, on its own image.
#include <cstddef>
#include <cstdint>
#include <string>

namespace overlay {

constexpr int kGlyphCols = 5, kGlyphRows = 7;

// Seven rows of five bits (bit 4 is the leftmost dot); '?' for anything outside printable ASCII.
const uint8_t* glyph(unsigned char c);

// The text as the font can show it: every UTF-8 sequence (or stray byte) outside printable
// ASCII becomes one '?'.
std::string printable(const std::string& text);

// Width in pixels of chars characters: one dot of space between them, none after the last.
inline int textWidth(size_t chars, int scale) {
  return chars == 0 ? 0 : int(chars) * (kGlyphCols + 1) * scale - scale;
}
inline int textHeight(int scale) { return kGlyphRows * scale; }

struct Image {
  uint8_t* px;  // width x height BGRX pixels
  int width, height;
};

struct Colour {
  uint8_t r, g, b;
};

// The local date and time of timeNs (nanoseconds since 1970) to the second,
// "2024-03-09 17:05:42".
std::string localTimeText(uint64_t timeNs);

// Fills the rectangle, clipped to the image.
void fillRect(Image& img, int x, int y, int w, int h, Colour c);
// Draws printable(text) with its top-left corner at x, y, clipped to the image.
void drawText(Image& img, int x, int y, const std::string& text, int scale, Colour c);

}  // namespace overlay

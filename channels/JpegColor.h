#pragma once
// Colour conversion of a grabbed frame: BGRX pixels into a luminance plane and two chroma
// planes of half width and half height (each chroma sample from the mean of a 2 x 2 block),
// in fixed point with 16 fractional bits; separately, the grab buffer rewritten in place as
// packed RGB. Pure functions over caller-owned buffers; any thread may call them.
//
// Y = (19595 R + 38470 G + 7471 B) >> 16. Cb = 128 + 0.5643 x mean(B - Y) and
// Cr = 128 + 0.7133 x mean(R - Y), rounded and limited to 0..255: the scaling every JPEG
// decoder assumes when it turns the samples back into RGB.
#include <cstddef>
#include <cstdint>

#include "channels/JpegSimd.h"

namespace jpeg {

constexpr int kYR = 19595, kYG = 38470, kYB = 7471;
constexpr int kCb = 36984;  // 0.5 / (1 - 0.114) in 16-bit fixed point
constexpr int kCr = 46745;  // 0.5 / (1 - 0.299)

// Status codes of the conversion.
constexpr int kOk = 0;
constexpr int kErrNoBuffer = -8;
constexpr int kErrBadSize = -6;

// The planes the conversion fills. The planes are padded to whole 16 x 16 macroblocks:
// yStride >= paddedWidth, paddedWidth and paddedHeight multiples of 16, chroma planes
// paddedWidth / 2 by paddedHeight / 2. Padding repeats the last real column and row, so
// the partial macroblocks at the right and bottom edges encode without visible seams.
struct Planes {
  uint8_t* y = nullptr;
  uint8_t* cb = nullptr;
  uint8_t* cr = nullptr;
  int yStride = 0;
  int cStride = 0;
  int paddedWidth = 0;
  int paddedHeight = 0;
};

// Converts width x height BGRX pixels into the planes; the pixels are only read. Returns
// kOk, kErrNoBuffer or kErrBadSize; on an error nothing is written. Every level gives the same
// planes.
int convertPlanes(const uint8_t* pixels, int width, int height, const Planes& planes,
                  SimdLevel level);
// Rewrites count BGRX pixels in place as packed RGB (3 bytes per pixel from the start).
void packRgb(uint8_t* pixels, size_t count, SimdLevel level);
// convertPlanes, then packRgb when it succeeded. forcePortable selects the portable code,
// otherwise the processor's best.
int convertFrame(uint8_t* pixels, int width, int height, const Planes& planes,
                 SimdLevel level);
int convertFrame(uint8_t* pixels, int width, int height, const Planes& planes,
                 bool forcePortable);

namespace detail {
// Converts pixels [x0, width) of one row pair (row1 null for a last single row).
void convertRowsPortable(const uint8_t* row0, const uint8_t* row1, int x0, int width,
                         uint8_t* y0, uint8_t* y1, uint8_t* cb, uint8_t* cr);
// Rewrites pixels [first, first + count) of the buffer from BGRX to RGB, in place.
void packRgbPortable(uint8_t* buf, size_t first, size_t count);
// SIMD twins for a full row pair; they return the pixel up to which they converted (the
// caller finishes the rest). The SSE2 one starts at pixel x0 (even).
int convertRowsAvx2(const uint8_t* row0, const uint8_t* row1, int width, uint8_t* y0,
                    uint8_t* y1, uint8_t* cb, uint8_t* cr);
int convertRowsSse2(const uint8_t* row0, const uint8_t* row1, int x0, int width, uint8_t* y0,
                    uint8_t* y1, uint8_t* cb, uint8_t* cr);
bool haveAvx2();
size_t packRgbSsse3(uint8_t* buf, size_t first, size_t count);
// Needs AVX2; packs a prefix of pixels [first, first + count) and returns how many.
size_t packRgbAvx2(uint8_t* buf, size_t first, size_t count);
bool haveSsse3();
}  // namespace detail

}  // namespace jpeg

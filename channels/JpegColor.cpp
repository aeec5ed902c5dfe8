#include "channels/JpegColor.h"

#include <cstring>

namespace jpeg {

namespace detail {

namespace {
inline uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// 128 + K x d / (n x 65536), rounded; n (1, 2 or 4) is the number of pixels summed in d.
inline uint8_t chroma(int k, int d, int shift) {
  return clampByte(128 + ((k * d + (1 << (shift - 1))) >> shift));
}
}  // namespace

void convertRowsPortable(const uint8_t* row0, const uint8_t* row1, int x0, int width,
                         uint8_t* y0, uint8_t* y1, uint8_t* cb, uint8_t* cr) {
  int x = x0;
  if (row1 != nullptr) {
    // Whole 2 x 2 blocks: the same sums without the per-pixel bookkeeping of the edges.
    for (; x + 1 < width; x += 2) {
      const uint8_t* p = row0 + 4 * x;
      const uint8_t* q = row1 + 4 * x;
      const int ya = (kYR * p[2] + kYG * p[1] + kYB * p[0]) >> 16;
      const int yb = (kYR * p[6] + kYG * p[5] + kYB * p[4]) >> 16;
      const int yc = (kYR * q[2] + kYG * q[1] + kYB * q[0]) >> 16;
      const int yd = (kYR * q[6] + kYG * q[5] + kYB * q[4]) >> 16;
      y0[x] = uint8_t(ya);
      y0[x + 1] = uint8_t(yb);
      y1[x] = uint8_t(yc);
      y1[x + 1] = uint8_t(yd);
      const int ySum = ya + yb + yc + yd;
      cb[x / 2] = chroma(kCb, p[0] + p[4] + q[0] + q[4] - ySum, 18);
      cr[x / 2] = chroma(kCr, p[2] + p[6] + q[2] + q[6] - ySum, 18);
    }
  }
  for (; x < width; x += 2) {
    int sumB = 0, sumR = 0, n = 0;
    for (int dy = 0; dy < 2; ++dy) {
      const uint8_t* row = dy == 0 ? row0 : row1;
      uint8_t* yRow = dy == 0 ? y0 : y1;
      if (row == nullptr) continue;
      for (int dx = 0; dx < 2 && x + dx < width; ++dx) {
        const uint8_t* p = row + 4 * (x + dx);
        const int b = p[0], g = p[1], r = p[2];
        const int y = (kYR * r + kYG * g + kYB * b) >> 16;
        yRow[x + dx] = uint8_t(y);
        sumB += b - y;
        sumR += r - y;
        ++n;
      }
    }
    const int shift = n == 4 ? 18 : (n == 2 ? 17 : 16);  // n is 1, 2 or 4
    cb[x / 2] = chroma(kCb, sumB, shift);
    cr[x / 2] = chroma(kCr, sumR, shift);
  }
}

void packRgbPortable(uint8_t* buf, size_t first, size_t count) {
  size_t i = first;
  const size_t end = first + count;
  // Four pixels (16 bytes in, 12 out) per step through 32-bit words; the words are read
  // before any of their bytes is overwritten, and the output never passes the input.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (; i + 4 <= end; i += 4) {
    // Little-endian word B | G << 8 | R << 16 | X << 24; swapped and shifted it is the
    // word of the bytes R, G, B.
    uint64_t w01, w23;
    std::memcpy(&w01, buf + 4 * i, 8);
    std::memcpy(&w23, buf + 4 * i + 8, 8);
    const uint32_t px[4] = {__builtin_bswap32(uint32_t(w01)) >> 8,
                            __builtin_bswap32(uint32_t(w01 >> 32)) >> 8,
                            __builtin_bswap32(uint32_t(w23)) >> 8,
                            __builtin_bswap32(uint32_t(w23 >> 32)) >> 8};
    const uint64_t lo = uint64_t(px[0]) | uint64_t(px[1]) << 24 | uint64_t(px[2]) << 48;
    const uint32_t hi = px[2] >> 16 | px[3] << 8;
    std::memcpy(buf + 3 * i, &lo, 8);
    std::memcpy(buf + 3 * i + 8, &hi, 4);
  }
#endif
  for (; i < end; ++i) {
    const uint8_t b = buf[4 * i], g = buf[4 * i + 1], r = buf[4 * i + 2];
    buf[3 * i] = r;
    buf[3 * i + 1] = g;
    buf[3 * i + 2] = b;
  }
}

}  // namespace detail

namespace {

void padPlane(uint8_t* plane, int stride, int width, int height, int paddedWidth,
              int paddedHeight) {
  if (width < paddedWidth)
    for (int y = 0; y < height; ++y)
      std::memset(plane + y * stride + width, plane[y * stride + width - 1],
                  size_t(paddedWidth - width));
  for (int y = height; y < paddedHeight; ++y)
    std::memcpy(plane + y * stride, plane + (height - 1) * stride, size_t(paddedWidth));
}

}  // namespace

int convertPlanes(const uint8_t* pixels, int width, int height, const Planes& planes,
                  SimdLevel level) {
  if (pixels == nullptr || planes.y == nullptr || planes.cb == nullptr || planes.cr == nullptr)
    return kErrNoBuffer;
  if (width < 1 || height < 1 || planes.paddedWidth < width || planes.paddedHeight < height ||
      planes.yStride < planes.paddedWidth || planes.cStride < planes.paddedWidth / 2)
    return kErrBadSize;

  level = capToCpu(level);
  const bool sse2 = level >= SimdLevel::kSse2;
  const bool avx2 = level >= SimdLevel::kAvx2;
  const size_t rowBytes = size_t(width) * 4;
  for (int r = 0; r < height; r += 2) {
    const uint8_t* row0 = pixels + size_t(r) * rowBytes;
    const uint8_t* row1 = r + 1 < height ? row0 + rowBytes : nullptr;
    uint8_t* y0 = planes.y + size_t(r) * planes.yStride;
    uint8_t* y1 = row1 ? y0 + planes.yStride : nullptr;
    uint8_t* cb = planes.cb + size_t(r / 2) * planes.cStride;
    uint8_t* cr = planes.cr + size_t(r / 2) * planes.cStride;
    int done = 0;
    if (avx2 && row1) done = detail::convertRowsAvx2(row0, row1, width, y0, y1, cb, cr);
    if (sse2 && row1) done = detail::convertRowsSse2(row0, row1, done, width, y0, y1, cb, cr);
    detail::convertRowsPortable(row0, row1, done, width, y0, y1, cb, cr);
  }

  padPlane(planes.y, planes.yStride, width, height, planes.paddedWidth, planes.paddedHeight);
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  padPlane(planes.cb, planes.cStride, cw, ch, planes.paddedWidth / 2, planes.paddedHeight / 2);
  padPlane(planes.cr, planes.cStride, cw, ch, planes.paddedWidth / 2, planes.paddedHeight / 2);
  return kOk;
}

void packRgb(uint8_t* pixels, size_t count, SimdLevel level) {
  // One forward pass is safe in place: pixel i's 3 output bytes never reach a pixel that is
  // still to be read (3 i + 3 <= 4 (i + 1)).
  level = capToCpu(level);
  size_t packed = level >= SimdLevel::kAvx2 ? detail::packRgbAvx2(pixels, 0, count) : 0;
  if (level >= SimdLevel::kSsse3) packed += detail::packRgbSsse3(pixels, packed, count - packed);
  detail::packRgbPortable(pixels, packed, count - packed);
}

int convertFrame(uint8_t* pixels, int width, int height, const Planes& planes,
                 SimdLevel level) {
  const int rc = convertPlanes(pixels, width, height, planes, level);
  if (rc == kOk) packRgb(pixels, size_t(width) * size_t(height), level);
  return rc;
}

int convertFrame(uint8_t* pixels, int width, int height, const Planes& planes,
                 bool forcePortable) {
  return convertFrame(pixels, width, height, planes,
                      forcePortable ? SimdLevel::kPortable : cpuSimdLevel());
}

}  // namespace jpeg

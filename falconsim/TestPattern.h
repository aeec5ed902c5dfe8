#pragma once
// The machine-readable code in the simulated grabber's test picture, and its decoder.
//
// The simulator draws, centred in the full frame, a white box with a grid of 11 x 7 black or
// white cells of 24 x 24 full-frame pixels (one cell of white margin around it). The middle
// row and the middle column are timing cells (black at odd indices), so a reader can measure
// the cell size along the picture's centre lines without knowing how the picture was clipped or
// scaled. The other 60 cells carry, row by row, most significant bit first:
//   8 bits board handle, 4 bits input, 20 bits frame counter (modulo 2^20),
//   16 bits CRC-16/CCITT of those 32 bits, 12 bits of a fixed check pattern.
// The box (312 x 216 full-frame pixels) lies inside every centred clip down to 320 x 240, and
// the cells are still about 10 pixels wide in a 768 x 576 frame scaled to 320 x 240, which is
// enough to survive JPEG compression at quality 10.
//
// readTestPattern() is what tests call on decoded pictures; header-only, no dependencies, any
// thread. It expects the code's centre at the picture's centre (true for centred clips, scaled
// full frames and pictures with every second line dropped).
#include <cstddef>
#include <cstdint>
#include <vector>

struct TestPatternInfo {
  unsigned board = 0;   // board handle (1, 2, ...)
  int input = 0;        // video input 0..4
  uint32_t frame = 0;   // frame counter of the board, modulo 2^20
};

namespace falconsim {
namespace pattern {

constexpr int kCell = 24;  // full-frame pixels per cell side
constexpr int kCols = 11, kRows = 7;
constexpr int kMidCol = kCols / 2, kMidRow = kRows / 2;
constexpr int kMargin = kCell;  // white margin around the grid
constexpr int kBoxWidth = kCols * kCell + 2 * kMargin;   // 312
constexpr int kBoxHeight = kRows * kCell + 2 * kMargin;  // 216
constexpr int kDataCells = kCols * kRows - kCols - kRows + 1;
constexpr int kFrameBits = 20;
constexpr uint32_t kFrameMask = (1u << kFrameBits) - 1;
constexpr uint32_t kCheckPattern = 0xA5C;  // 12 bits
static_assert(kDataCells == 60, "the bit layout above needs 60 data cells");
static_assert(kMidCol % 2 == 1 && kMidRow % 2 == 1, "the centre timing cell must be black");

inline bool isTimingCell(int col, int row) { return col == kMidCol || row == kMidRow; }
// Timing cells are black at odd indices along their line.
inline bool timingBlack(int col, int row) { return row == kMidRow ? (col & 1) : (row & 1); }

inline uint16_t crc16(uint32_t v) {
  uint16_t crc = 0xFFFF;
  for (int byte = 3; byte >= 0; --byte) {
    crc ^= uint16_t(((v >> (8 * byte)) & 0xFF) << 8);
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
  }
  return crc;
}

// The 60 data bits, first cell first, in the low bits of the result (bit 59 is the first cell).
inline uint64_t encode(unsigned board, int input, uint32_t frame) {
  const uint32_t payload = (uint32_t(board & 0xFF) << 24) | (uint32_t(input & 0xF) << 20) |
                           (frame & kFrameMask);
  return (uint64_t(payload) << 28) | (uint64_t(crc16(payload)) << 12) | kCheckPattern;
}

inline bool decode(uint64_t bits, TestPatternInfo* out) {
  const uint32_t payload = uint32_t(bits >> 28);
  if ((bits & 0xFFF) != kCheckPattern || uint16_t((bits >> 12) & 0xFFFF) != crc16(payload))
    return false;
  out->board = payload >> 24;
  out->input = int((payload >> 20) & 0xF);
  out->frame = payload & kFrameMask;
  return true;
}

// Luminance of one picture, whatever its pixel layout.
struct LumaView {
  const uint8_t* data;
  int width, height, stride, pixelBytes, r, g, b;
  int at(int x, int y) const {
    const uint8_t* p = data + size_t(y) * size_t(stride) + size_t(x) * size_t(pixelBytes);
    return (77 * p[r] + 150 * p[g] + 29 * p[b]) >> 8;
  }
};

// Black (true) or white along a line through the picture, averaged over three neighbouring
// lines, with single-pixel glitches removed.
inline std::vector<bool> scanLine(const LumaView& v, bool horizontal, int across) {
  const int len = horizontal ? v.width : v.height;
  const int acrossMax = (horizontal ? v.height : v.width) - 1;
  std::vector<bool> raw(size_t(len), false);
  for (int i = 0; i < len; ++i) {
    int sum = 0, n = 0;
    for (int d = -1; d <= 1; ++d) {
      const int a = across + d;
      if (a < 0 || a > acrossMax) continue;
      sum += horizontal ? v.at(i, a) : v.at(a, i);
      ++n;
    }
    raw[size_t(i)] = sum < 128 * n;
  }
  std::vector<bool> out(raw);
  for (int i = 1; i + 1 < len; ++i)
    out[size_t(i)] = (int(raw[size_t(i - 1)]) + int(raw[size_t(i)]) + int(raw[size_t(i + 1)])) >= 2;
  return out;
}

// Finds the extent of the timing line through the centre: from the start of the first black
// timing cell to the end of the last one. False when the runs do not look like timing cells.
inline bool findTiming(const std::vector<bool>& line, int centreCell, double* first, double* last,
                       double* cellSize) {
  const int len = int(line.size());
  const int c = len / 2;
  if (len < 8 || !line[size_t(c)]) return false;
  const int extra = centreCell / 2;  // black cells on each side of the centre one
  int hi = c;
  while (hi < len && line[size_t(hi)]) ++hi;
  for (int k = 0; k < extra; ++k) {
    while (hi < len && !line[size_t(hi)]) ++hi;
    if (hi >= len) return false;
    while (hi < len && line[size_t(hi)]) ++hi;
  }
  int lo = c;
  while (lo > 0 && line[size_t(lo - 1)]) --lo;
  for (int k = 0; k < extra; ++k) {
    while (lo > 0 && !line[size_t(lo - 1)]) --lo;
    if (lo <= 0) return false;
    while (lo > 0 && line[size_t(lo - 1)]) --lo;
  }
  const int cells = 4 * extra + 1;
  const double size = double(hi - lo) / cells;
  if (size < 3.0) return false;
  // Every run in between must be about one cell long.
  int runStart = lo;
  for (int i = lo + 1; i <= hi; ++i) {
    if (i == hi || line[size_t(i)] != line[size_t(runStart)]) {
      const double run = i - runStart;
      if (run < 0.5 * size || run > 1.5 * size) return false;
      runStart = i;
    }
  }
  *first = lo;
  *last = hi;
  *cellSize = size;
  return true;
}

inline bool readCode(const LumaView& v, TestPatternInfo* out) {
  if (!v.data || v.width < 16 || v.height < 16 || !out) return false;
  double left, right, cw, top, bottom, ch;
  if (!findTiming(scanLine(v, true, v.height / 2), kMidCol, &left, &right, &cw)) return false;
  const int centreX = int((left + right) / 2);
  if (!findTiming(scanLine(v, false, centreX), kMidRow, &top, &bottom, &ch)) return false;
  // The first black timing cell is cell 1 in both directions.
  const double x0 = left - cw, y0 = top - ch;
  uint64_t bits = 0;
  for (int row = 0; row < kRows; ++row) {
    for (int col = 0; col < kCols; ++col) {
      if (isTimingCell(col, row)) continue;
      const double cx = x0 + (col + 0.5) * cw, cy = y0 + (row + 0.5) * ch;
      const int xa = int(cx - cw / 4), xb = int(cx + cw / 4), ya = int(cy - ch / 4),
                yb = int(cy + ch / 4);
      if (xa < 0 || ya < 0 || xb >= v.width || yb >= v.height) return false;
      int sum = 0, n = 0;
      for (int y = ya; y <= yb; ++y)
        for (int x = xa; x <= xb; ++x) {
          sum += v.at(x, y);
          ++n;
        }
      bits = (bits << 1) | (sum < 128 * n ? 1u : 0u);
    }
  }
  return decode(bits, out);
}

}  // namespace pattern
}  // namespace falconsim

// Reads the code from an RGB picture (3 bytes per pixel, stride bytes per line).
inline bool readTestPattern(const uint8_t* rgb, int width, int height, int stride,
                            TestPatternInfo* out) {
  return falconsim::pattern::readCode({rgb, width, height, stride, 3, 0, 1, 2}, out);
}

// The same for the grabber's own BGRX pictures (4 bytes per pixel).
inline bool readTestPatternBgrx(const uint8_t* bgrx, int width, int height, int stride,
                                TestPatternInfo* out) {
  return falconsim::pattern::readCode({bgrx, width, height, stride, 4, 2, 1, 0}, out);
}

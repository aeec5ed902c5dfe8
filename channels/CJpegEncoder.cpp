#include "channels/CJpegEncoder.h"

#include <cstring>
#include <new>

#include "channels/JpegBitWriter.h"
#include "channels/PictureBlocks.h"
#include "platform/ByteOrder.h"

namespace {

constexpr int kMaxDimension = 4095;  // the image-format word holds 12 bits per size

const uint8_t kApp0[CJpegEncoder::kApp0Size] = {
    0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00,
    0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};

const uint8_t kFrameHeaderTemplate[CJpegEncoder::kFrameHeaderSize] = {
    0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03,  // SOF0, 480 x 640, 3 comps
    0x00, 0x22, 0x00, 0x01, 0x11, 0x01, 0x02, 0x11, 0x01,        // ids 0, 1, 2
    0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11,  // SOS
    0x00, 0x3F, 0x00};

template <typename T>
std::unique_ptr<T[]> allocArray(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

}  // namespace

CJpegEncoder::CJpegEncoder() {
  std::memcpy(m_frameHeader, kFrameHeaderTemplate, kFrameHeaderSize);
  for (int t = 0; t < 2; ++t) {
    const uint8_t head[5] = {0xFF, 0xDB, 0x00, 0x43, uint8_t(t)};
    std::memcpy(m_quantSegment[t], head, 5);
    std::memset(m_quantSegment[t] + 5, 0, 64);
  }
  std::memset(m_divisors, 0, sizeof m_divisors);
  setSimdLevel(jpeg::defaultSimdLevel());
}

CJpegEncoder::~CJpegEncoder() = default;

void CJpegEncoder::setSimdLevel(jpeg::SimdLevel level) {
  m_simdLevel = jpeg::capToCpu(level);
  m_fdctPair = jpeg::selectFdctQuantPair(m_simdLevel);
}

void CJpegEncoder::setForcePortable(bool portable) {
  setSimdLevel(portable ? jpeg::SimdLevel::kPortable : jpeg::defaultSimdLevel());
}

bool CJpegEncoder::allocate(int width, int height) {
  const int pw = (width + 15) & ~15, ph = (height + 15) & ~15;
  const size_t blocks = size_t(pw) * size_t(ph) * 3 / 2 / 64;
  // The planes hold one strip of macroblocks (16 luminance rows, 8 chrominance rows), so a
  // strip is converted and transformed while it is still in the first-level cache.
  const size_t yStrip = size_t(pw) * 16;
  m_yPlane = allocArray<uint8_t>(yStrip + 4);
  m_cbPlane = allocArray<uint8_t>(yStrip / 4);
  m_crPlane = allocArray<uint8_t>(yStrip / 4);
  m_tokens = allocArray<uint32_t>(blocks * jpeg::kMaxTokensPerBlock);
  if (!m_yPlane || !m_cbPlane || !m_crPlane || !m_tokens) return false;
  m_planes.y = m_yPlane.get();
  m_planes.cb = m_cbPlane.get();
  m_planes.cr = m_crPlane.get();
  m_planes.yStride = pw;
  m_planes.cStride = pw / 2;
  m_planes.paddedWidth = pw;
  m_planes.paddedHeight = 16;
  m_mcuCols = pw / 16;
  m_mcuRows = ph / 16;
  return true;
}

bool CJpegEncoder::init(int quality, int width, int height, int formatHeight,
                        const std::string& name) {
  m_ready = false;
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension ||
      formatHeight < 1 || formatHeight > kMaxDimension)
    return false;
  uint8_t luma[64], chroma[64];
  if (!jpeg::scaleQuantTable(jpeg::kBaseLuma, quality, luma) ||
      !jpeg::scaleQuantTable(jpeg::kBaseChroma, quality, chroma))
    return false;
  if (!allocate(width, height)) return false;

  m_width = width;
  m_height = height;
  putBE16(m_frameHeader + 5, uint16_t(height));
  putBE16(m_frameHeader + 7, uint16_t(width));
  m_formatWord = pictureblocks::imageFormatWord(m_formatWord, unsigned(width),
                                                unsigned(formatHeight));

  const std::vector<uint8_t> seg =
      pictureblocks::analogCommentSegment(name.substr(0, kMaxNameLength));
  if (seg.empty()) return false;
  m_commentSegment.assign(seg.begin(), seg.end());

  std::memcpy(m_quantSegment[0] + 5, luma, 64);
  std::memcpy(m_quantSegment[1] + 5, chroma, 64);
  jpeg::buildDivisors(luma, &m_divisors[0]);
  jpeg::buildDivisors(chroma, &m_divisors[1]);
  m_ready = true;
  return true;
}

bool CJpegEncoder::transformAndCount(const uint8_t* pixels) {
  std::memset(m_stats, 0, sizeof m_stats);
  const int ys = m_planes.yStride, cs = m_planes.cStride;
  int16_t* const yc = m_mcuCoef;
  int16_t* const cc = m_mcuCoef + 4 * 64;
  uint32_t* t = m_tokens.get();
  int predY = 0, predCb = 0, predCr = 0;
  const size_t stripBytes = size_t(m_width) * 4 * 16;
  for (int my = 0; my < m_mcuRows; ++my) {
    // Strips start on even rows, so the rows pair up for chroma as in a whole-frame pass,
    // and the last strip's padding repeats the picture's last row.
    const int rows = m_height - 16 * my < 16 ? m_height - 16 * my : 16;
    if (jpeg::convertPlanes(pixels + size_t(my) * stripBytes, m_width, rows, m_planes,
                            m_simdLevel) != jpeg::kOk)
      return false;
    for (int mx = 0; mx < m_mcuCols; ++mx) {
      const uint8_t* y = m_planes.y + size_t(mx) * 16;
      uint64_t masks[4];
      m_fdctPair(y, y + 8, ys, m_divisors[0], yc, yc + 64, masks);
      m_fdctPair(y + 8 * ys, y + 8 * ys + 8, ys, m_divisors[0], yc + 128, yc + 192, masks + 2);
      for (int b = 0; b < 4; ++b) {
        t = jpeg::tokenizeBlock(yc + 64 * b, masks[b], predY, jpeg::kLumaTables, &m_stats[0], t);
        predY = yc[64 * b];
      }
      const size_t cOff = size_t(mx) * 8;
      m_fdctPair(m_planes.cb + cOff, m_planes.cr + cOff, cs, m_divisors[1], cc, cc + 64, masks);
      t = jpeg::tokenizeBlock(cc, masks[0], predCb, jpeg::kChromaTables, &m_stats[1], t);
      predCb = cc[0];
      t = jpeg::tokenizeBlock(cc + 64, masks[1], predCr, jpeg::kChromaTables, &m_stats[1], t);
      predCr = cc[64];
    }
  }
  m_tokenEnd = t;
  return true;
}

size_t CJpegEncoder::headerSize() const {
  size_t n = kApp0Size + pictureblocks::kStampSegmentSize + m_commentSegment.size() +
             2 * kQuantSegmentSize + kFrameHeaderSize;
  // Each DHT segment: marker, length, class/id byte, 16 counts, the symbols.
  for (int t = 0; t < 2; ++t) n += 2 * 21 + size_t(m_dcSpec[t].count + m_acSpec[t].count);
  return n;
}

uint8_t* CJpegEncoder::writeHeader(uint8_t* p, uint64_t timeNs, uint32_t sequence) const {
  std::memcpy(p, kApp0, kApp0Size);
  p += kApp0Size;
  // The stamp helpers work on SOI + segment; build that and copy the segment behind APP0.
  uint8_t stamp[pictureblocks::kHeaderSize];
  pictureblocks::initHeader(stamp);
  pictureblocks::setFrameFields(stamp, timeNs, sequence, m_formatWord);
  std::memcpy(p, stamp + pictureblocks::kSoiSize, pictureblocks::kStampSegmentSize);
  p += pictureblocks::kStampSegmentSize;
  std::memcpy(p, m_commentSegment.data(), m_commentSegment.size());
  p += m_commentSegment.size();
  for (int t = 0; t < 2; ++t) {
    std::memcpy(p, m_quantSegment[t], kQuantSegmentSize);
    p += kQuantSegmentSize;
  }
  const jpeg::HuffSpec* const specs[4] = {&m_dcSpec[0], &m_acSpec[0], &m_dcSpec[1],
                                          &m_acSpec[1]};
  const uint8_t classId[4] = {0x00, 0x10, 0x01, 0x11};
  for (int i = 0; i < 4; ++i) {
    const jpeg::HuffSpec& s = *specs[i];
    p[0] = 0xFF;
    p[1] = 0xC4;
    putBE16(p + 2, uint16_t(2 + 1 + 16 + s.count));
    p[4] = classId[i];
    std::memcpy(p + 5, s.bits + 1, 16);
    std::memcpy(p + 21, s.vals, size_t(s.count));
    p += 21 + s.count;
  }
  std::memcpy(p, m_frameHeader, kFrameHeaderSize);
  return p + kFrameHeaderSize;
}

bool CJpegEncoder::writeScan(uint8_t* begin, uint8_t* end, uint8_t** scanEnd) {
  const jpeg::HuffCode* const codes[4] = {&m_dcCode[0], &m_acCode[0], &m_dcCode[1],
                                          &m_acCode[1]};
  // Per symbol: its code already shifted past the value bits that follow it (their count is
  // the symbol's low nibble), << 8 | code and value bits together.
  for (int i = 0; i < 4; ++i)
    for (int sym = 0; sym < 256; ++sym) {
      const int nbits = sym & 15;
      m_tokenCode[i][sym] = (uint64_t(codes[i]->code[sym]) << nbits << 8) |
                            uint64_t(codes[i]->size[sym] + nbits);
    }
  const uint64_t* const table = &m_tokenCode[0][0];

  jpeg::JpegBitWriter w(begin, end);
  const uint32_t* t = m_tokens.get();
  // The writer stops at the end of the buffer by itself; checking now and then only saves
  // the time of a picture that will not fit anyway.
  constexpr ptrdiff_t kChunk = 4096;
  while (t < m_tokenEnd && !w.overflowed()) {
    const uint32_t* const stop = m_tokenEnd - t > kChunk ? t + kChunk : m_tokenEnd;
    for (; t < stop; ++t) {
      const uint32_t token = *t;
      const uint64_t e = table[token & 0x3FF];
      w.put((e >> 8) | (token >> 16), int(e & 0xFF));
    }
  }
  const bool ok = w.finish();
  *scanEnd = w.position();
  return ok;
}

bool CJpegEncoder::encode(uint8_t* pixels, uint8_t* out, size_t capacity, size_t* outLength,
                          uint64_t timeNs, uint32_t* sequenceOut) {
  if (!m_ready || out == nullptr || outLength == nullptr) return false;
  // The pixels are only read until the picture is known to fit: a refused frame must leave
  // them intact for a retry with a larger buffer.
  if (pixels == nullptr || !transformAndCount(pixels)) return false;
  for (int t = 0; t < 2; ++t) {
    jpeg::buildHuffSpec(m_stats[t].dc, &m_dcSpec[t]);
    jpeg::buildHuffSpec(m_stats[t].ac, &m_acSpec[t]);
    if (!jpeg::deriveHuffCode(m_dcSpec[t], &m_dcCode[t]) ||
        !jpeg::deriveHuffCode(m_acSpec[t], &m_acCode[t]))
      return false;
  }

  const size_t header = headerSize();
  if (capacity < header + 2) return false;
  const uint32_t sequence = m_frameCounter + 1;
  uint8_t* p = writeHeader(out, timeNs, sequence);
  uint8_t* scanEnd = nullptr;
  if (!writeScan(p, out + capacity, &scanEnd)) return false;
  if (size_t(out + capacity - scanEnd) < 2) return false;
  scanEnd[0] = 0xFF;
  scanEnd[1] = 0xD9;
  *outLength = size_t(scanEnd + 2 - out);
  jpeg::packRgb(pixels, size_t(m_width) * size_t(m_height), m_simdLevel);
  m_frameCounter = sequence;
  if (sequenceOut) *sequenceOut = sequence;
  return true;
}

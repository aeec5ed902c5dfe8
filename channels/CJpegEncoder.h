#pragma once
// The analog channels' baseline JPEG encoder: 4:2:0 sampling, quality-scaled example
// quantisation tables, and Huffman tables optimised for every frame from the frame's own
// statistics. Its output carries the time-stamp segment and the text comment block that every
// published picture starts with.
//
// One encoder belongs to one analog channel; init() and encode() are called by that channel's
// thread only (no internal locking).
//
// Output layout: FF D8, JFIF APP0 (16), time-stamp segment (68), text comment (FF FE 00 len,
// text, 0), two DQT segments, four DHT segments (luminance DC, luminance AC, chrominance DC,
// chrominance AC), SOF0 + SOS with component identifiers 0, 1, 2, entropy-coded data, FF D9.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "channels/JpegColor.h"
#include "channels/JpegDct.h"
#include "channels/JpegHuffman.h"
#include "channels/JpegTables.h"

class CJpegEncoder {
 public:
  static constexpr size_t kApp0Size = 20;       // SOI and the JFIF APP0 segment
  static constexpr size_t kQuantSegmentSize = 69;
  static constexpr size_t kFrameHeaderSize = 33;  // SOF0 (19) + SOS (14)
  // The comment text may hold this much of a channel name: the segment's one-byte length
  // counts the text, its terminating zero and 2 more.
  static constexpr size_t kMaxNameLength = 123;

  CJpegEncoder();
  ~CJpegEncoder();
  CJpegEncoder(const CJpegEncoder&) = delete;
  CJpegEncoder& operator=(const CJpegEncoder&) = delete;

  // Prepares for frames of width x height pixels. formatHeight is the board format's full
  // height, written into the image-format word (half-height frames carry the full height
  // there). name becomes the NAM value of the comment text, cut to kMaxNameLength bytes.
  // False when the quality lies outside 1..100, a size or the format height is below 1 or
  // above 4095, or a buffer cannot be allocated; the encoder then refuses to encode until the
  // next successful init.
  bool init(int quality, int width, int height, int formatHeight, const std::string& name);

  // Encodes one frame of width x height BGRX pixels. The complete JPEG goes to out; nothing
  // is ever written at or past out + capacity. Once the picture is complete the pixels are
  // rewritten in place as packed RGB; a refused frame leaves them as they were, so the caller
  // may retry with a larger buffer. False when the encoder is not initialised, pixels, out or
  // outLength is null, or the picture does not fit the capacity; a refused frame uses no
  // sequence number. On success *outLength holds the picture's size and *sequenceOut (when
  // given) its sequence number (1 for the first frame, counting on across init calls).
  bool encode(uint8_t* pixels, uint8_t* out, size_t capacity, size_t* outLength,
              uint64_t timeNs, uint32_t* sequenceOut);

  // The instruction-set level of the vectorised code (same output at every level). A new
  // encoder takes jpeg::defaultSimdLevel(), which the environment can lower.
  void setSimdLevel(jpeg::SimdLevel level);  // capped by what the processor runs
  jpeg::SimdLevel simdLevel() const { return m_simdLevel; }
  // Portable code (true), or back to the default level (false).
  void setForcePortable(bool portable);

  uint32_t frameCounter() const { return m_frameCounter; }
  uint32_t formatWord() const { return m_formatWord; }
  int width() const { return m_width; }
  int height() const { return m_height; }

 private:
  bool allocate(int width, int height);
  // Converts and transforms strip by strip, counting and tokenising; the pixels are only read.
  bool transformAndCount(const uint8_t* pixels);
  size_t headerSize() const;
  uint8_t* writeHeader(uint8_t* p, uint64_t timeNs, uint32_t sequence) const;
  bool writeScan(uint8_t* begin, uint8_t* end, uint8_t** scanEnd);

  std::unique_ptr<uint8_t[]> m_yPlane, m_cbPlane, m_crPlane;  // one 16-row strip (m_planes)
  uint32_t m_formatWord = 0;
  uint8_t m_frameHeader[kFrameHeaderSize];
  uint8_t m_quantSegment[2][kQuantSegmentSize];
  jpeg::QuantDivisors m_divisors[2];
  int m_width = 0;
  int m_height = 0;
  // The coefficients of the macroblock being transformed: tokenised at once, so the frame's
  // coefficients never have to be stored.
  alignas(32) int16_t m_mcuCoef[6 * 64 + 16];  // slack for wide stores
  std::unique_ptr<uint32_t[]> m_tokens;  // the frame's symbol tokens, room for every block
  uint32_t* m_tokenEnd = nullptr;
  uint32_t m_frameCounter = 0;
  std::string m_commentSegment;  // FF FE 00 len text 0

  jpeg::Planes m_planes;
  int m_mcuCols = 0;
  int m_mcuRows = 0;
  bool m_ready = false;
  jpeg::SimdLevel m_simdLevel = jpeg::SimdLevel::kPortable;
  jpeg::FdctQuantPairFn m_fdctPair = nullptr;

  // Per frame: statistics and the tables built from them (luminance 0, chrominance 1).
  jpeg::SymbolStats m_stats[2];
  jpeg::HuffSpec m_dcSpec[2], m_acSpec[2];
  jpeg::HuffCode m_dcCode[2], m_acCode[2];
  uint64_t m_tokenCode[4][256];  // see writeScan; indexed by a token's low 10 bits
};

// The analog channels' JPEG encoder as a whole: output layout byte by byte, decodability with
// libjpeg-turbo, picture quality and size against libjpeg-turbo's own encoder, the capacity
// limit, sequence numbers, and identical output from the SIMD and portable code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "channels/CJpegEncoder.h"
#include "channels/PictureBlocks.h"
#include "platform/ByteOrder.h"
#include "tests/jpeg_support.h"

namespace {

struct Segment {
  uint8_t marker;
  size_t offset;  // of the FF byte
  size_t length;  // the segment's length field (0 for SOI)
};

// Walks the marker segments from SOI up to and including SOS.
std::vector<Segment> segments(const std::vector<uint8_t>& j) {
  std::vector<Segment> out;
  if (j.size() < 2 || j[0] != 0xFF || j[1] != 0xD8) return out;
  out.push_back({0xD8, 0, 0});
  size_t p = 2;
  while (p + 4 <= j.size() && j[p] == 0xFF) {
    const size_t len = getBE16(&j[p + 2]);
    out.push_back({j[p + 1], p, len});
    if (j[p + 1] == 0xDA) break;
    p += 2 + len;
  }
  return out;
}

struct Encoded {
  bool ok = false;
  std::vector<uint8_t> jpeg;
  uint32_t sequence = 0;
};

Encoded encodeWith(CJpegEncoder& enc, std::vector<uint8_t> pixels, uint64_t timeNs = 0,
                   size_t capacity = 512 * 1024) {
  Encoded e;
  e.jpeg.resize(capacity);
  size_t len = 0;
  e.ok = enc.encode(pixels.data(), e.jpeg.data(), capacity, &len, timeNs, &e.sequence);
  e.jpeg.resize(e.ok ? len : 0);
  if (e.ok) {  // every picture we make must decode cleanly at its own size
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    EXPECT_TRUE(jpegtest::decode(e.jpeg.data(), e.jpeg.size(), &w, &h, &rgb));
    EXPECT_EQ(w, enc.width());
    EXPECT_EQ(h, enc.height());
  }
  return e;
}

std::vector<uint8_t> uniform(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
  std::vector<uint8_t> px(size_t(w) * h * 4);
  for (size_t i = 0; i < px.size(); i += 4) {
    px[i] = b;
    px[i + 1] = g;
    px[i + 2] = r;
    px[i + 3] = 0;
  }
  return px;
}

}  // namespace

TEST(JpegEncoder, HeaderSegmentsComeInTheFixedOrderWithTheirBytes) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(70, 64, 48, 48, ""));
  const Encoded e = encodeWith(enc, jpegtest::naturalPicture(64, 48), 1234567891234567ull);
  ASSERT_TRUE(e.ok);
  const std::vector<uint8_t>& j = e.jpeg;

  const uint8_t app0[20] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F',
                            0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(j.data(), app0, 20));

  // The time-stamp segment as the shared helpers build it, right behind APP0.
  uint8_t stamp[pictureblocks::kHeaderSize];
  pictureblocks::initHeader(stamp);
  pictureblocks::setFrameFields(stamp, 1234567891234567ull, 1, ((48u << 12) | 64u) << 8);
  EXPECT_EQ(0, std::memcmp(&j[20], stamp + 2, 68));

  // Encoder form of the comment: FF FE 00, one length byte, the text, a terminating zero.
  const std::string text = pictureblocks::commentText("", nullptr);
  ASSERT_EQ(text.size(), 128u);
  EXPECT_EQ(j[88], 0xFF);
  EXPECT_EQ(j[89], 0xFE);
  EXPECT_EQ(j[90], 0x00);
  EXPECT_EQ(j[91], text.size() + 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&j[92]), text.size()), text);
  EXPECT_EQ(j[92 + text.size()], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&j[92]), text.size()).find("ET0="),
            std::string::npos);

  const std::vector<Segment> s = segments(j);
  const std::vector<uint8_t> order = {0xD8, 0xE0, 0xFE, 0xFE, 0xDB, 0xDB, 0xC4,
                                      0xC4, 0xC4, 0xC4, 0xC0, 0xDA};
  ASSERT_EQ(s.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(s[i].marker, order[i]) << i;
  EXPECT_EQ(j[s[4].offset + 4], 0x00);  // DQT table 0
  EXPECT_EQ(j[s[5].offset + 4], 0x01);  // DQT table 1
  EXPECT_EQ(j[s[6].offset + 4], 0x00);  // luminance DC
  EXPECT_EQ(j[s[7].offset + 4], 0x10);  // luminance AC
  EXPECT_EQ(j[s[8].offset + 4], 0x01);  // chrominance DC
  EXPECT_EQ(j[s[9].offset + 4], 0x11);  // chrominance AC
  for (int i = 6; i < 10; ++i) {  // length = 2 + 1 + 16 + number of symbols
    int symbols = 0;
    for (int l = 0; l < 16; ++l) symbols += j[s[i].offset + 5 + l];
    EXPECT_EQ(s[i].length, size_t(19 + symbols));
  }

  const uint8_t frame[33] = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 48,   0x00, 64,   0x03, 0x00,
                             0x22, 0x00, 0x01, 0x11, 0x01, 0x02, 0x11, 0x01, 0xFF, 0xDA, 0x00,
                             0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00};
  EXPECT_EQ(0, std::memcmp(&j[s[10].offset], frame, 33));
  EXPECT_EQ(j[j.size() - 2], 0xFF);
  EXPECT_EQ(j[j.size() - 1], 0xD9);
  EXPECT_EQ(getLE64(&j[20 + 12]), 1234567891234ull);  // microseconds
}

TEST(JpegEncoder, QuantisationSegmentsHoldTheScaledTablesInZigzagSequence) {
  struct Golden {
    int quality;
    uint8_t luma[8];    // first eight entries
    uint8_t chroma[8];
    uint8_t lumaLast, chromaLast;
  };
  const Golden golden[] = {
      {10, {80, 55, 50, 80, 120, 200, 255, 255}, {85, 90, 120, 235, 255, 255, 255, 255}, 255, 255},
      {50, {16, 11, 10, 16, 24, 40, 51, 61}, {17, 18, 24, 47, 99, 99, 99, 99}, 99, 99},
      {70, {10, 7, 6, 10, 14, 24, 31, 37}, {10, 11, 14, 28, 59, 59, 59, 59}, 59, 59},
      {90, {3, 2, 2, 3, 5, 8, 10, 12}, {3, 4, 5, 9, 20, 20, 20, 20}, 20, 20},
  };
  for (const Golden& g : golden) {
    CJpegEncoder enc;
    ASSERT_TRUE(enc.init(g.quality, 16, 16, 16, ""));
    const Encoded e = encodeWith(enc, uniform(16, 16, 90, 90, 90));
    ASSERT_TRUE(e.ok);
    const std::vector<Segment> s = segments(e.jpeg);
    const uint8_t* q0 = &e.jpeg[s[4].offset];
    const uint8_t* q1 = &e.jpeg[s[5].offset];
    const uint8_t head0[5] = {0xFF, 0xDB, 0x00, 0x43, 0x00};
    const uint8_t head1[5] = {0xFF, 0xDB, 0x00, 0x43, 0x01};
    EXPECT_EQ(0, std::memcmp(q0, head0, 5));
    EXPECT_EQ(0, std::memcmp(q1, head1, 5));
    EXPECT_EQ(0, std::memcmp(q0 + 5, g.luma, 8)) << "quality " << g.quality;
    EXPECT_EQ(0, std::memcmp(q1 + 5, g.chroma, 8)) << "quality " << g.quality;
    EXPECT_EQ(q0[5 + 63], g.lumaLast) << "quality " << g.quality;
    EXPECT_EQ(q1[5 + 63], g.chromaLast) << "quality " << g.quality;
  }
}

// The picture quality and size of our encoder against libjpeg-turbo given the very same
// quantisation (our segments' effective matrices): what remains is the encoder's own work,
// colour conversion, transform precision and Huffman tables. libjpeg-turbo's own quality-70
// tables lay the example values out differently; those figures are printed for the record.
TEST(JpegEncoder, NaturalPictureMatchesLibjpegTurboQualityAtNoLargerSize) {
  for (const auto& size : {std::make_pair(768, 576), std::make_pair(640, 480)}) {
    const int w = size.first, h = size.second;
    const std::vector<uint8_t> picture = jpegtest::naturalPicture(w, h, 7);
    const std::vector<uint8_t> original = jpegtest::bgrxToRgb(picture);

    CJpegEncoder enc;
    ASSERT_TRUE(enc.init(70, w, h, h, ""));
    const Encoded ours = encodeWith(enc, picture);
    ASSERT_TRUE(ours.ok);
    int dw = 0, dh = 0;
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(jpegtest::decode(ours.jpeg.data(), ours.jpeg.size(), &dw, &dh, &decoded));
    ASSERT_EQ(dw, w);
    ASSERT_EQ(dh, h);
    const double ourPsnr = jpegtest::psnr(original, decoded);

    // Effective matrices in natural order, read back from our own DQT segments.
    const std::vector<Segment> s = segments(ours.jpeg);
    unsigned luma[64], chroma[64];
    for (int k = 0; k < 64; ++k) {
      luma[jpeg::kZigzag[k]] = ours.jpeg[s[4].offset + 5 + k];
      chroma[jpeg::kZigzag[k]] = ours.jpeg[s[5].offset + 5 + k];
    }
    // The reference carries the same two comment segments, so sizes compare like for like.
    const std::vector<std::vector<uint8_t>> comments = {
        std::vector<uint8_t>(ours.jpeg.begin() + s[2].offset + 4,
                             ours.jpeg.begin() + s[2].offset + 2 + s[2].length),
        std::vector<uint8_t>(ours.jpeg.begin() + s[3].offset + 4,
                             ours.jpeg.begin() + s[3].offset + 2 + s[3].length)};
    const std::vector<uint8_t> ref =
        jpegtest::referenceEncode(picture.data(), w, h, 70, true, luma, chroma, &comments);
    std::vector<uint8_t> refDecoded;
    ASSERT_TRUE(jpegtest::decode(ref.data(), ref.size(), &dw, &dh, &refDecoded));
    const double refPsnr = jpegtest::psnr(original, refDecoded);
    EXPECT_GE(ourPsnr, refPsnr - 0.5) << w << "x" << h << " ours " << ourPsnr << " dB, "
                                      << ours.jpeg.size() << " bytes; libjpeg-turbo " << refPsnr
                                      << " dB, " << ref.size() << " bytes";
    EXPECT_LE(ours.jpeg.size(), ref.size()) << w << "x" << h;

    const std::vector<uint8_t> std70 =
        jpegtest::referenceEncode(picture.data(), w, h, 70, true, nullptr, nullptr, &comments);
    std::vector<uint8_t> stdDecoded;
    ASSERT_TRUE(jpegtest::decode(std70.data(), std70.size(), &dw, &dh, &stdDecoded));
    std::printf("%dx%d q70: ours %.2f dB %zu bytes; libjpeg-turbo same tables %.2f dB %zu bytes;"
                " libjpeg-turbo own tables %.2f dB %zu bytes\n",
                w, h, ourPsnr, ours.jpeg.size(), refPsnr, ref.size(),
                jpegtest::psnr(original, stdDecoded), std70.size());
  }
}

TEST(JpegEncoder, UniformGreyGivesDcOnlyBlocksAndEndOfBlockOnlyAcTables) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(70, 64, 64, 64, ""));
  const Encoded e = encodeWith(enc, uniform(64, 64, 128, 128, 128));
  ASSERT_TRUE(e.ok);
  const std::vector<Segment> s = segments(e.jpeg);
  for (int i : {7, 9}) {  // luminance AC, chrominance AC: one code of length 1 for EOB
    const uint8_t* d = &e.jpeg[s[i].offset];
    EXPECT_EQ(s[i].length, 20u);
    EXPECT_EQ(d[5], 1);
    for (int l = 1; l < 16; ++l) EXPECT_EQ(d[5 + l], 0);
    EXPECT_EQ(d[21], 0x00);
  }
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  ASSERT_TRUE(jpegtest::decode(e.jpeg.data(), e.jpeg.size(), &w, &h, &rgb));
  for (uint8_t v : rgb) ASSERT_NEAR(v, 128, 1);
}

TEST(JpegEncoder, HalfHeightFrameCarriesFullHeightInTheFormatWord) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(60, 768, 288, 576, ""));
  const Encoded e = encodeWith(enc, jpegtest::naturalPicture(768, 288));
  ASSERT_TRUE(e.ok);
  const std::vector<Segment> s = segments(e.jpeg);
  ASSERT_EQ(s[10].marker, 0xC0);
  EXPECT_EQ(getBE16(&e.jpeg[s[10].offset + 5]), 288);
  EXPECT_EQ(getBE16(&e.jpeg[s[10].offset + 7]), 768);
  EXPECT_EQ(getLE32(&e.jpeg[20 + 64]), ((576u << 12) | 768u) << 8);
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  ASSERT_TRUE(jpegtest::decode(e.jpeg.data(), e.jpeg.size(), &w, &h, &rgb));
  EXPECT_EQ(w, 768);
  EXPECT_EQ(h, 288);
}

TEST(JpegEncoder, SequenceNumbersStartAtOneAndRunOnAcrossInit) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(70, 32, 32, 32, ""));
  Encoded e = encodeWith(enc, uniform(32, 32, 1, 2, 3));
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.sequence, 1u);
  EXPECT_EQ(getLE32(&e.jpeg[20 + 20]), 1u);
  EXPECT_EQ(getLE32(&e.jpeg[20 + 24]), 1u);
  EXPECT_TRUE(encodeWith(enc, uniform(32, 32, 1, 2, 3)).ok);

  ASSERT_TRUE(enc.init(50, 48, 16, 32, "cam"));
  e = encodeWith(enc, uniform(48, 16, 1, 2, 3));
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.sequence, 3u);
  EXPECT_EQ(getLE32(&e.jpeg[20 + 20]), 3u);

  // A refused frame is not published and uses no number.
  EXPECT_FALSE(encodeWith(enc, uniform(48, 16, 1, 2, 3), 0, 100).ok);
  EXPECT_EQ(encodeWith(enc, uniform(48, 16, 1, 2, 3)).sequence, 4u);
  EXPECT_EQ(enc.frameCounter(), 4u);
}

TEST(JpegEncoder, RefusesPicturesLargerThanTheCapacityWithoutWritingPastIt) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(90, 320, 240, 240, ""));
  const std::vector<uint8_t> picture = jpegtest::naturalPicture(320, 240, 3);
  const Encoded full = encodeWith(enc, picture);
  ASSERT_TRUE(full.ok);
  const size_t need = full.jpeg.size();
  const size_t headerEnd = segments(full.jpeg).back().offset + 14;

  constexpr size_t kGuard = 4096;
  for (size_t cap : {size_t(0), size_t(50), headerEnd - 1, headerEnd + 1, headerEnd + 100,
                     need / 2, need - 2, need - 1, need}) {
    std::vector<uint8_t> buf(cap + kGuard, 0xA5);
    std::vector<uint8_t> px = picture;
    size_t len = 0;
    uint32_t seq = 0;
    const bool ok = enc.encode(px.data(), buf.data(), cap, &len, 0, &seq);
    EXPECT_EQ(ok, cap >= need) << "capacity " << cap;
    for (size_t i = cap; i < buf.size(); ++i)
      ASSERT_EQ(buf[i], 0xA5) << "capacity " << cap << ": byte " << i << " written";
    if (ok) {
      EXPECT_EQ(len, need);
      int dw = 0, dh = 0;
      std::vector<uint8_t> rgb;
      EXPECT_TRUE(jpegtest::decode(buf.data(), len, &dw, &dh, &rgb));
      // Same picture, same bytes apart from the sequence number.
      EXPECT_EQ(0, std::memcmp(buf.data() + 20 + 28, full.jpeg.data() + 20 + 28, need - 48));
    }
  }
}

TEST(JpegEncoder, SimdAndPortableCodeGiveIdenticalBytes) {
  for (const auto& size : {std::make_pair(768, 576), std::make_pair(100, 75),
                           std::make_pair(17, 9), std::make_pair(1, 1)}) {
    const int w = size.first, h = size.second;
    std::vector<uint8_t> pixels = jpegtest::naturalPicture(w, h, 11);
    // Extremes too: full-range noise in one corner drives every transform sum to its limits.
    for (int y = 0; y < h / 2; ++y)
      for (int x = 0; x < w / 2; ++x)
        for (int c = 0; c < 3; ++c) pixels[(size_t(y) * w + x) * 4 + c] = ((x ^ y) & 1) ? 255 : 0;
    for (int quality : {10, 90, 100}) {
      CJpegEncoder fast, portable;
      portable.setForcePortable(true);
      ASSERT_TRUE(fast.init(quality, w, h, h, ""));
      ASSERT_TRUE(portable.init(quality, w, h, h, ""));
      std::vector<uint8_t> pxFast = pixels, pxPortable = pixels;
      std::vector<uint8_t> a(512 * 1024), b(512 * 1024);
      size_t la = 0, lb = 0;
      uint32_t sa = 0, sb = 0;
      ASSERT_TRUE(fast.encode(pxFast.data(), a.data(), a.size(), &la, 5, &sa));
      ASSERT_TRUE(portable.encode(pxPortable.data(), b.data(), b.size(), &lb, 5, &sb));
      ASSERT_EQ(la, lb) << w << "x" << h << " q" << quality;
      int dw = 0, dh = 0;
      std::vector<uint8_t> rgb;
      EXPECT_TRUE(jpegtest::decode(a.data(), la, &dw, &dh, &rgb)) << w << "x" << h;
      EXPECT_EQ(0, std::memcmp(a.data(), b.data(), la)) << w << "x" << h << " q" << quality;
      EXPECT_EQ(pxFast, pxPortable) << "in-place RGB differs, " << w << "x" << h;
    }
  }
}

TEST(JpegEncoder, SizesOffTheMacroblockGridDecodeWithTheirOwnEdges) {
  // 160 x 120 and odd sizes leave partial macroblocks; they are padded, not dropped.
  for (const auto& size : {std::make_pair(160, 120), std::make_pair(37, 23)}) {
    const int w = size.first, h = size.second;
    const std::vector<uint8_t> picture = jpegtest::naturalPicture(w, h, 5);
    CJpegEncoder enc;
    ASSERT_TRUE(enc.init(90, w, h, h, ""));
    const Encoded e = encodeWith(enc, picture);
    ASSERT_TRUE(e.ok);
    int dw = 0, dh = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(jpegtest::decode(e.jpeg.data(), e.jpeg.size(), &dw, &dh, &rgb));
    ASSERT_EQ(dw, w);
    ASSERT_EQ(dh, h);
    // As good as libjpeg-turbo with the same tables, which replicates edges the same way.
    const std::vector<Segment> s = segments(e.jpeg);
    unsigned luma[64], chroma[64];
    for (int k = 0; k < 64; ++k) {
      luma[jpeg::kZigzag[k]] = e.jpeg[s[4].offset + 5 + k];
      chroma[jpeg::kZigzag[k]] = e.jpeg[s[5].offset + 5 + k];
    }
    const std::vector<uint8_t> ref =
        jpegtest::referenceEncode(picture.data(), w, h, 90, true, luma, chroma);
    std::vector<uint8_t> refRgb;
    ASSERT_TRUE(jpegtest::decode(ref.data(), ref.size(), &dw, &dh, &refRgb));
    const std::vector<uint8_t> original = jpegtest::bgrxToRgb(picture);
    EXPECT_GT(jpegtest::psnr(original, rgb), jpegtest::psnr(original, refRgb) - 0.5)
        << w << "x" << h;
    // The bottom right pixel keeps its colour (the padding repeats it).
    const size_t last = (size_t(w) * h - 1);
    EXPECT_NEAR(rgb[last * 3], picture[last * 4 + 2], 24);
  }
}

TEST(JpegEncoder, SaturatedColoursDecodeToThemselves) {
  const uint8_t colours[][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0},
                                {40, 200, 220}, {250, 250, 250}, {0, 0, 0}};  // R, G, B
  for (const auto& c : colours) {
    CJpegEncoder enc;
    ASSERT_TRUE(enc.init(90, 32, 32, 32, ""));
    const Encoded e = encodeWith(enc, uniform(32, 32, c[2], c[1], c[0]));
    ASSERT_TRUE(e.ok);
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(jpegtest::decode(e.jpeg.data(), e.jpeg.size(), &w, &h, &rgb));
    for (int ch = 0; ch < 3; ++ch)
      EXPECT_NEAR(rgb[3 * 100 + ch], c[ch], 6)
          << "colour " << int(c[0]) << "," << int(c[1]) << "," << int(c[2]) << " channel " << ch;
  }
}

TEST(JpegEncoder, RewritesTheGrabbedPixelsAsPackedRgb) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(70, 37, 5, 5, ""));
  const std::vector<uint8_t> picture = jpegtest::naturalPicture(37, 5, 2);
  std::vector<uint8_t> px = picture;
  std::vector<uint8_t> out(64 * 1024);
  size_t len = 0;
  uint32_t seq = 0;
  ASSERT_TRUE(enc.encode(px.data(), out.data(), out.size(), &len, 0, &seq));
  const std::vector<uint8_t> rgb = jpegtest::bgrxToRgb(picture);
  EXPECT_EQ(0, std::memcmp(px.data(), rgb.data(), rgb.size()));
}

TEST(JpegEncoder, InitRefusesWhatItCannotEncode) {
  CJpegEncoder enc;
  std::vector<uint8_t> px(16 * 16 * 4), out(64 * 1024);
  size_t len = 0;
  uint32_t seq = 0;
  EXPECT_FALSE(enc.encode(px.data(), out.data(), out.size(), &len, 0, &seq));  // no init yet
  EXPECT_FALSE(enc.init(0, 16, 16, 16, ""));
  EXPECT_FALSE(enc.init(101, 16, 16, 16, ""));
  EXPECT_FALSE(enc.init(70, 0, 16, 16, ""));
  EXPECT_FALSE(enc.init(70, 16, 0, 16, ""));
  EXPECT_FALSE(enc.encode(px.data(), out.data(), out.size(), &len, 0, &seq));
  EXPECT_TRUE(enc.init(70, 16, 16, 16, ""));
  EXPECT_FALSE(enc.encode(nullptr, out.data(), out.size(), &len, 0, &seq));
  EXPECT_EQ(enc.frameCounter(), 0u);
}

TEST(JpegEncoder, LongChannelNameIsCutToFitTheOneByteLength) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(70, 16, 16, 16, std::string(300, 'n')));
  const Encoded e = encodeWith(enc, uniform(16, 16, 9, 9, 9));
  ASSERT_TRUE(e.ok);
  const std::vector<Segment> s = segments(e.jpeg);
  ASSERT_EQ(s[3].marker, 0xFE);
  const size_t textLen = e.jpeg[s[3].offset + 3] - 3u;
  EXPECT_EQ(textLen, 128 + CJpegEncoder::kMaxNameLength);
  const std::string text(reinterpret_cast<const char*>(&e.jpeg[s[3].offset + 4]), textLen);
  EXPECT_NE(text.find("NAM=" + std::string(CJpegEncoder::kMaxNameLength, 'n') + "\r\n"),
            std::string::npos);
  EXPECT_EQ(s[4].marker, 0xDB);  // the next segment starts where the length byte says
}

TEST(JpegEncoder, RefusedFrameLeavesThePixelsForARetryWithALargerBuffer) {
  CJpegEncoder enc;
  ASSERT_TRUE(enc.init(90, 320, 240, 240, ""));
  const std::vector<uint8_t> picture = jpegtest::naturalPicture(320, 240, 3);
  const Encoded full = encodeWith(enc, picture);
  ASSERT_TRUE(full.ok);
  std::vector<uint8_t> px = picture;
  std::vector<uint8_t> out(512 * 1024);
  size_t len = 0;
  uint32_t seq = 0;
  // Refused before the header (100 bytes) and inside the scan (half the picture).
  for (size_t cap : {size_t(100), full.jpeg.size() / 2}) {
    EXPECT_FALSE(enc.encode(px.data(), out.data(), cap, &len, 0, &seq));
    ASSERT_EQ(px, picture) << "pixels changed by a frame refused at capacity " << cap;
  }
  ASSERT_TRUE(enc.encode(px.data(), out.data(), out.size(), &len, 0, &seq));
  ASSERT_EQ(len, full.jpeg.size());
  // Same picture, bytes identical apart from the sequence number.
  EXPECT_EQ(0, std::memcmp(out.data() + 20 + 28, full.jpeg.data() + 20 + 28, len - 48));
  const std::vector<uint8_t> rgb = jpegtest::bgrxToRgb(picture);
  EXPECT_EQ(0, std::memcmp(px.data(), rgb.data(), rgb.size()));
}

TEST(JpegEncoder, RefusesANullLengthAndFormatHeightsOutside1To4095) {
  CJpegEncoder enc;
  EXPECT_FALSE(enc.init(70, 16, 16, 0, ""));
  EXPECT_FALSE(enc.init(70, 16, 16, -1, ""));
  EXPECT_FALSE(enc.init(70, 16, 16, 4096, ""));
  ASSERT_TRUE(enc.init(70, 16, 16, 4095, ""));
  std::vector<uint8_t> px = uniform(16, 16, 1, 2, 3), out(64 * 1024);
  uint32_t seq = 0;
  EXPECT_FALSE(enc.encode(px.data(), out.data(), out.size(), nullptr, 0, &seq));
  EXPECT_EQ(enc.frameCounter(), 0u);
}

TEST(JpegEncoder, EverySimdLevelGivesTheSameBytesAtEveryWidthModulo16) {
  using jpeg::SimdLevel;
  std::vector<SimdLevel> levels;
  for (int l = 0; l <= int(jpeg::cpuSimdLevel()); ++l) levels.push_back(SimdLevel(l));
  for (int rem = 0; rem < 16; ++rem) {
    // 32 + rem: two AVX2 steps, one SSE2 step from remainder 8 on, then the portable tail.
    const int w = 32 + rem;
    for (int h : {9, 16}) {
      std::vector<uint8_t> pixels = jpegtest::naturalPicture(w, h, uint32_t(rem));
      for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x)
          for (int c = 0; c < 3; ++c)
            pixels[(size_t(y) * w + x) * 4 + c] = ((x ^ y) & 1) ? 255 : 0;
      std::vector<uint8_t> reference, referencePx;
      for (SimdLevel level : levels) {
        CJpegEncoder enc;
        enc.setSimdLevel(level);
        ASSERT_EQ(enc.simdLevel(), level);
        ASSERT_TRUE(enc.init(75, w, h, h, ""));
        std::vector<uint8_t> px = pixels;
        std::vector<uint8_t> out(64 * 1024);
        size_t len = 0;
        ASSERT_TRUE(enc.encode(px.data(), out.data(), out.size(), &len, 9, nullptr));
        out.resize(len);
        if (level == SimdLevel::kPortable) {
          reference = out;
          referencePx = px;
          continue;
        }
        EXPECT_EQ(out, reference) << jpeg::simdLevelName(level) << " " << w << "x" << h;
        EXPECT_EQ(px, referencePx) << "packed RGB, " << jpeg::simdLevelName(level) << " " << w;
      }
    }
  }
}

TEST(JpegEncoder, EnvironmentLowersTheSimdLevel) {
  using jpeg::SimdLevel;
  const SimdLevel cpu = jpeg::cpuSimdLevel();
  auto capped = [&](SimdLevel l) { return int(l) < int(cpu) ? l : cpu; };
  const struct {
    const char* value;
    SimdLevel expected;
  } cases[] = {{"portable", SimdLevel::kPortable}, {"sse2", capped(SimdLevel::kSse2)},
               {"ssse3", capped(SimdLevel::kSsse3)}, {"avx2", cpu}, {"AVX-512", cpu}};
  for (const auto& c : cases) {
    setenv("TELVGATE_JPEG_SIMD", c.value, 1);
    CJpegEncoder enc;
    EXPECT_EQ(enc.simdLevel(), c.expected) << c.value;
    enc.setForcePortable(true);
    enc.setForcePortable(false);  // back to what the environment says
    EXPECT_EQ(enc.simdLevel(), c.expected) << c.value;
  }
  unsetenv("TELVGATE_JPEG_SIMD");
  setenv("TELVGATE_JPEG_PORTABLE", "1", 1);
  EXPECT_EQ(CJpegEncoder().simdLevel(), SimdLevel::kPortable);
  unsetenv("TELVGATE_JPEG_PORTABLE");
  EXPECT_EQ(CJpegEncoder().simdLevel(), cpu);
}

// Digests of everything from the quantisation tables to EOI, recorded from an earlier build:
// speed work on any level must not change a single byte of what viewers and recordings get.
// Sizes cover whole and partial macroblocks, odd rows and columns and a single pixel.
TEST(JpegEncoder, OutputBytesMatchRecordedDigestsAtEveryLevel) {
  struct Case {
    int w, h;
    uint64_t digest[3];  // qualities 10, 70, 100
  };
  const Case cases[] = {
      {768, 576, {0xcf348b6b9ddbebeeull, 0x59e4bdb3f3042549ull, 0x0e61cc92ee950b33ull}},
      {100, 75, {0xd6d8d5f7c5f3911aull, 0x3d6bc5b2e84bd748ull, 0xa97c72902c5f7b6full}},
      {17, 9, {0xe457943d29a2ff28ull, 0x81c33bd86f99be2dull, 0x5d25a64fcb89b76full}},
      {1, 1, {0x0eea90eb0273c6aeull, 0x2180323375182a8cull, 0x57d1ff3b80130459ull}},
      {37, 5, {0x72bcf97680d8e34bull, 0x042cc887449873daull, 0x5290f6355f743d31ull}},
      {33, 47, {0x2c417b5241e59cacull, 0xbfe4433d5c9927f8ull, 0xe6200b32148f13c2ull}},
  };
  const int qualities[3] = {10, 70, 100};
  for (const Case& c : cases) {
    std::vector<uint8_t> pixels = jpegtest::naturalPicture(c.w, c.h, 11);
    for (int y = 0; y < c.h / 2; ++y)  // full-range checkerboard in one quarter
      for (int x = 0; x < c.w / 2; ++x)
        for (int k = 0; k < 3; ++k)
          pixels[(size_t(y) * c.w + x) * 4 + k] = ((x ^ y) & 1) ? 255 : 0;
    for (int lvl = 0; lvl <= int(jpeg::cpuSimdLevel()); ++lvl) {
      for (int qi = 0; qi < 3; ++qi) {
        CJpegEncoder enc;
        enc.setSimdLevel(jpeg::SimdLevel(lvl));
        ASSERT_TRUE(enc.init(qualities[qi], c.w, c.h, c.h, ""));
        const Encoded e = encodeWith(enc, pixels, 5);
        ASSERT_TRUE(e.ok);
        const std::vector<Segment> s = segments(e.jpeg);
        uint64_t digest = 1469598103934665603ull;  // FNV-1a
        for (size_t i = s[4].offset; i < e.jpeg.size(); ++i) {
          digest ^= e.jpeg[i];
          digest *= 1099511628211ull;
        }
        EXPECT_EQ(digest, c.digest[qi]) << c.w << "x" << c.h << " q" << qualities[qi] << " "
                                        << jpeg::simdLevelName(jpeg::SimdLevel(lvl));
      }
    }
  }
}

// The time and name overlay as a viewer sees it: pictures encoded at quality 10 at every image
// size, decoded, and the text in their top-left box read back dot by dot against the font.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/CSettings.h"
#include "channels/OverlayFont.h"
#include "endpoint/CFalconVideoCnl.h"
#include "tests/falcon_fake.h"
#include "tests/jpeg_support.h"
#include "tests/support/TestEnv.h"

namespace {

// Reads chars characters of one overlay line from a decoded luminance plane: each character's
// 5 x 7 dots sampled at their centres, then the font's nearest glyph.
std::string readLine(const std::vector<uint8_t>& luma, int width, int scale, int line, size_t chars) {
  std::string out;
  const int top = 3 * scale + line * 9 * scale;  // margin and padding; lines 7 dots and a 2-dot gap
  for (size_t i = 0; i < chars; ++i) {
    const int left = 3 * scale + int(i) * 6 * scale;
    char best = 0;
    int bestDiff = 99;
    for (unsigned char c = 0x20; c < 0x7F; ++c) {
      int diff = 0;
      for (int r = 0; r < 7; ++r)
        for (int col = 0; col < 5; ++col) {
          const size_t at = size_t(top + r * scale + scale / 2) * width + left + col * scale + scale / 2;
          diff += (luma[at] >= 128) != bool(overlay::glyph(c)[r] & (0x10 >> col));
        }
      if (diff < bestDiff) {
        bestDiff = diff;
        best = char(c);
      }
    }
    out += best;
  }
  return out;
}

TEST(PictureOverlay, NameAndTimeReadBackAtQualityTenAtEverySize) {
  IsolatedHome home;
  falconfake::reset();
  const uint64_t timeNs = 1700000000123456789ull;
  const std::vector<std::string> expected = {"Gate 7", overlay::localTimeText(timeNs)};
  struct Size {
    const char* keyword;
    int width, height, scale;
  } const sizes[] = {{"qvga", 320, 240, 2}, {"vga2", 640, 240, 3}, {"vga", 640, 480, 3}, {"d-1pal", 768, 576, 3}};
  for (const Size& s : sizes) {
    CFalconBoardDrv board(falconfake::api(), 1, 0);
    const std::string sec = board.sectionOf(0);
    g_settings.writeString(sec, "ImageSize", s.keyword);
    g_settings.writeInt(sec, "ImageQuality", 10);
    g_settings.writeString(sec, "CnlOverlay", "nametime");
    g_settings.writeString(sec, "CnlName", expected[0]);
    g_settings.writeString(sec, "CnlIPAddr", "127.0.0.1");
    CFalconVideoCnl cnl(&board, 0);
    ASSERT_TRUE(cnl.init() && cnl.reconf()) << s.keyword;
    // A half-height size grabs both fields; the channel keeps every second line.
    std::vector<uint8_t> image = jpegtest::naturalPicture(s.width, s.keyword[3] == '2' ? 2 * s.height : s.height, 5);
    image.resize(CFalconVideoCnl::kImageBufferSize);
    ASSERT_TRUE(cnl.processImage(image.data(), timeNs));
    FrameRec rec;
    ASSERT_TRUE(cnl.getNewFrame(rec));
    int w = 0, h = 0;
    std::vector<uint8_t> luma;
    ASSERT_TRUE(jpegtest::decode(rec.data, rec.length, &w, &h, &luma, true));
    ASSERT_EQ(w, s.width);
    ASSERT_EQ(h, s.height);
    for (int line = 0; line < 2; ++line)
      EXPECT_EQ(readLine(luma, w, s.scale, line, expected[line].size()), expected[line]) << s.keyword;
  }
}

}  // namespace

// The analog judgement of grabbed pictures: a nearly uniform screen is "no signal" after 3 s,
// also with noise and a small caption on it; the very same picture is "frozen" after 10 s and
// ok again once it changes; a living picture stays ok.
#include <gtest/gtest.h>

#include <vector>

#include "channels/OverlayFont.h"
#include "channels/SignalState.h"
#include "tests/jpeg_support.h"

namespace {

constexpr int kW = 320, kH = 240;
constexpr uint64_t kSecond = 1000000000ull;

TEST(PictureWatch, JudgesUniformStillAndLivingPictures) {
  PictureWatch blue;
  for (int i = 0; i <= 4; ++i) {
    std::vector<uint8_t> px(size_t(kW) * kH * 4);
    for (size_t p = 0; p < px.size(); p += 4) {
      px[p] = uint8_t(170 + (p * 7 + size_t(i)) % 5);
      px[p + 1] = px[p + 2] = uint8_t((p + size_t(i)) % 4);
    }
    overlay::Image img{px.data(), kW, kH};
    overlay::fillRect(img, 8, 8, 48, 16, {255, 255, 255});  // a caption on 1 % of the blocks
    EXPECT_EQ(blue.note(px.data(), kW, kH, 1 + i * kSecond), i >= 3 ? SignalState::NoSignal : SignalState::Ok) << i;
  }
  PictureWatch still, living;
  const std::vector<uint8_t> pic = jpegtest::naturalPicture(kW, kH, 3);
  for (int i = 0; i <= 11; ++i) {
    EXPECT_EQ(still.note(pic.data(), kW, kH, 1 + i * kSecond), i >= 10 ? SignalState::Frozen : SignalState::Ok) << i;
    const std::vector<uint8_t> moving = jpegtest::naturalPicture(kW, kH, 10 + i);  // its noise moves
    EXPECT_EQ(living.note(moving.data(), kW, kH, 1 + i * kSecond), SignalState::Ok) << i;
  }
  const std::vector<uint8_t> other = jpegtest::naturalPicture(kW, kH, 99);
  EXPECT_EQ(still.note(other.data(), kW, kH, 13 * kSecond), SignalState::Ok);
}

}  // namespace

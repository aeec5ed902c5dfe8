// The analog frame filters: exact values of the truncating smoothing, and the SIMD forms
// byte for byte against the portable one over odd and even sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "channels/AnalogFilter.h"

namespace {

std::vector<uint8_t> randomFrame(int width, int height, uint32_t seed) {
  std::vector<uint8_t> f(size_t(width) * height * 4);
  std::mt19937 gen(seed);
  for (uint8_t& b : f) b = static_cast<uint8_t>(gen());
  return f;
}

TEST(AnalogFilter, SmoothingTruncatesEachHalvingAndFillsTheFourthByte) {
  // 2 x 2 pixels, one colour byte each shown: 255 1 / 0 3 and then the edges.
  uint8_t px[16] = {255, 10, 0, 0, 1, 11, 0, 0,  //
                    0,   13, 0, 0, 3, 14, 0, 0};
  analog::smoothFrame(px, 2, 2, true);
  // ((255 + 1) / 2 + (0 + 3) / 2) / 2 = (128 + 1) / 2 = 64; ((10+11)/2 + (13+14)/2)/2 = 11
  EXPECT_EQ(px[0], 64);
  EXPECT_EQ(px[1], 11);
  EXPECT_EQ(px[3], 0xFF);
  // The last column is its own right neighbour: (1 + 3) / 2 = 2; the last row is its own row
  // below: (0 + 3) / 2 = 1, and the corner keeps its value.
  EXPECT_EQ(px[4], 2);
  EXPECT_EQ(px[8], 1);
  EXPECT_EQ(px[12], 3);
  EXPECT_EQ(px[15], 0xFF);
}

TEST(AnalogFilter, SimdSmoothingMatchesPortableForEverySize) {
  for (int width : {1, 2, 3, 4, 5, 8, 9, 15, 16, 17, 33, 320, 641, 768}) {
    for (int height : {1, 2, 3, 7}) {
      std::vector<uint8_t> portable = randomFrame(width, height, uint32_t(width * 31 + height));
      std::vector<uint8_t> simd = portable;
      analog::smoothFrame(portable.data(), width, height, true);
      analog::smoothFrame(simd.data(), width, height, false);
      ASSERT_EQ(portable, simd) << width << " x " << height;
    }
  }
}

TEST(AnalogFilter, LineDroppingKeepsEveryEvenLine) {
  const int width = 5, height = 7;
  std::vector<uint8_t> f = randomFrame(width, height, 9);
  const std::vector<uint8_t> original = f;
  analog::dropOddLines(f.data(), width, height);
  const size_t line = width * 4;
  for (int y = 0; 2 * y < height; ++y)
    EXPECT_EQ(0, std::memcmp(f.data() + y * line, original.data() + 2 * y * line, line)) << y;
}

}  // namespace

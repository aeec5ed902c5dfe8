// Picture blocks and lookup tables: golden bytes of the segments every published picture carries.
#include <gtest/gtest.h>

#include <cstring>

#include "base/Tables.h"
#include "channels/PictureBlocks.h"

using namespace pictureblocks;

TEST(PictureBlocks, HeaderTemplateAndFrameFieldsAreByteExact) {
  uint8_t h[kHeaderSize];
  initHeader(h);
  setFrameFields(h, 1234567891234ull * 1000 + 999, 0x01020304, imageFormatWord(0, 768, 576));
  const uint8_t golden[kHeaderSize] = {
      0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x42, 'T', 'L', 'F', 0x00,   // SOI, COM, length 66, magic
      0x59, 0x07, 0x00, 0x00,                                    // 1881
      0x22, 0x09, 0xFB, 0x71, 0x1F, 0x01, 0x00, 0x00,            // 1234567891234 us
      0x04, 0x03, 0x02, 0x01, 0x04, 0x03, 0x02, 0x01,            // sequence twice
      0, 0, 0, 0, 0, 0, 0, 0,                                    // two zero words
      1, 0, 0, 0, 0x00, 0x00, 0x00, 0x90,                        // 1, 0x90000000
      1, 0, 0, 0, 0x00, 0x00, 0x00, 0x90,                        // 1, 0x90000000
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                        // three zero words
      0x00, 0x00, 0x03, 0x24};                                   // (576<<12 | 768) << 8
  EXPECT_EQ(0, std::memcmp(h, golden, kHeaderSize));
}

TEST(PictureBlocks, FormatWordKeepsTheProducersLowByteAndMasksTheWidth) {
  EXPECT_EQ(imageFormatWord(0xABCDEFAB, 768, 576), ((576u << 12 | 768u) << 8) | 0xABu);
  EXPECT_EQ(imageFormatWord(0, 4096 + 5, 1), ((1u << 12) | 5u) << 8);
}

TEST(PictureBlocks, IpCommentCarriesNameAndCameraAddress) {
  auto seg = ipCommentSegment("", "cam.example.org");
  const std::string text(seg.begin() + 4, seg.end());
  EXPECT_EQ(text,
            "#:T7IMG\r\nSECTION ID\r\nSWV=1.3.4.7\r\nCFL=TelvGate\r\nNAM=\r\nET0=cam.example.org"
            "\r\nENDSECTION ID\r\nSECTION EVENT\r\nSYA=0\r\nSYP=0\r\nREC=CONT\r\nENDSECTION EVENT\r\n\r\n");
  EXPECT_EQ(seg[0], 0xFF);
  EXPECT_EQ(seg[1], 0xFE);
  EXPECT_EQ((seg[2] << 8) | seg[3], int(text.size() + 2));
}

TEST(PictureBlocks, AnalogCommentHasNoAddressOneLengthByteAndATerminator) {
  auto seg = analogCommentSegment("");
  ASSERT_EQ(seg.size(), 4u + 128u + 1u);  // the empty-name text has 128 characters
  EXPECT_EQ(seg[2], 0x00);
  EXPECT_EQ(seg[3], 128 + 3);
  EXPECT_EQ(seg.back(), 0);
  const std::string text(seg.begin() + 4, seg.end() - 1);
  EXPECT_EQ(text.find("ET0="), std::string::npos);
  // A name that would overflow the one-byte length is refused rather than wrapped.
  EXPECT_TRUE(analogCommentSegment(std::string(130, 'n')).empty());
  auto longest = analogCommentSegment(std::string(123, 'n'));  // 251 characters + zero
  ASSERT_FALSE(longest.empty());
  EXPECT_EQ(longest[3], 254);
}

TEST(PictureBlocks, TimeIsReadBackOnlyFromPicturesCarryingTheStamp) {
  uint8_t h[kHeaderSize];
  initHeader(h);
  setFrameFields(h, 42000123ull, 1, 0);
  uint64_t us = 0;
  ASSERT_TRUE(readPictureTimeUs(h, sizeof h, &us));
  EXPECT_EQ(us, 42000u);
  h[8] = 'X';  // magic damaged
  EXPECT_FALSE(readPictureTimeUs(h, sizeof h, &us));
  const uint8_t plain[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16};
  EXPECT_FALSE(readPictureTimeUs(plain, sizeof plain, &us));
  EXPECT_FALSE(readPictureTimeUs(h, 10, &us));
}

TEST(Tables, LookupsFollowTheTables) {
  EXPECT_EQ(imageSizeCode("d-1pal"), 1);
  EXPECT_EQ(imageSizeCode("720p"), 13);
  EXPECT_EQ(imageSizeCode("VGA"), 0);
  EXPECT_EQ(imageSizeDims(13).height, 768);
  EXPECT_EQ(imageSizeDims(0).width, 0);
  EXPECT_EQ(imageSizeDims(99).width, 0);
  EXPECT_STREQ(imageSizeKeyword(10), "3mp");
  EXPECT_EQ(rotorTypeCode("speeddome"), 3);
  EXPECT_EQ(rotorTypeCode("bogus"), 0);
  EXPECT_STREQ(rotorTypeName(2), "BoshAutoDome");
  EXPECT_EQ(rotorTypeName(6), nullptr);
  EXPECT_EQ(videoStdCode("SECAM"), 2);
  EXPECT_STREQ(cnlTypeName(7), "IP Vivotec");
  EXPECT_STREQ(cnlTypeName(9), "IP GrandStream");
  EXPECT_EQ(cnlTypeName(10), nullptr);
  EXPECT_STREQ(kTelvGateVersion, "1.3.4.7");
}

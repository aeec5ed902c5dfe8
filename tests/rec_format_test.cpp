// The recorder's stored formats: index bytes, INFO.jpg bytes, event naming, paths and the
// time-stamp search in stored pictures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording/ErdInfo.h"
#include "recording/EventInfo.h"
#include "recording/EventTree.h"
#include "tests/support/TestChannel.h"

namespace {

std::vector<uint8_t> hexBytes(const char* hex) {
  std::vector<uint8_t> out;
  std::string h;
  for (const char* p = hex; *p; ++p)
    if (*p != ' ') h += *p;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(uint8_t(std::stoul(h.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(ErdInfoFormat, HeaderGoldenBytes) {
  uint8_t hdr[erdinfo::kHeaderSize];
  std::memset(hdr, 0xAA, sizeof hdr);
  erdinfo::encodeHeader(hdr);
  std::vector<uint8_t> expected(erdinfo::kHeaderSize, 0);
  auto first = hexBytes("45767444 02000801 4C010000 9C000000");
  std::copy(first.begin(), first.end(), expected.begin());
  EXPECT_EQ(std::vector<uint8_t>(hdr, hdr + sizeof hdr), expected);
  EXPECT_EQ(erdinfo::headerSizeField(hdr), 332u);
}

TEST(ErdInfoFormat, RecordGoldenBytes) {
  erdinfo::Record r = erdinfo::freshRecord(0x5F5E1000);
  r.newest = 1234;
  r.newestStamp.frame = 0x01020304;
  r.newestStamp.seconds = 0x11223344;
  r.newestStamp.millis = 999;
  r.newestStamp.event = 1234;
  r.usedKB = 0x00ABCDEF;
  uint8_t b[erdinfo::kRecordSize];
  std::memset(b, 0xAA, sizeof b);
  erdinfo::encodeRecord(r, b);
  std::vector<uint8_t> expected(erdinfo::kRecordSize, 0);
  auto put = [&](size_t off, const char* hex) {
    auto v = hexBytes(hex);
    std::copy(v.begin(), v.end(), expected.begin() + off);
  };
  put(0, "01000000 D2040000");                            // oldest 1, newest 1234
  put(20, "00000000 00105E5F 00000000 01000000 0100");   // oldest stamp: frame 0, now, ms 0, ev 1, flag
  put(84, "04030201 44332211 E7030000 D2040000 0100");   // newest stamp
  put(140, "EFCDAB00");                                  // used KB
  EXPECT_EQ(std::vector<uint8_t>(b, b + sizeof b), expected);

  erdinfo::Record back = erdinfo::decodeRecord(b);
  EXPECT_EQ(back.oldest, 1u);
  EXPECT_EQ(back.newest, 1234u);
  EXPECT_EQ(back.newestStamp.frame, 0x01020304u);
  EXPECT_EQ(back.newestStamp.millis, 999u);
  EXPECT_EQ(back.oldestStamp.seconds, 0x5F5E1000u);
  EXPECT_EQ(back.usedKB, 0x00ABCDEF);
}

TEST(ErdInfoFormat, NegativeUsedSpaceSurvivesRoundTrip) {
  erdinfo::Record r = erdinfo::freshRecord(1);
  r.usedKB = -5;
  uint8_t b[erdinfo::kRecordSize];
  erdinfo::encodeRecord(r, b);
  EXPECT_EQ(b[erdinfo::kRecUsedKB + 3], 0xFF);
  EXPECT_EQ(erdinfo::decodeRecord(b).usedKB, -5);
}

TEST(ErdInfoFormat, StampTimeFromMicroseconds) {
  erdinfo::Stamp s;
  erdinfo::setStampTimeUs(s, 1700000000123456ull);
  EXPECT_EQ(s.seconds, 1700000000u);
  EXPECT_EQ(s.millis, 123u);
}

TEST(EventInfoFile, GoldenBytes) {
  eventinfo::Info info;
  info.sequenceFiles = 0;
  info.firstFrame = 17;
  info.lastFrame = 42;
  info.firstSeconds = 1700000000;
  info.lastSeconds = 1700000061;
  std::string text =
      "#:T7IMG\r\nSECTION EVENT\r\nSYA=0\r\nSYP=0\r\nCNT=0\r\nREC=CONT\r\nENDSECTION EVENT\r\n"
      "SECTION SEQUENCE\r\nFFR=17\r\nLFR=42\r\nFTI=1700000000\r\nLTI=1700000061\r\n"
      "ENDSECTION SEQUENCE\r\n";
  std::vector<uint8_t> expected = {0xFF, 0xD8, 0xFF, 0xFE, uint8_t((text.size() + 2) >> 8),
                                   uint8_t(text.size() + 2)};
  expected.insert(expected.end(), text.begin(), text.end());
  expected.push_back(0xFF);
  expected.push_back(0xD9);
  EXPECT_EQ(eventinfo::infoFile(info), expected);
}

TEST(EventTreeNaming, DirectoriesAndWrap) {
  EXPECT_EQ(eventtree::eventDir("/r/test_1/", 1), "/r/test_1/000/001/");
  EXPECT_EQ(eventtree::eventDir("/r/test_1/", 1234), "/r/test_1/001/234/");
  EXPECT_EQ(eventtree::eventDir("/r/", 999999), "/r/999/999/");
  EXPECT_EQ(eventtree::topDir("/r/", 1234), "/r/001");
  EXPECT_EQ(erdinfo::nextEvent(999999), 0u);
  EXPECT_EQ(erdinfo::previousEvent(0), 999999u);
  EXPECT_EQ(eventtree::sequenceFileName(6), "M00006.jpg");
}

TEST(EventTreeNaming, RecordedFilePattern) {
  for (const char* yes : {"E00000.jpg", "M00001.jpg", "M00006.jpg", "e00000.JPG", "M000ab.jpg"})
    EXPECT_TRUE(eventtree::isRecordedFileName(yes)) << yes;
  for (const char* no : {"INFO.jpg", "X00000.jpg", "M10001.jpg", "M00001.jpeg", "M0001.jpg", ""})
    EXPECT_FALSE(eventtree::isRecordedFileName(no)) << no;
}

TEST(EventTreePaths, Normalisation) {
  EXPECT_EQ(eventtree::normalizePath("/data//rec/"), "/data/rec/");
  EXPECT_EQ(eventtree::normalizePath("/data/./a/../rec/"), "/data/rec/");
  EXPECT_EQ(eventtree::normalizePath("\\data\\rec\\"), "/data/rec/");
  EXPECT_EQ(eventtree::normalizePath("/../../x"), "/x");
  EXPECT_EQ(eventtree::normalizePath("//"), "/");
  EXPECT_EQ(eventtree::normalizePath("rec/../../x/"), "../x/");
  EXPECT_TRUE(eventtree::isAbsolutePath(eventtree::normalizePath("/a/")));
  EXPECT_FALSE(eventtree::isAbsolutePath(eventtree::normalizePath("a/b/")));
  EXPECT_FALSE(eventtree::isAbsolutePath(eventtree::normalizePath("C:rec/")));
}

TEST(EventTime, FoundBehindOtherCommentSegments) {
  std::vector<uint8_t> jpeg = TestChannel::makeJpeg(64, 48, 75, 1);
  std::vector<uint8_t> pic =
      TestChannel::wrapPicture(jpeg, "cam", "1.2.3.4", 1700000000123456789ull, 7, 64, 48);
  uint64_t t = 0;
  ASSERT_TRUE(eventtree::readEventTimeFromBytes(pic.data(), pic.size(), &t));
  EXPECT_EQ(t, 1700000000123456ull);

  // A foreign comment segment first: skipped, the stamp is still found.
  std::vector<uint8_t> other = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x06, 'a', 'b', 'c', 'd'};
  other.insert(other.end(), pic.begin() + 2, pic.end());
  ASSERT_TRUE(eventtree::readEventTimeFromBytes(other.data(), other.size(), &t));
  EXPECT_EQ(t, 1700000000123456ull);
}

TEST(EventTime, RefusesBadStreams) {
  std::vector<uint8_t> jpeg = TestChannel::makeJpeg(64, 48, 75, 1);
  uint64_t t;
  EXPECT_FALSE(eventtree::readEventTimeFromBytes(jpeg.data(), jpeg.size(), &t)) << "no stamp";
  std::vector<uint8_t> pic = TestChannel::wrapPicture(jpeg, "cam", "a", 5000, 1, 64, 48);
  EXPECT_FALSE(eventtree::readEventTimeFromBytes(pic.data(), 20, &t)) << "short";
  std::vector<uint8_t> noSoi(pic.begin() + 2, pic.end());
  EXPECT_FALSE(eventtree::readEventTimeFromBytes(noSoi.data(), noSoi.size(), &t));
  std::vector<uint8_t> badMarker = {0xFF, 0xD8, 0x00, 0xFE, 0x00, 0x10};
  EXPECT_FALSE(eventtree::readEventTimeFromBytes(badMarker.data(), badMarker.size(), &t));
  std::vector<uint8_t> zeroLen = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00, 0xFF, 0xFE};
  EXPECT_FALSE(eventtree::readEventTimeFromBytes(zeroLen.data(), zeroLen.size(), &t));
}

}  // namespace

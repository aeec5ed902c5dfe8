// The serial drivers, byte for byte as a head on the line receives them (over a pseudo-terminal).
#include <gtest/gtest.h>

#include <climits>

#include "pantilt/CAutoDome.h"
#include "pantilt/CPelcoD.h"
#include "pantilt/CPelcoP.h"
#include "pantilt/CSpeedDome.h"
#include "tests/pantilt_pty.h"

using ptytest::Bytes;
using ptytest::cat;

namespace {

constexpr int32_t kFull = INT32_MAX;
constexpr int32_t kStep(int s) { return s << 26; }  // smallest magnitude of speed step s

template <class Driver>
class DriverOnPty : public ::testing::Test {
 protected:
  ptytest::PtyLine line;
  Driver driver;
  void open(int address) {
    ASSERT_TRUE(line.ok());
    ASSERT_TRUE(driver.init(line.port(), 9600, address));
  }
  // What the head received, with a check that nothing else followed.
  Bytes got(size_t n) {
    Bytes b = line.read(n);
    Bytes extra = line.drain(50);
    b.insert(b.end(), extra.begin(), extra.end());
    return b;
  }
};

using PelcoD = DriverOnPty<CPelcoD>;
using PelcoP = DriverOnPty<CPelcoP>;
using AutoDome = DriverOnPty<CAutoDome>;
using SpeedDome = DriverOnPty<CSpeedDome>;

}  // namespace

TEST_F(PelcoD, MovePacketsKeepSpeedBits23To28) {
  open(1);
  driver.move(0, 0);
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x01, 0, 0, 0, 0, 0x01})) << "stop: checksum is the address";
  driver.move(kFull, kFull);
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x01, 0, 0x0A, 0x3F, 0x3F, 0x89}));
  driver.move(1 << 30, 0);
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x01, 0, 0x02, 0, 0, 0x03})) << "2^30 has no bit in 23..28";
  driver.move(INT32_MIN, INT32_MIN);  // complement of the most negative value is full scale
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x01, 0, 0x14, 0x3F, 0x3F, 0x93}));
}

TEST_F(PelcoD, ZoomSpeedPacketOnlyWhenTheMagnitudeChanges) {
  open(1);
  const Bytes speed31 = {0xFF, 0x01, 0, 0x25, 0, 0x1F, 0x45};
  const Bytes wide = {0xFF, 0x01, 0, 0x40, 0, 0, 0x41};
  const Bytes stop = {0xFF, 0x01, 0, 0, 0, 0, 0x01};
  driver.zoom(kFull);
  EXPECT_EQ(got(14), cat({speed31, wide}));
  driver.zoom(kFull);
  EXPECT_EQ(got(7), wide);
  driver.zoom(0);
  EXPECT_EQ(got(7), stop);
  driver.zoom(-kFull);  // magnitude 2^31 - 2: a new one, same step
  EXPECT_EQ(got(14), cat({speed31, Bytes{0xFF, 0x01, 0, 0x20, 0, 0, 0x21}}));
  driver.focus(kStep(3));  // focus remembers its own magnitude
  EXPECT_EQ(got(14), cat({Bytes{0xFF, 0x01, 0, 0x27, 0, 0x03, 0x2B},
                          Bytes{0xFF, 0x01, 0x01, 0, 0, 0, 0x02}}));
}

TEST_F(PelcoD, PresetsIrisAndStopAll) {
  open(1);
  driver.set_preset(300);
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x01, 0, 0x03, 0, 0x2C, 0x30})) << "300 mod 256";
  driver.goto_preset(5);
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x01, 0, 0x07, 0, 0x05, 0x0D}));
  driver.iris(-1);
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x01, 0x02, 0, 0, 0, 0x03}));
  driver.stop_all();
  const Bytes stop = {0xFF, 0x01, 0, 0, 0, 0, 0x01};
  EXPECT_EQ(got(28), cat({stop, stop, stop, stop}));
}

TEST_F(PelcoD, BytesThatLookLikeLineFeedsPassUnchanged) {
  open(0x0A);
  driver.move(0, 0);
  EXPECT_EQ(got(7), (Bytes{0xFF, 0x0A, 0, 0, 0, 0, 0x0A}));
}

TEST_F(PelcoP, PacketsEndWithAFAndXorChecksum) {
  open(1);
  const Bytes stop = {0xA0, 0x01, 0, 0, 0, 0, 0xAF, 0x0E};
  driver.move(0, 0);
  driver.move(0, 0);
  EXPECT_EQ(got(16), cat({stop, stop})) << "the end byte stays AF in later packets";
  driver.move(kFull, -1);
  EXPECT_EQ(got(8), (Bytes{0xA0, 0x01, 0, 0x12, 0xFF, 0, 0xAF, 0xE3})) << "bits 23..30";
  driver.focus(kFull);
  EXPECT_EQ(got(16), cat({Bytes{0xA0, 0x01, 0, 0x27, 0, 0x1F, 0xAF, 0x36},
                          Bytes{0xA0, 0x01, 0x02, 0, 0, 0, 0xAF, 0x0C}}));
  driver.goto_preset(9);
  EXPECT_EQ(got(8), (Bytes{0xA0, 0x01, 0, 0x07, 0, 0x09, 0xAF, 0x00}));
}

TEST_F(AutoDome, AddressBytesCarryHighAndLowSevenBits) {
  open(5);
  driver.move(0, 0);
  EXPECT_EQ(got(8), (Bytes{0x87, 0x00, 0x05, 0x05, 0, 0, 0, 0x11}));
}

TEST(AutoDomeAddress, HeadsAbove127) {
  ptytest::PtyLine line;
  ASSERT_TRUE(line.ok());
  CAutoDome driver;
  ASSERT_TRUE(driver.init(line.port(), 9600, 200));
  driver.goto_preset(3);
  EXPECT_EQ(line.read(7), (Bytes{0x86, 0x01, 0x48, 0x07, 0x05, 0x03, 0x5E}));
}

TEST_F(AutoDome, SpeedsMapThroughThresholdTables) {
  open(5);
  driver.move(kFull, -kFull);  // step 31: pan code 15 (x 8), tilt code 15
  EXPECT_EQ(got(8), (Bytes{0x87, 0, 0x05, 0x05, 0x0F, 0x78, 0x05, 0x1D}));
  driver.move(-kStep(3), 0);  // complement: step 2, code 0, direction kept
  EXPECT_EQ(got(8), (Bytes{0x87, 0, 0x05, 0x05, 0, 0, 0x02, 0x13}));
  driver.zoom(kFull);  // zoom code 7
  EXPECT_EQ(got(8), (Bytes{0x87, 0, 0x05, 0x05, 0x70, 0, 0x20, 0x21}));
  driver.variable_drive(-kStep(8));  // negation: step 8, code 1
  EXPECT_EQ(got(8), (Bytes{0x87, 0, 0x05, 0x08, 0x10, 0, 0x10, 0x34}));
  driver.variable_drive(kStep(2));  // below step 3: stop
  EXPECT_EQ(got(8), (Bytes{0x87, 0, 0x05, 0x08, 0, 0, 0, 0x14}));
  driver.set_preset(200);
  EXPECT_EQ(got(7), (Bytes{0x86, 0, 0x05, 0x07, 0x14, 0x48, 0x6E}));
  driver.focus(-1);
  EXPECT_EQ(got(7), (Bytes{0x86, 0, 0x05, 0x04, 0, 0x40, 0x4F}));
}

TEST_F(SpeedDome, CommandsParametersAndChecks) {
  open(1);
  driver.stop_all();
  EXPECT_EQ(got(3), (Bytes{0x01, 0x93, 0x6C}));
  driver.move(0, 0);
  EXPECT_EQ(got(6), (Bytes{0x01, 0x83, 0x7C, 0x01, 0x86, 0x79}));
  driver.move(kFull, -kFull);  // full scale: speed 100 both ways
  EXPECT_EQ(got(10), (Bytes{0x01, 0xC0, 0x82, 0x64, 0x59, 0x01, 0xC0, 0x85, 0x64, 0x56}));
  // Pan takes the complement (step 2, speed 0), tilt the negation (step 3, speed 10).
  driver.move(-kStep(3), -kStep(3));
  EXPECT_EQ(got(10), (Bytes{0x01, 0xC0, 0x81, 0x00, 0xBE, 0x01, 0xC0, 0x85, 0x0A, 0xB0}));
  driver.zoom(1);
  driver.iris(0);
  driver.focus(-1);
  EXPECT_EQ(got(9), (Bytes{0x01, 0x8B, 0x74, 0x01, 0x92, 0x6D, 0x01, 0x87, 0x78}));
}

TEST_F(SpeedDome, PresetsAbove95SendNothing) {
  open(1);
  driver.set_preset(95);
  EXPECT_EQ(got(5), (Bytes{0x01, 0xC7, 0x01, 0x5F, 0xD8}));
  driver.set_preset(96);
  driver.goto_preset(200);
  driver.goto_preset(-1);
  EXPECT_EQ(line.drain(100), Bytes{});
}

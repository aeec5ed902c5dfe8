// The pan/tilt serial port: naming, line settings, exclusivity, open failures and the write
// deadline, seen through a pseudo-terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "base/CLogFile.h"
#include "pantilt/CAutoDome.h"
#include "pantilt/CPelcoD.h"
#include "pantilt/CSpeedDome.h"
#include "platform/SerialPort.h"
#include "tests/pantilt_pty.h"

using ptytest::Bytes;

namespace {

bool logHas(const std::string& text) {
  return g_logFile.logText(20).find(text) != std::string::npos;
}

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

TEST(SerialPort, DevicePathFollowsTheOverrideFolder) {
  const char* old = getenv("TELVGATE_SERIAL_DIR");
  const std::string saved = old ? old : "";
  setenv("TELVGATE_SERIAL_DIR", "/tmp/lines", 1);
  EXPECT_EQ(platform::serialDevicePath(7), "/tmp/lines/COM7");
  unsetenv("TELVGATE_SERIAL_DIR");
  if (access("/dev/telvgate/COM1", F_OK) != 0)
    EXPECT_EQ(platform::serialDevicePath(1), "/dev/ttyS0") << "without a udev link";
  else
    EXPECT_EQ(platform::serialDevicePath(1), "/dev/telvgate/COM1");
  if (old) setenv("TELVGATE_SERIAL_DIR", saved.c_str(), 1);
}

TEST(SerialPort, BaudRuleAnd8N1KeepOtherSettings) {
  ptytest::PtyLine line;
  ASSERT_TRUE(line.ok());
  termios before;
  ASSERT_EQ(tcgetattr(line.slave(), &before), 0);
  const struct {
    int requested;
    speed_t expected;
  } cases[] = {{1200, B1200}, {2400, B2400}, {4800, B4800}, {19200, B19200},
               {9600, B9600}, {38400, B9600}, {0, B9600}, {-5, B9600}};
  for (const auto& c : cases) {
    CPelcoD driver;
    ASSERT_TRUE(driver.init(line.port(), c.requested, 1)) << c.requested;
    termios t;
    ASSERT_EQ(tcgetattr(line.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.expected) << c.requested;
    EXPECT_EQ(cfgetispeed(&t), c.expected) << c.requested;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_lflag, before.c_lflag) << "local modes stay as the system had them";
    EXPECT_EQ(t.c_iflag, before.c_iflag);
    EXPECT_EQ(t.c_cflag & CLOCAL, before.c_cflag & CLOCAL);
    driver.close();
  }
}

TEST(SerialPort, SecondOpenIsRefusedUntilTheFirstCloses) {
  ptytest::PtyLine line;
  ASSERT_TRUE(line.ok());
  CPelcoD first;
  ASSERT_TRUE(first.init(line.port(), 9600, 1));
  CSpeedDome second;
  EXPECT_FALSE(second.init(line.port(), 9600, 1));
  EXPECT_TRUE(logHas("CSpeedDome::serial_port_configure : SpeedDome rotor : Device or resource busy"));
  EXPECT_TRUE(logHas("CSpeedDome::init : SpeedDome rotor : Error opening the pan/tilt serial port COM3"));
  first.close();
  EXPECT_TRUE(second.init(line.port(), 9600, 1));
}

TEST(SerialPort, MissingPortIsLoggedWithTheSystemText) {
  ptytest::PtyLine line;
  CAutoDome driver;
  EXPECT_FALSE(driver.init(9, 9600, 1));
  EXPECT_TRUE(logHas("CAutoDome::serial_port_configure : AutoDome rotor : No such file or directory"));
  EXPECT_TRUE(logHas("CAutoDome::init : AutoDome rotor : Error opening the pan/tilt serial port COM9"));
  EXPECT_FALSE(driver.move(1, 1)) << "nothing open: the write fails";
}

TEST(SerialPort, StalledLineEndsEachWriteAfterTwoSeconds) {
  ptytest::PtyLine line;
  ASSERT_TRUE(line.ok());
  CAutoDome autodome;
  ASSERT_TRUE(autodome.init(line.port(), 9600, 1));
  ASSERT_EQ(tcflow(line.slave(), TCOOFF), 0);  // output held off, as by handshake
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(autodome.move(1, 0));
  const double took = secondsSince(t0);
  EXPECT_GE(took, 1.8);
  EXPECT_LT(took, 3.0);
  EXPECT_TRUE(logHas("CAutoDome::packSend : AutoDome rotor : Error sending a command packet to an Autodome."));
  autodome.close();

  CSpeedDome speeddome;
  ASSERT_TRUE(speeddome.init(line.port(), 9600, 1));
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(speeddome.stop_all());
  EXPECT_LT(secondsSince(t0), 3.0);
  EXPECT_TRUE(logHas("CSpeedDome::pktSend : SpeedDome rotor : Error sending a command packet to a SpeedDome."));

  ASSERT_EQ(tcflow(line.slave(), TCOON), 0);
  line.drain(100);
  EXPECT_TRUE(speeddome.stop_all());
  EXPECT_EQ(line.read(3), (Bytes{0x01, 0x93, 0x6C})) << "the line works again once released";
}

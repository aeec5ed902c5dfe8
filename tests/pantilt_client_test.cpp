// The pan/tilt command client over a real TCP connection: frame matching, split and incomplete
// bodies, the dead-man stop and prompt ends, driving a Pelco-D head on a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/CSettings.h"
#include "pantilt/CPelcoD.h"
#include "pantilt/CRotorClient.h"
#include "pantilt/RotorFrame.h"
#include "tests/net_loopback.h"
#include "tests/pantilt_pty.h"
#include "tests/support/TestChannel.h"
#include "tests/support/Waiting.h"

using ptytest::Bytes;
using ptytest::cat;

namespace {

std::string frame(uint32_t code, int32_t first = 0, int32_t second = 0) {
  uint8_t b[RotorFrameMatcher::kFrameSize];
  encodeRotorFrame(RotorCommand{code, first, second}, b);
  return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

Bytes pelcoD(uint8_t cmd1, uint8_t cmd2, uint8_t d1, uint8_t d2) {
  const auto p = CPelcoD::packet(1, cmd1, cmd2, d1, d2);
  return Bytes(p.begin(), p.end());
}
const Bytes kStop = pelcoD(0, 0, 0, 0);

bool waitEnded(CRotorClient* c, int ms) {
  return waitFor([&] { return !c->running(); }, ms);
}

class RotorClientTest : public ::testing::Test {
 protected:
  static TestChannel::Options opts() {
    TestChannel::Options o;
    o.periodMs = 0;
    o.withRecorder = false;
    return o;
  }
  void SetUp() override {
    ASSERT_TRUE(line.ok());
    g_settings.writeInt(cnl.sectionName(), "RotorType", 4);  // Pelco-D
    g_settings.writeInt(cnl.sectionName(), "RotorComPort", line.port());
    g_settings.writeInt(cnl.sectionName(), "RotorAddress", 1);
  }
  // A started client on a fresh connection; the channel owns it from then on.
  CRotorClient* connect(nettest::Pair& pair) {
    auto* c = new CRotorClient(&cnl, pair.takeServer());
    if (!c->configure() || !c->start()) {
      delete c;
      return nullptr;
    }
    return c;
  }

  IsolatedHome home;
  ptytest::PtyLine line;
  TestChannel cnl{opts(), 0, 1};
};

}  // namespace

TEST_F(RotorClientTest, OnlyWholeFramesWithTheMagicAreExecuted) {
  nettest::Pair pair;
  ASSERT_NE(connect(pair), nullptr);
  // A doubled first magic byte: the second "T" resets the matcher and "lR\0" is skipped.
  const std::string doubled = "T" + frame(kCmdGotoPreset, 1);
  ASSERT_TRUE(pair.send("xyzTl\x01" + doubled + "garbage" + frame(42, 1, 1) +
                        frame(kCmdNothing, 1) + std::string("\0\0", 2) + frame(kCmdSetPreset, 5)));
  EXPECT_EQ(line.read(7), pelcoD(0, 0x03, 0, 0x05));
  EXPECT_EQ(line.drain(150), Bytes{}) << "nothing else was a command";
}

TEST_F(RotorClientTest, BodySplitAcrossTwoSegmentsIsCompleted) {
  nettest::Pair pair;
  ASSERT_NE(connect(pair), nullptr);
  const std::string f = frame(kCmdMove, 0x7FFFFFFF, 0);
  ASSERT_TRUE(pair.send(f.substr(0, 14)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(pair.send(f.substr(14)));
  EXPECT_EQ(line.read(7), pelcoD(0, 0x02, 0x3F, 0));
}

TEST_F(RotorClientTest, BodyIncompleteAfterOneSecondIsDropped) {
  nettest::Pair pair;
  ASSERT_NE(connect(pair), nullptr);
  ASSERT_TRUE(pair.send(frame(kCmdMove, 0x7FFFFFFF, 0).substr(0, 14)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  // Were the old body still open, this frame's first bytes would complete it.
  ASSERT_TRUE(pair.send(frame(kCmdGotoPreset, 9)));
  EXPECT_EQ(line.read(7), pelcoD(0, 0x07, 0, 0x09));
  EXPECT_EQ(line.drain(150), Bytes{});
}

TEST_F(RotorClientTest, ClosingMidMoveStopsTheHead) {
  nettest::Pair pair;
  CRotorClient* c = connect(pair);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(pair.send(frame(kCmdMove, 0x7FFFFFFF, 0x7FFFFFFF)));
  EXPECT_EQ(line.read(7), pelcoD(0, 0x0A, 0x3F, 0x3F));
  pair.closeClient();
  EXPECT_EQ(line.read(28), cat({kStop, kStop, kStop, kStop}));
  EXPECT_TRUE(waitEnded(c, 1000));
}

TEST_F(RotorClientTest, StopEndsASilentConnectionWithinASecond) {
  nettest::Pair pair;
  CRotorClient* c = connect(pair);
  ASSERT_NE(c, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  c->stop();
  EXPECT_TRUE(waitEnded(c, 1000));
  EXPECT_EQ(line.read(28), cat({kStop, kStop, kStop, kStop}));
}

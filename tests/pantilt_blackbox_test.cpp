// The real telvgate with the simulated grabber library: an analog channel given a Pelco-D head
// on a pseudo-terminal through the configuration pages, steered with ptzctl.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pantilt/CPelcoD.h"
#include "tests/pantilt_pty.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"

using ptytest::Bytes;
using ptytest::cat;

namespace {

Bytes pelcoD(uint8_t cmd2, uint8_t d1, uint8_t d2) {
  const auto p = CPelcoD::packet(1, 0, cmd2, d1, d2);
  return Bytes(p.begin(), p.end());
}

int ptzctl(const std::vector<std::string>& args) {
  ChildProcess p;
  int code = -1;
  if (!p.start(builtProgram("ptzctl"), args) || !p.wait(10000, &code)) return -1;
  return code;
}

}  // namespace

TEST(PanTiltBlackBox, HeadConfiguredThroughThePagesFollowsPtzctl) {
  ProgramHome home("\n[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\nCnlIPPort=0\n");
  ptytest::PtyLine line;  // also points the gateway's COM3 at the pty (inherited environment)
  ASSERT_TRUE(line.ok());
  ChildProcess gate;
  ASSERT_TRUE(home.start(gate, {"--headless", "127.0.0.1", "0"}));
  const int confPort = announcedNumber(gate, "TelvGate configuration pages: http://127.0.0.1:");
  const int cnlPort = announcedNumber(gate, "TelvGate Analog Falcon 1 0: http://127.0.0.1:");
  ASSERT_GT(confPort, 0) << gate.stdoutText() << gate.stderrText();
  ASSERT_GT(cnlPort, 0) << gate.stdoutText() << gate.stderrText();

  const std::string page = home.file("submit.html");
  const std::string post = "curl -s -m 10 -u admin:qatrel -o '" + page +
                           "' --data '0_1_0_RotorType=pelcod&0_1_0_RotorComPort=COM" +
                           std::to_string(line.port()) +
                           "&0_1_0_RotorBoudRate=4800&0_1_0_RotorAddress=1' http://127.0.0.1:" +
                           std::to_string(confPort) + "/submitConfig";
  ASSERT_EQ(system(post.c_str()), 0);
  ASSERT_NE(readFile(page).find("<EM>Pan/Tilt type</EM> value to <STRONG>'pelcod'"),
            std::string::npos)
      << readFile(page);

  const std::string target = "127.0.0.1:" + std::to_string(cnlPort);
  const Bytes stop = pelcoD(0, 0, 0);
  EXPECT_EQ(ptzctl({"--hold", "0.3", target, "move", "100", "-100"}), 0);
  // The move, then the stop the gateway sends when ptzctl's connection ends.
  EXPECT_EQ(line.read(35), cat({pelcoD(0x12, 0x3F, 0x3F), stop, stop, stop, stop}));
  EXPECT_EQ(ptzctl({"--hold", "0", target, "stop"}), 0);
  EXPECT_EQ(line.read(56), cat({stop, stop, stop, stop, stop, stop, stop, stop}));
  termios t;
  ASSERT_EQ(tcgetattr(line.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));

  gate.signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(gate.wait(10000, &code));
  EXPECT_EQ(code, 0);
}

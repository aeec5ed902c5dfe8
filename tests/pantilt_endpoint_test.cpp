// "/control/rotorcgi" on a real channel endpoint: the hand-over to the command client, one
// viewer per head, and the head stopped whenever a viewer goes away.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/CSettings.h"
#include "pantilt/CPelcoD.h"
#include "pantilt/RotorFrame.h"
#include "tests/net_loopback.h"
#include "tests/pantilt_pty.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestNetChannel.h"

using ptytest::Bytes;
using ptytest::cat;

namespace {

std::string frame(uint32_t code, int32_t first = 0, int32_t second = 0) {
  uint8_t b[RotorFrameMatcher::kFrameSize];
  encodeRotorFrame(RotorCommand{code, first, second}, b);
  return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

Bytes pelcoD(uint8_t cmd2, uint8_t d1, uint8_t d2) {
  const auto p = CPelcoD::packet(1, 0, cmd2, d1, d2);
  return Bytes(p.begin(), p.end());
}
const Bytes kStop = pelcoD(0, 0, 0);

// A viewer connection to the endpoint.
struct Viewer {
  int fd = -1;
  explicit Viewer(uint16_t port) {
    fd = connectTo(port);
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Viewer() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  bool send(const std::string& s) { return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size()); }
  // The response head, or "" when none came within 2 s.
  std::string head() {
    std::string h;
    char c;
    while (h.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) h += c;
    return h;
  }
  // True when the server closed the connection within the receive time-out (a reset counts:
  // closing with unread frames resets).
  bool closedByServer() {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }
};

const std::string kRequest = "GET /control/rotorcgi?camera=1 HTTP/1.0\r\n\r\n";

}  // namespace

TEST(RotorEndpoint, ViewerSteersTheHeadAndASecondOneIsRefused) {
  IsolatedHome home;
  ptytest::PtyLine line;
  ASSERT_TRUE(line.ok());
  TestNetChannel cnl(0);
  const std::string section = cnl.sectionName();
  g_settings.writeString(section, "CnlIPAddr", "127.0.0.1");
  g_settings.writeInt(section, "RotorType", 4);
  g_settings.writeInt(section, "RotorComPort", line.port());
  g_settings.writeInt(section, "RotorAddress", 1);
  ASSERT_TRUE(cnl.startChannel());
  const uint16_t port = cnl.waitListening();
  ASSERT_NE(port, 0);

  // Frames sent together with the request (the query is not looked at) are not lost.
  Viewer first(port);
  ASSERT_TRUE(first.send(kRequest + frame(kCmdMove, 0x7FFFFFFF, 0)));
  EXPECT_NE(first.head().find(" 200 OK\r\n"), std::string::npos);
  EXPECT_EQ(line.read(7), pelcoD(0x02, 0x3F, 0));

  Viewer second(port);
  ASSERT_TRUE(second.send(kRequest + frame(kCmdStopAll)));
  EXPECT_NE(second.head().find(" 200 OK\r\n"), std::string::npos);
  EXPECT_TRUE(second.closedByServer()) << "the head's port is held by the first viewer";

  first.close();  // mid-move
  EXPECT_EQ(line.read(28), cat({kStop, kStop, kStop, kStop}));
  EXPECT_EQ(line.drain(100), Bytes{}) << "the refused viewer's frame never reached the head";

  // A silent viewer ends promptly when the channel stops, and the head is stopped.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Viewer silent(port);
  ASSERT_TRUE(silent.send(kRequest));
  EXPECT_NE(silent.head().find(" 200 OK\r\n"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto t0 = std::chrono::steady_clock::now();
  cnl.stop();
  EXPECT_TRUE(silent.closedByServer());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
  EXPECT_EQ(line.read(28), cat({kStop, kStop, kStop, kStop}));
}

TEST(RotorEndpoint, PtzctlSendsFramesAndExplainsARefusal) {
  IsolatedHome home;
  ptytest::PtyLine line;
  ASSERT_TRUE(line.ok());
  TestNetChannel cnl(0);
  const std::string section = cnl.sectionName();
  g_settings.writeString(section, "CnlIPAddr", "127.0.0.1");
  g_settings.writeInt(section, "RotorType", 4);
  g_settings.writeInt(section, "RotorComPort", line.port());
  g_settings.writeInt(section, "RotorAddress", 1);
  ASSERT_TRUE(cnl.startChannel());
  const uint16_t port = cnl.waitListening();
  ASSERT_NE(port, 0);
  const std::string target = "127.0.0.1:" + std::to_string(port);

  auto run = [&](const std::vector<std::string>& args, std::string* err = nullptr) {
    ChildProcess p;
    int code = -1;
    if (!p.start(builtProgram("ptzctl"), args) || !p.wait(5000, &code)) return -1;
    if (err) *err = p.stderrText();
    return code;
  };
  // Full speed right, held briefly; closing the connection then stops the head.
  EXPECT_EQ(run({"--hold", "0.2", target, "move", "100", "0"}), 0);
  EXPECT_EQ(line.read(35), cat({pelcoD(0x02, 0x3F, 0), kStop, kStop, kStop, kStop}));
  EXPECT_EQ(run({"--hold", "0", target, "preset", "goto", "7"}), 0);
  EXPECT_EQ(line.read(35), cat({pelcoD(0x07, 0, 7), kStop, kStop, kStop, kStop}));

  g_settings.writeInt(section, "RotorType", 1);
  std::string err;
  EXPECT_EQ(run({target, "stop"}, &err), 2);
  EXPECT_NE(err.find("no pan/tilt head is configured"), std::string::npos) << err;
  EXPECT_EQ(run({target, "move", "101", "0"}, &err), 1);
  EXPECT_NE(err.find("outside -100..100"), std::string::npos) << err;
}

// The real telvgate program, headless: start and stop lines, the single instance, the command
// line and the shutdown on SIGTERM and SIGINT. Each test gets its own home, lock folder and log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kStarted = "(Info)    : main : system : TelvGate 1.3.4.7 started.";
const char* const kTerminated = "(Info)    : main : system : TelvGate 1.3.4.7 terminated.";

// A home for one or more runs, and the lines its log has gathered.
class Installation : public ProgramHome {
 public:
  using ProgramHome::ProgramHome;

  bool waitForLog(const std::string& needle, int timeoutMs, size_t count = 1) const {
    return waitFor(
        [&] {
          const std::string text = log();
          size_t n = 0;
          for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
          return n >= count;
        },
        timeoutMs, 20);
  }
};

std::string lastLine(const std::string& text) {
  std::string t = text;
  while (!t.empty() && t.back() == '\n') t.pop_back();
  const size_t nl = t.rfind('\n');
  return nl == std::string::npos ? t : t.substr(nl + 1);
}

// A port that was free a moment ago on 127.0.0.1.
int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// GET path from 127.0.0.1:port; the whole answer ("" when nothing came within 3 s).
std::string httpGet(int port, const std::string& path) {
  const int fd = connectTo(static_cast<uint16_t>(port));
  std::string answer;
  if (fd >= 0) {
    const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
      const auto deadline = Clock::now() + std::chrono::seconds(3);
      char buf[4096];
      while (Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  return answer;
}

}  // namespace

TEST(TelvGateProcess, VersionAndHelpPrintAndExitWithoutStarting) {
  Installation inst;
  ChildProcess version;
  ASSERT_TRUE(inst.start(version, {"--version"}));
  int rc = -1;
  ASSERT_TRUE(version.wait(5000, &rc));
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(version.stdoutText(), "TelvGate 1.3.4.7\n");

  ChildProcess help;
  ASSERT_TRUE(inst.start(help, {"--help"}));
  ASSERT_TRUE(help.wait(5000, &rc));
  EXPECT_EQ(rc, 0);
  EXPECT_NE(help.stdoutText().find("--headless"), std::string::npos);
  EXPECT_EQ(inst.log(), "") << "neither may start the gateway";
}

TEST(TelvGateProcess, SecondInstanceExitsWithCodeOneWhileTheFirstKeepsServing) {
  Installation inst;
  ChildProcess first;
  ASSERT_TRUE(inst.start(first, {"127.0.0.1", "0"}));
  const int port = confPort(first);
  ASSERT_GT(port, 0) << first.stderrText();

  ChildProcess second;
  ASSERT_TRUE(inst.start(second, {"--headless", "127.0.0.1", "0"}));
  int rc = -1;
  ASSERT_TRUE(second.wait(10000, &rc));
  EXPECT_EQ(rc, 1);
  EXPECT_NE(second.stderrText().find(
                "TelvGate already running: Another TelvGate instance is running on this computer."),
            std::string::npos)
      << second.stderrText();
  EXPECT_EQ(second.stdoutText(), "") << "the second copy must not start a server";
  // The named display has no server: the first says so and goes on without a window; the
  // second was asked to run without one and says nothing of it.
  EXPECT_NE(first.stderrText().find("cannot open display ':4711'; running without a window."),
            std::string::npos) << first.stderrText();
  EXPECT_EQ(second.stderrText().find("cannot open display"), std::string::npos);
  EXPECT_NE(inst.log().find("(Warning) : main : system : Cannot open display ':4711'; running "
                            "without a window."),
            std::string::npos);

  EXPECT_TRUE(first.running());
  EXPECT_NE(httpGet(port, "/status").find("200"), std::string::npos);
  // Both wrote their start line; only the first will write the stop line.
  EXPECT_TRUE(inst.waitForLog(kStarted, 1000, 2));
  first.signal(SIGTERM);
  ASSERT_TRUE(first.wait(10000, &rc));
  EXPECT_EQ(rc, 0);
  EXPECT_NE(lastLine(inst.log()).find(kTerminated), std::string::npos) << inst.log();
}

TEST(TelvGateProcess, CommandLineAddressAndPortReachTheServerButNotTheStoredSettings) {
  Installation inst("ConfIPAddr=10.1.2.3\nConfIPPort=1\n");
  const int port = freePort();
  ChildProcess p;
  ASSERT_TRUE(inst.start(p, {"--bogus", "127.0.0.1", std::to_string(port), "ignored"}));
  EXPECT_EQ(confPort(p), port) << p.stdoutText() << p.stderrText();
  EXPECT_NE(p.stderrText().find("--bogus"), std::string::npos);
  EXPECT_NE(httpGet(port, "/status").find("200"), std::string::npos);
  p.signal(SIGTERM);
  int rc = -1;
  ASSERT_TRUE(p.wait(10000, &rc));
  EXPECT_EQ(rc, 0);
  // Only a configuration submission writes the settings; the command line stays in memory.
  EXPECT_EQ(readFile(inst.settingsFile()), inst.settingsText());
}

TEST(TelvGateProcess, BadPortLogsWarningAndTheStoredPortIsUsed) {
  const int port = freePort();
  Installation inst("ConfIPAddr=127.0.0.1\nConfIPPort=" + std::to_string(port) + "\n");
  ChildProcess p;
  ASSERT_TRUE(inst.start(p, {"127.0.0.1", "80x"}));
  EXPECT_EQ(confPort(p), port) << p.stdoutText();
  EXPECT_TRUE(inst.waitForLog("(Warning) : main : System : Invalid IP address", 2000)) << inst.log();
}

TEST(TelvGateProcess, InvalidAddressAloneIsDroppedAndThePortStillApplies) {
  Installation inst("ConfIPAddr=127.0.0.1\nConfIPPort=1\n");
  const int port = freePort();
  ChildProcess p;
  ASSERT_TRUE(inst.start(p, {"999.1.1.1", std::to_string(port)}));
  EXPECT_EQ(confPort(p), port) << p.stdoutText();
  EXPECT_TRUE(inst.waitForLog(kStarted, 2000));
  EXPECT_EQ(inst.log().find("Invalid IP address"), std::string::npos) << inst.log();
}

TEST(TelvGateProcess, UnusableServerAddressIsReportedAndTheProgramRunsOn) {
  Installation inst("ConfIPAddr=not-an-address\n");
  ChildProcess p;
  ASSERT_TRUE(inst.start(p, {}));
  EXPECT_TRUE(p.waitForStderr("Configuration server socket: Unable to open the configuration "
                              "server socket.\n\nYou will not be able to configure the TelvGate "
                              "using the web interface.",
                              10000))
      << p.stderrText();
  EXPECT_TRUE(inst.waitForLog("(Error)   : main : system : Configuration server socket", 2000))
      << inst.log();
  EXPECT_TRUE(p.running());
  p.signal(SIGTERM);
  int rc = -1;
  ASSERT_TRUE(p.wait(10000, &rc));
  EXPECT_EQ(rc, 0);
  EXPECT_NE(lastLine(inst.log()).find(kTerminated), std::string::npos);
}

// Two cameras: one refuses connections, one accepts them and then never answers, so its
// channel sits in a read when the signal comes.
TEST(TelvGateProcess, SigtermAndSigintEndPromptlyWithEveryChannelJoined) {
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(silent, 16), 0);
  socklen_t len = sizeof a;
  getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string silentPort = std::to_string(ntohs(a.sin_port));

  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    Installation inst("ConfIPAddr=127.0.0.1\n\n"
                      "[Channel 1 1]\nCnlName=Refusing\nCamIPAddr=127.0.0.1\nCamIPPort=1\n\n"
                      "[Channel 2 2]\nCnlName=Silent\nCamIPAddr=127.0.0.1\nCamIPPort=" +
                      silentPort + "\n");
    ChildProcess p;
    ASSERT_TRUE(inst.start(p, {}));
    ASSERT_GT(confPort(p), 0);
    // Both recorders run, so both channels are up.
    ASSERT_TRUE(inst.waitForLog("Configured recording thread", 10000, 2)) << inst.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t0 = Clock::now();
    p.signal(sig);
    int rc = -1;
    ASSERT_TRUE(p.wait(10000, &rc)) << inst.log();
    const auto took = Clock::now() - t0;
    EXPECT_EQ(rc, 0);
    EXPECT_LT(took, std::chrono::seconds(4)) << inst.log();
    const std::string log = inst.log();
    // Every channel's recorder stopped (a channel's destruction joins it) before the end line.
    const size_t end = log.find(kTerminated);
    ASSERT_NE(end, std::string::npos) << log;
    EXPECT_NE(log.find("Refusing : Stopped recording thread"), std::string::npos) << log;
    EXPECT_NE(log.find("Silent : Stopped recording thread"), std::string::npos) << log;
    EXPECT_LT(log.rfind("Stopped recording thread"), end);
    EXPECT_NE(lastLine(log).find(kTerminated), std::string::npos) << log;
  }
  close(silent);
}

TEST(TelvGateProcess, UnusableLockFolderIsLoggedAndTheProgramStillRuns) {
  Installation inst("ConfIPAddr=127.0.0.1\n");
  ChildProcess p;
  ASSERT_TRUE(inst.start(p, {}, {{"TELVGATE_LOCK_DIR", "/nonexistent/telvgate-lock"}}));
  ASSERT_GT(confPort(p), 0) << p.stderrText();
  EXPECT_TRUE(inst.waitForLog("(Warning) : main : system : Single-instance check not possible: "
                              "cannot open the lock file '/nonexistent/telvgate-lock/TelvGate': "
                              "No such file or directory",
                              2000))
      << inst.log();
}

TEST(TelvGateProcess, BuiltInLoginBesideOtherAdministratorsIsWarnedAndTheLogIsPrivate) {
  Installation inst("ConfIPAddr=127.0.0.1\n[Admins]\nalice=secret\n");
  const mode_t oldMask = umask(0);
  ChildProcess p;
  EXPECT_TRUE(inst.start(p, {}));
  umask(oldMask);
  EXPECT_TRUE(inst.waitForLog("(Warning) : main : system : The built-in login \"admin\" is", 10000));
  EXPECT_EQ(platform::fileMode(inst.logPath()), 0640);
}

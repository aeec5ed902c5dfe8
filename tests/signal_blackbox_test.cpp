// The real telvgate with faulty sources: a black and a frozen simulated input and an IP camera
// that is not there reach the log, the status report and /metrics; with the no-signal picture
// on, a viewer of the black input keeps getting pictures and the recorder stores none of them;
// the camera that comes later is back.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"

namespace {

uintmax_t bytesBelow(const std::string& dir) {
  uintmax_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file(ec)) n += it->file_size(ec);
  return n;
}

std::string curl(TempDir& home, const std::string& args) {
  const std::string file = home.file("answer");
  std::remove(file.c_str());
  (void)!system(("curl -s --max-time 4 -o '" + file + "' " + args).c_str());
  return readFile(file);
}

// A loopback port nobody listens on now (the camera comes there later).
uint16_t idlePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  ::close(fd);
  return ok ? ntohs(a.sin_port) : 0;
}

TEST(SignalBlackBox, FaultySourcesAreReportedAndTheNoSignalPictureStandsIn) {
  ProgramHome home;
  const uint16_t camPort = idlePort();
  ASSERT_NE(camPort, 0);
  const std::string log = home.file("TelvGateLog.log"), rec = home.file("rec");
  home.writeSettings("NoSignalPicture=true\n\n"
                     "[Channel 1 0]\nCamIPAddr=127.0.0.1\nCamIPPort=" + std::to_string(camPort) + "\n\n"
                     "[Channel 0 1 1]\nCnlIPAddr=127.0.0.1\nCnlEnabled=true\nCnlEventRecActive=true\n"
                     "CnlEventRootPath=" + rec + "\nCnlEventFramePeriod=100\n\n"
                     "[Channel 0 1 3]\nCnlIPAddr=127.0.0.1\nCnlEnabled=true\n");
  ChildProcess gate;
  ASSERT_TRUE(home.start(gate, {"--headless", "127.0.0.1", "0"}, {{"TELVGATE_FALCON_INPUTS", "1:black,3:frozen"}}));
  const std::string conf = "configuration pages: http://127.0.0.1:", cam = "Analog Falcon 1 1: http://127.0.0.1:";
  ASSERT_TRUE(gate.waitForStdout(cam, 10000)) << gate.stdoutText() << gate.stderrText();
  const std::string out = gate.stdoutText();
  const std::string confUrl = "http://127.0.0.1:" + std::to_string(std::atoi(out.c_str() + out.find(conf) + conf.size()));
  const std::string camUrl = "http://127.0.0.1:" + std::to_string(std::atoi(out.c_str() + out.find(cam) + cam.size()));

  // Each change is logged once: the black input after 3 s, the frozen one after 10 s.
  const char* const lines[] = {"Channel 0 1 1 : Video signal lost", "Channel 0 1 3 : Video picture frozen",
                               "Channel 1 0 : Camera offline"};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(16);
  auto allLogged = [&] {
    const std::string text = readFile(log);
    for (const char* l : lines)
      if (text.find(l) == std::string::npos) return false;
    return true;
  };
  while (!allLogged() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string text = readFile(log);
  for (const char* l : lines) EXPECT_EQ(text.find(l), text.rfind(l)) << l << " once in:\n" << text;
  ASSERT_TRUE(allLogged()) << text;

  const std::string status = curl(home, confUrl + "/status");
  for (const char* state : {"no signal", "frozen", "offline"})
    EXPECT_NE(status.find(std::string("Video signal</STRONG></TD><TD>") + state), std::string::npos) << state;
  const std::string metrics = curl(home, "-u admin:qatrel " + confUrl + "/metrics");
  for (const char* sample : {"{section=\"Channel 0 1 1\",type=\"Analog Falcon\"} 1",
                             "{section=\"Channel 0 1 3\",type=\"Analog Falcon\"} 2",
                             "{section=\"Channel 1 0\",type=\"IP Axis\"} 3"})
    EXPECT_NE(metrics.find(std::string("telvgate_channel_signal_state") + sample), std::string::npos)
        << sample << "\n" << metrics;

  // The black input's viewer gets the generated picture once a second; nothing is recorded.
  const uintmax_t recorded = bytesBelow(rec);
  const std::string stream = curl(home, "'" + camUrl + "/control/faststream.jpg?fps=5'");
  size_t parts = 0;
  for (size_t at = stream.find("Content-length:"); at != std::string::npos; at = stream.find("Content-length:", at + 1))
    ++parts;
  EXPECT_GE(parts, 3u) << "a stream of " << stream.size() << " bytes";
  EXPECT_NE(stream.find("NAM=Channel 0 1 1\r\n"), std::string::npos) << "the no-signal picture";
  EXPECT_EQ(bytesBelow(rec), recorded);

  // The camera that was not there comes: its channel is back, logged once.
  ChildProcess camera;
  ASSERT_TRUE(camera.start(builtProgram("fakecam"), {"--port", std::to_string(camPort), "--family", "axis", "--fps", "10"}));
  const std::string back = "Channel 1 0 : Video signal back";
  for (int i = 0; i < 150 && readFile(log).find(back) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string later = readFile(log);
  EXPECT_NE(later.find(back), std::string::npos) << later;
  EXPECT_EQ(later.find(back), later.rfind(back)) << later;
  EXPECT_NE(curl(home, confUrl + "/status").find("Video signal</STRONG></TD><TD>ok"), std::string::npos);
  gate.signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(gate.wait(10000, &code));
  EXPECT_EQ(code, 0);
}

}  // namespace

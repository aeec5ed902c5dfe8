// The real programs together: telvgate, headless, with an IP channel in its settings file
// pointed at a fakecam process, records that camera's pictures as events and serves them.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"

namespace {

TEST(IpcamBlackBox, TelvGateRecordsPicturesOfAFakeCamera) {
  ProgramHome home;
  ChildProcess cam;
  const std::string camLog = home.file("requests.log");
  ASSERT_TRUE(cam.start(builtProgram("fakecam"), {"--port", "0", "--family", "axis", "--fps", "10", "--log", camLog}));
  ASSERT_TRUE(cam.waitForStdout("\n", 5000)) << cam.stderrText();
  const std::string out = cam.stdoutText();
  ASSERT_EQ(out.compare(0, 5, "port "), 0) << out;
  const int port = std::stoi(out.substr(5));

  const std::string rec = home.file("rec");
  home.writeSettings("\n[Channel 1 0]\nCnlName=Gate cam\nCamIPAddr=127.0.0.1\nCamIPPort=" + std::to_string(port) +
                     "\nCnlEventRecActive=true\nCnlEventRootPath=" + rec +
                     "\nCnlEventFramePeriod=100\nCnlServe=true\nCnlIPAddr=127.0.0.1\n");

  ChildProcess gate;
  ASSERT_TRUE(home.start(gate, {"--headless", "127.0.0.1", "0"}));

  std::vector<std::string> events;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline && gate.running()) {
    events.clear();
    findFiles(rec, "E00000.jpg", &events);
    if (!events.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(events.empty()) << "no event recorded; camera requests:\n"
                               << readFile(camLog) << "\nlog:\n"
                               << readFile(home.file("TelvGateLog.log"));
  const std::string pic = readFile(events[0]);
  EXPECT_EQ(pic.compare(0, 9, "\xFF\xD8\xFF\xFE\x00\x42TLF", 9), 0);
  EXPECT_NE(pic.find("NAM=Gate cam\r\nET0=127.0.0.1"), std::string::npos);
  EXPECT_NE(readFile(camLog).find("GET /axis-cgi/mjpg/video.cgi?camera=1&resolution=640x480&"), std::string::npos);
  const int served = announcedNumber(gate, "TelvGate IP Axis 0: http://127.0.0.1:");
  ASSERT_GT(served, 0) << gate.stdoutText();
  ASSERT_EQ(system(("curl -s --max-time 5 -o '" + home.file("now.jpg") + "' http://127.0.0.1:" +
                    std::to_string(served) + "/record/current.jpg").c_str()), 0);
  EXPECT_NE(readFile(home.file("now.jpg")).find("NAM=Gate cam\r\nET0=127.0.0.1"), std::string::npos);

  gate.signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(gate.wait(10000, &code));
  EXPECT_EQ(code, 0);
  cam.signal(SIGTERM);
  EXPECT_TRUE(cam.wait(5000, &code));
  EXPECT_EQ(code, 0);
}

}  // namespace

// The real telvgate with the simulated grabber library beside it: input 0 of board 0 serves
// pictures on its own endpoint and records events; an injected board failure reaches the log;
// a capture that never returns holds neither the other inputs, nor the pages, nor the shutdown.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/jpeg_support.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

// Starts telvgate headless in home with the given channel sections and extra environment.
void startGate(ChildProcess& gate, ProgramHome& home, const std::string& settings,
               const ProgramHome::Env& env = {}) {
  home.writeSettings("\n" + settings);
  ASSERT_TRUE(home.start(gate, {"--headless", "127.0.0.1", "0"}, env));
}

void stopGate(ChildProcess& gate) {
  gate.signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(gate.wait(10000, &code));
  EXPECT_EQ(code, 0);
}

TEST(FalconBlackBox, AnalogChannelServesItsPictureAndRecordsEvents) {
  ProgramHome home;
  const std::string rec = home.file("rec");
  ChildProcess gate;
  startGate(gate, home,
            "[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\nCnlIPPort=0\nImageSize=d-1pal\n"
            "CnlEventRecActive=true\nCnlEventRootPath=" + rec + "\nCnlEventFramePeriod=100\n");
  const int port = announcedNumber(gate, "TelvGate Analog Falcon 1 0: http://127.0.0.1:");
  ASSERT_GT(port, 0) << gate.stdoutText() << gate.stderrText();

  const std::string file = home.file("current.jpg");
  const std::string cmd = "curl -s --max-time 5 -o '" + file + "' http://127.0.0.1:" +
                          std::to_string(port) + "/record/current.jpg";
  ASSERT_EQ(system(cmd.c_str()), 0);
  const std::string pic = readFile(file);
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  ASSERT_TRUE(jpegtest::decode(reinterpret_cast<const uint8_t*>(pic.data()), pic.size(), &w, &h, &rgb));
  EXPECT_EQ(w, 768);
  EXPECT_EQ(h, 576);
  EXPECT_NE(pic.find("#:T7IMG\r\nSECTION ID\r\nSWV=1.3.4.7\r\nCFL=TelvGate\r\nNAM=\r\nENDSECTION ID"),
            std::string::npos);

  std::vector<std::string> events;
  waitFor(
      [&] {
        findFiles(rec, "E00000.jpg", &events);
        return !events.empty() || !gate.running();
      },
      15000, 50);
  ASSERT_FALSE(events.empty()) << readFile(home.file("TelvGateLog.log"));
  EXPECT_NE(events[0].find("/falcon_1_0/"), std::string::npos) << events[0];
  stopGate(gate);
}

TEST(FalconBlackBox, InjectedBoardFailureIsLoggedWithTheLibrarysText) {
  ProgramHome home;
  ChildProcess gate;
  startGate(gate, home, "[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\n",
            {{"TELVGATE_FALCON_FAIL", "is_SetScaler"}});
  const std::string log = home.file("TelvGateLog.log");
  const std::string line =
      "CFalconBoardDrv::reconf : Cnl. 'IDS Falcon Quattro drv 1' : is_SetScaler() failed. ";
  EXPECT_TRUE(waitFor([&] { return readFile(log).find(line) != std::string::npos; }, 10000, 50))
      << readFile(log);
  stopGate(gate);
}

TEST(FalconBlackBox, CaptureThatNeverReturnsHoldsNeitherOtherInputsNorPagesNorShutdown) {
  // Board 1: input 1 has no signal (an unbounded capture would never end); board 2: the
  // library never comes back from a capture on input 0.
  ProgramHome home;
  std::string settings;
  for (int board : {1, 2})
    for (int input : {0, 1, 3, 4})
      settings += "[Channel 0 " + std::to_string(board) + " " + std::to_string(input) +
                  "]\nCnlIPAddr=127.0.0.1\n" + (board == 1 && input == 1 ? "CnlEnabled=true\n" : "");
  ChildProcess gate;
  startGate(gate, home, settings, {{"TELVGATE_FALCON_BOARDS", "2"}, {"TELVGATE_FALCON_HANG", "1.1,2.0:stuck"}});
  const int camPort = announcedNumber(gate, "Analog Falcon 1 0: http://127.0.0.1:");
  ASSERT_GT(camPort, 0) << gate.stdoutText() << gate.stderrText();
  const std::string confUrl = "http://127.0.0.1:" + std::to_string(confPort(gate));
  const std::string camUrl = "http://127.0.0.1:" + std::to_string(camPort);
  const std::string log = home.file("TelvGateLog.log");
  const std::string stall = "Cnl. 'IDS Falcon Quattro drv 2' : is_FreezeVideo() did not return";
  waitFor([&] { return readFile(log).find(stall) != std::string::npos; }, 6000, 50);

  // Input 0 of board 1 goes on publishing new pictures (a viewer's request asks for one).
  auto fetch = [&] {
    const std::string file = home.file("current.jpg");
    EXPECT_EQ(system(("curl -s --max-time 3 -o '" + file + "' " + camUrl + "/record/current.jpg").c_str()), 0);
    const std::string pic = readFile(file);
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    return jpegtest::decode(reinterpret_cast<const uint8_t*>(pic.data()), pic.size(), &w, &h, &rgb) ? pic : "";
  };
  const std::string first = fetch();
  std::string pic = first;
  for (int i = 0; i < 20 && !pic.empty() && pic == first; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pic = fetch();
  }
  EXPECT_TRUE(!pic.empty() && pic != first) << "no new picture";
  // A submission reaches the channels of both boards and is answered at once.
  const std::string page = home.file("page.html");
  const std::string post = "' --data '0_1_0_ImageQuality=50&0_2_0_ImageQuality=50&ret_cnl=sys' ";
  EXPECT_EQ(system(("curl -s --max-time 4 -u admin:qatrel -o '" + page + post + confUrl + "/submitConfig").c_str()), 0);
  const std::string answer = readFile(page), text = readFile(log), updated = "Image quality</EM> value to";
  EXPECT_NE(answer.find(updated), answer.rfind(updated)) << "one message for each board's channel";
  const size_t at = text.find(stall);  // logged once
  EXPECT_TRUE(at != std::string::npos && text.find("did not return", at + stall.size()) == std::string::npos) << text;
  stopGate(gate);
}

}  // namespace

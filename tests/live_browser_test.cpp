// "/live" in a real browser: headless Chromium shows four analog channels streamed from their
// own ports and two IP cameras (no endpoint) refreshed through the configuration server; two
// screenshots 2 s apart differ in every tile. The first is kept as live.png in the build tree.
#include <gtest/gtest.h>

#include <fx.h>
#include <FXPNGImage.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"

namespace {

constexpr int kWidth = 1280, kHeight = 1000;

std::vector<FX::FXColor> screenshot(TempDir& home, const std::string& url, const std::string& png) {
  const std::string cmd = "timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu "
                          "--user-data-dir='" + home.file("profile") + "' --window-size=" +
                          std::to_string(kWidth) + "," + std::to_string(kHeight) + " --screenshot='" +
                          png + "' '" + url + "' >/dev/null 2>&1";
  std::vector<FX::FXColor> px;
  FX::FXFileStream in;
  FX::FXColor* data = nullptr;
  FX::FXint w = 0, h = 0;
  if (system(cmd.c_str()) != 0 || !in.open(png.c_str(), FX::FXStreamLoad) || !FX::fxloadPNG(in, data, w, h))
    return px;
  if (w == kWidth && h >= kHeight) px.assign(data, data + size_t(kWidth) * kHeight);
  FXFREE(&data);
  return px;
}

TEST(LiveBrowser, EveryTileOfTheGridMovesInHeadlessChromium) {
  ProgramHome home;
  // The cameras show thirty plain colours in turn, two a second.
  std::vector<std::string> camArgs = {"--port", "0", "--family", "axis", "--fps", "2"};
  for (int i = 0; i < 30; ++i) {
    const std::string jpg = home.file("c" + std::to_string(i) + ".jpg");
    ASSERT_EQ(system(("convert -size 320x240 'xc:rgb(" + std::to_string(i * 8) + ",120," +
                      std::to_string(250 - i * 8) + ")' '" + jpg + "'").c_str()), 0);
    camArgs.insert(camArgs.end(), {"--jpeg", jpg});
  }
  ChildProcess cam;
  ASSERT_TRUE(cam.start(builtProgram("fakecam"), camArgs));
  ASSERT_TRUE(cam.waitForStdout("\n", 5000)) << cam.stderrText();
  const std::string camPort = std::to_string(std::stoi(cam.stdoutText().substr(5)));
  std::string settings;
  for (int input : {0, 1, 3, 4})
    settings += "[Channel 0 1 " + std::to_string(input) + "]\nCnlIPAddr=127.0.0.1\nCnlEnabled=true\n"
                "CnlOverlay=nametime\nCnlName=Analog " + std::to_string(input) + "\n";
  for (int index : {0, 1})
    settings += "[Channel 1 " + std::to_string(index) + "]\nCamIPAddr=127.0.0.1\nCamIPPort=" + camPort + "\n";
  home.writeSettings(settings);
  ChildProcess gate;
  ASSERT_TRUE(home.start(gate, {"--headless", "127.0.0.1", "0"}));
  const std::string conf = "configuration pages: http://127.0.0.1:";
  ASSERT_TRUE(gate.waitForStdout("Analog Falcon 1 4: http", 10000)) << gate.stdoutText() << gate.stderrText();
  const std::string out = gate.stdoutText();
  const std::string confUrl = "http://127.0.0.1:" + std::to_string(std::atoi(out.c_str() + out.find(conf) + conf.size()));
  // Both cameras have a picture before the browser looks.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (const char* section : {"Channel%201%200", "Channel%201%201"}) {
    const std::string cmd = "curl -s --max-time 2 '" + confUrl + "/live?picture=" + section +
                            "' | head -c 2 | od -An -tx1 | grep -q 'ff d8'";
    while (system(cmd.c_str()) != 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  // Nine per screen: three columns of 4:3 tiles under the bar, six of them used.
  const std::vector<FX::FXColor> first = screenshot(home, confUrl + "/live?n=9", buildTreePath("live.png"));
  // A tile refreshed once a second may show the same picture in a headless browser's two
  // loads; it must have moved in one of two later screenshots.
  const int tileW = (kWidth - 16) / 3, tileH = tileW * 3 / 4;
  const auto moved = [&](const std::vector<FX::FXColor>& later, int tile) {
    const int x0 = 8 + (tile % 3) * (tileW + 4), y0 = 40 + (tile / 3) * (tileH + 4);
    size_t differing = 0;
    for (int y = y0 + 10; y < y0 + tileH - 30; ++y)
      for (int x = x0 + 10; x < x0 + tileW - 10; ++x)
        differing += first[size_t(y) * kWidth + x] != later[size_t(y) * kWidth + x];
    return differing > 200u;
  };
  std::vector<bool> done(6, false);
  for (int shot = 0; shot < 2; ++shot) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::vector<FX::FXColor> later =
        screenshot(home, confUrl + "/live?n=9", home.file("live" + std::to_string(shot + 2) + ".png"));
    ASSERT_FALSE(first.empty() || later.empty()) << "no screenshot";
    for (int tile = 0; tile < 6; ++tile) done[size_t(tile)] = done[size_t(tile)] || moved(later, tile);
  }
  for (int tile = 0; tile < 6; ++tile) EXPECT_TRUE(done[size_t(tile)]) << "tile " << tile << " did not move";
  gate.signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(gate.wait(10000, &code));
  EXPECT_EQ(code, 0);
}

}  // namespace

// "/metrics" of the real program with an IP channel fed by the fake camera and a viewer of the
// simulated analog channel: the exposition
// format as promtool reads it, counters that move with the pictures and never go back, and
// the login it shares with the configuration pages. Also the carrying over of a removed
// channel's counts to its successor.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "channels/CnlList.h"
#include "confserver/MetricsPage.h"
#include "recording/CRecVideoClient.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

std::string shell(const std::string& command, int* code = nullptr) {
  std::string out;
  FILE* p = popen(("timeout 30 sh -c '" + command + "' 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// Every sample line as series -> value ("name{labels}" -> number).
std::map<std::string, double> samples(const std::string& text) {
  std::map<std::string, double> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = line.rfind(' ');
    out[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return out;
}

const std::string kCam = "{section=\"Channel 1 0\",type=\"IP Axis\"}";

TEST(MetricsBlackBox, CountersMoveWithPicturesBehindTheLoginAndPassPromtool) {
  ProgramHome home;
  ChildProcess cam;
  ASSERT_TRUE(cam.start(builtProgram("fakecam"), {"--port", "0", "--family", "axis", "--fps", "10"}));
  ASSERT_TRUE(cam.waitForStdout("\n", 5000)) << cam.stderrText();
  const int camPort = std::stoi(cam.stdoutText().substr(5));

  home.writeSettings("\n[Channel 1 0]\nCnlName=Gate \"cam\"\nCamIPAddr=127.0.0.1\n"
                     "CamIPPort=" + std::to_string(camPort) +
                     "\nCnlEventRecActive=true\nCnlEventRootPath=" + home.file("rec") +
                     "\nCnlEventFramePeriod=100\n");
  ChildProcess gate;
  ASSERT_TRUE(home.start(gate, {"--headless", "127.0.0.1", "0"}));
  const int port = confPort(gate);
  ASSERT_GT(port, 0) << gate.stdoutText();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";

  EXPECT_EQ(shell("curl -s -o /dev/null -w %{http_code} " + url), "401");
  EXPECT_EQ(shell("curl -s -o /dev/null -w %{http_code} -u admin:wrong " + url), "401");

  auto scrape = [&] { return shell("curl -s -u admin:qatrel " + url); };
  // Bounded wait until the recorder has written something.
  std::string first;
  waitFor([&] { return samples(first = scrape())["telvgate_channel_recording_bytes_total" + kCam] > 0; },
          15000, 200);
  std::map<std::string, double> a = samples(first);
  ASSERT_GT(a["telvgate_channel_recording_bytes_total" + kCam], 0) << first;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const std::string second = scrape();
  std::map<std::string, double> b = samples(second);

  EXPECT_GT(b["telvgate_channel_pictures_received_total" + kCam],
            a["telvgate_channel_pictures_received_total" + kCam]) << second;
  EXPECT_GT(b["telvgate_channel_pictures_published_total" + kCam],
            a["telvgate_channel_pictures_published_total" + kCam]);
  EXPECT_GT(b["telvgate_channel_recording_bytes_total" + kCam],
            a["telvgate_channel_recording_bytes_total" + kCam]);
  EXPECT_GE(b["telvgate_channel_recording_events_total" + kCam], 1);
  EXPECT_LT(b["telvgate_channel_last_picture_age_seconds" + kCam], 5);
  EXPECT_GE(b["telvgate_config_requests_total{status=\"401\"}"], 2);
  EXPECT_GE(b["telvgate_config_requests_total{status=\"200\"}"], 1);
  EXPECT_GE(b["telvgate_log_lines_total{level=\"info\"}"], 1);
  EXPECT_GT(b["telvgate_process_threads"], 3);
  EXPECT_GT(b["telvgate_process_open_fds"], 3);
  EXPECT_GT(b["telvgate_process_resident_memory_bytes"], 1e6);
  // A viewer of the simulated analog channel: counted while connected, its bytes after.
  const int analogPort = announcedNumber(gate, "Analog Falcon 1 0: http://localhost:");
  ASSERT_GT(analogPort, 0) << gate.stdoutText();
  const std::string stream = "http://127.0.0.1:" + std::to_string(analogPort) + "/control/faststream.jpg?fps=5";
  ChildProcess viewer;
  ASSERT_TRUE(viewer.start("/usr/bin/curl", {"-s", "-o", "/dev/null", stream}));
  const std::string analog = "{section=\"Channel 0 1 0\",type=\"Analog Falcon\"}";
  std::map<std::string, double> v;
  waitFor([&] { return (v = samples(scrape()))["telvgate_channel_viewer_bytes_total" + analog] > 0; },
          10000, 100);
  EXPECT_EQ(v["telvgate_channel_viewers" + analog], 1);
  EXPECT_GT(v["telvgate_channel_viewer_bytes_total" + analog], 0);
  EXPECT_GT(v["telvgate_channel_encoder_seconds_per_frame" + analog], 0);
  viewer.terminate();

  for (const auto& s : a)
    if (s.first.find("_total") != std::string::npos) {
      EXPECT_GE(b[s.first], s.second) << s.first << " went backwards";
    }

  int code = -1;
  if (shell("command -v promtool >/dev/null", &code), code != 0) {
    std::printf("promtool is not installed: the format check was skipped\n");
  } else {
    TempDir tmp;
    ASSERT_TRUE(writeFile(tmp.file("metrics.txt"), second));
    const std::string lint = shell("promtool check metrics < " + tmp.file("metrics.txt"), &code);
    EXPECT_EQ(code, 0) << lint << "\n" << second;
  }

  gate.signal(SIGTERM);
  EXPECT_TRUE(gate.wait(15000, &code));
  EXPECT_EQ(code, 0);
}

// A channel removed by a configuration submission and created again under the same section
// must not make its counters fall back to zero.
TEST(MetricsPage, ChannelCreatedAgainGoesOnFromTheRemovedOnesCounts) {
  std::lock_guard<std::mutex> use(g_cnlUseLock);
  TestChannel::Options o;
  o.periodMs = 0;
  o.withRecorder = false;
  const std::string series =
      "telvgate_channel_pictures_published_total{section=\"Channel 7 3\",type=\"IP Vivotec\"} ";
  auto published = [&] {
    const std::string text = buildMetricsText({});
    const size_t at = text.find(series);
    return at == std::string::npos ? std::string("absent") : text.substr(at + series.size(), text.find('\n', at) - at - series.size());
  };
  uint64_t before;
  {
    TestChannel first(o, 7, 3);
    ASSERT_TRUE(first.init());
    registerChannel(&first);
    before = std::stoull(published() == "absent" ? "0" : published());
    first.counters().published.fetch_add(5);
    EXPECT_EQ(published(), std::to_string(before + 5));
    std::lock_guard<std::mutex> g(g_cnlListLock);
    g_cnlList.erase(std::find(g_cnlList.begin(), g_cnlList.end(), &first));
  }
  TestChannel second(o, 7, 3);
  ASSERT_TRUE(second.init());
  registerChannel(&second);
  second.counters().published.fetch_add(1);
  EXPECT_EQ(published(), std::to_string(before + 6));
  std::lock_guard<std::mutex> g(g_cnlListLock);
  g_cnlList.erase(std::find(g_cnlList.begin(), g_cnlList.end(), &second));
}

}  // namespace

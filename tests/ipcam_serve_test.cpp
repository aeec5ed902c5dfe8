// Served IP channels with real clients (ffprobe, a hundred push viewers, ss) and the fake camera.
#include "tests/ipcam_fixture.h"

#include <algorithm>

#include "confserver/ChannelForms.h"
#include "tests/endpoint_fixture.h"
#include "tests/support/ChildProcess.h"

using namespace ipcamtest;
using endpointtest::get;

namespace {

class IpcamServe : public IpcamTest {
 protected:
  void SetUp() override {
    startCam("axis", fakecam::Misbehave::None, [](fakecam::Options& o) { o.fps = 25; });
    configure(1, 1, cam->port());
    g_settings.writeString("Channel 1 1", "CnlIPAddr", "127.0.0.1");
  }
  uint16_t port() {
    waitFor([&] { return cnl->endpointAddr().port != 0; }, 5000);
    return cnl->endpointAddr().port;
  }
  static std::string run(const std::string& cmd) {
    ChildProcess p;
    int code = -1;
    return p.start("/bin/sh", {"-c", cmd}) && p.wait(20000, &code) ? p.stdoutText() : "<failed>";
  }
  // The TCP ports this process listens on, one line each: the fake camera's, and the endpoint's.
  static std::string listening() { return run("ss -ltnpH | grep 'pid=" + std::to_string(getpid()) + ",'"); }
  // Counted in one look: two looks differ in the transient processes ss lists as users.
  static long listeners() {
    const std::string l = listening();
    return std::count(l.begin(), l.end(), '\n');
  }
};

TEST_F(IpcamServe, OneCameraStreamFeedsAHundredViewersAtTheirOwnRates) {
  g_settings.writeBool("Channel 1 1", "CnlServe", true);
  startChannel(1, 1);
  EXPECT_EQ(run("ffprobe -v error -f mjpeg -count_frames -read_intervals %+#5 -show_entries stream=codec_name,width,"
                "height,nb_read_frames -of csv=p=0 http://127.0.0.1:" + std::to_string(port()) +
                "/control/faststream.jpg?fps=20"), "mjpeg,160,120,5\n");

  const int kFps[] = {1, 2, 5, 10, 20};
  std::vector<pollfd> fds;
  for (int i = 0; i < 100; ++i) {
    fds.push_back({connectTo(port()), POLLIN, 0});
    const std::string req = "GET /control/faststream.jpg?fps=" + std::to_string(kFps[i % 5]) + " HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(fds.back().fd, req.data(), req.size(), MSG_NOSIGNAL), ssize_t(req.size()));
  }
  const std::string kPart = "\r\n--TELVORA_Fast_Serverpush\r\n";
  std::vector<int> parts(fds.size());
  std::vector<std::string> tail(fds.size());  // the end of what came, shorter than kPart
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (std::chrono::steady_clock::now() < end && ::poll(fds.data(), fds.size(), 100) >= 0) {
    for (size_t i = 0; i < fds.size(); ++i) {
      char buf[65536];
      const ssize_t n = fds[i].revents & POLLIN ? ::recv(fds[i].fd, buf, sizeof buf, 0) : 0;
      if (n <= 0) continue;
      const std::string s = tail[i] + std::string(buf, size_t(n));
      for (size_t p = s.find(kPart); p != std::string::npos; p = s.find(kPart, p + 1)) ++parts[i];
      tail[i] = s.substr(s.size() - std::min(s.size(), kPart.size() - 1));
    }
  }
  for (size_t i = 0; i < fds.size(); ++i) {
    ::close(fds[i].fd);
    EXPECT_TRUE(parts[i] >= 4 * kFps[i % 5] * 6 / 10 && parts[i] <= 4 * kFps[i % 5] + 2)
        << "viewer " << i << " at " << kFps[i % 5] << " fps: " << parts[i] << " parts in 4 s";
  }
  EXPECT_EQ(cam->requests().size(), 1u) << request(1);

  // The family's own sizes, listed and set: the camera is asked for the new one.
  EXPECT_NE(get(port(), "/control/control?list&section=telvpegparam")
                .find("size=VGA.(640x480) # 3MP.(2048x1536), MEGA.(1280x960), D-1PAL.(768x576),"), std::string::npos);
  EXPECT_NE(get(port(), "/control/control?set&section=telvpegparam&size=CIF.(352x288)&quality=55")
                .find("\r\n\r\nsize=cif\r\nquality=55\r\n"), std::string::npos);
  EXPECT_TRUE(waitFor([&] { return request(1).find("resolution=352x288") != std::string::npos; }, 5000)) << request(1);
  EXPECT_NE(get(port(), "/control/rotorcgi").find("404 Not Found"), std::string::npos);  // no head
}

TEST_F(IpcamServe, FormTurnsServingOnAndOffWithoutAListenerWhenOff) {
  startChannel(1, 1);
  ASSERT_TRUE(waitFor([&] { return cnl->counters().published.load() > 0; }, 5000));  // running
  EXPECT_EQ(listeners(), 1) << listening();
  const FormFields on = {{"1_1_CnlServe", "on"}, {"1_1_CnlIPAddr", "127.0.0.1"}, {"1_1_CnlIPPort", "0"}};
  std::string html;
  ASSERT_TRUE(channelUpdate(*cnl, on, html) && cnl->init());
  EXPECT_NE(html.find("Updated the <EM>Serve this camera on its own port</EM> value to <STRONG>on"), std::string::npos);
  const std::string bound = ":" + std::to_string(port()) + " ";
  EXPECT_NE(listening().find(bound), std::string::npos) << listening();
  std::string page, again;
  channelForm(*cnl, page);
  EXPECT_NE(page.find("value=\"on\" checked>ON"), std::string::npos);
  EXPECT_NE(page.find("Pan/Tilt system"), std::string::npos);
  EXPECT_TRUE(channelUpdate(*cnl, on, again) && again.empty()) << again;  // stored as the form shows it

  const int viewer = connectTo(port());
  ::send(viewer, "GET /control/faststream.jpg HTTP/1.0\r\n\r\n", 40, MSG_NOSIGNAL);
  ASSERT_TRUE(channelUpdate(*cnl, {{"1_1_CnlServe", "off"}}, html) && cnl->init());
  bool closed = false;
  endpointtest::readUntilClose(viewer, 3000, 1 << 24, &closed);
  ::close(viewer);
  EXPECT_TRUE(closed);
  EXPECT_EQ(listeners(), 1) << listening();
}

}  // namespace

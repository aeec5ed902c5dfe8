// The real telvgate's RTSP streams before real clients: ffprobe, ffmpeg and GStreamer read an
// analog channel (the simulated grabber, our encoder's pictures) and an IP channel (the fake
// camera's pictures) over TCP and over UDP, and decode them without an error or a warning.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"

namespace {

std::string run(const std::string& program, const std::vector<std::string>& args, int* code) {
  ChildProcess p;
  *code = -1;
  if (!p.start(program, args) || !p.wait(30000, code)) *code = -1;
  return p.stdoutText() + p.stderrText();
}

// The gateway with an analog channel and an IP channel on a fake camera; RTSP on 127.0.0.1
// at a port of the system's choice, with the login boss / Pa55word.
struct Gateway {
  ProgramHome home;
  ChildProcess cam, gate;
  std::string rtsp;  // "127.0.0.1:port"

  bool start(const std::string& systemExtra = "") {
    if (!cam.start(builtProgram("fakecam"), {"--port", "0", "--family", "axis", "--fps", "25"}) ||
        !cam.waitForStdout("\n", 5000))
      return false;
    home.writeSettings("RtspEnabled=true\nRtspPort=0\n" + systemExtra + "\n[Admins]\nboss=Pa55word\n\n"
                       "[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\nCnlIPPort=0\n\n[Channel 1 0]\n"
                       "CamIPAddr=127.0.0.1\nCamIPPort=" + cam.stdoutText().substr(5) +
                       "CnlEventFramePeriod=40\n");
    if (!home.start(gate, {"--headless", "127.0.0.1", "0"})) return false;
    const std::string marker = "TelvGate RTSP server: rtsp://";
    if (!gate.waitForStdout(marker, 10000) || !gate.waitForStdout("TelvGate Analog Falcon 1 0", 10000)) return false;
    const std::string out = gate.stdoutText();
    const size_t b = out.find(marker) + marker.size();
    rtsp = out.substr(b, out.find('/', b) - b);
    return true;
  }
  std::string url(const std::string& tag, const std::string& password = "Pa55word") const {
    return "rtsp://boss:" + password + "@" + rtsp + "/" + tag;
  }
  std::string log() { return gate.stdoutText() + gate.stderrText() + readFile(home.file("TelvGateLog.log")); }
};

}  // namespace

TEST(RtspClients, FfprobeFfmpegAndGstreamerDecodeAnalogAndIpChannelsOverTcpAndUdp) {
  Gateway g;
  ASSERT_TRUE(g.start()) << g.log();
  int code = -1;
  for (const char* tag : {"falcon_1_0", "axis_0"}) {
    const std::string size = std::string(tag) == "falcon_1_0" ? "640,480" : "160,120";  // the fake camera's own
    for (const char* transport : {"tcp", "udp"}) {
      const std::string what = std::string(tag) + " over " + transport;
      EXPECT_EQ(run("/usr/bin/ffprobe", {"-v", "error", "-rtsp_transport", transport, "-show_entries",
                                         "stream=codec_name,width,height", "-of", "csv=p=0", g.url(tag)}, &code),
                "mjpeg," + size + "\n") << what;
      // An IP channel stamps pictures on arrival; two that arrive close together would share
      // one tick of the null output's frame rate, which its muxer reports as an error of its
      // own unless such a picture is dropped (vfr). Decoding errors still show.
      EXPECT_EQ(run("/usr/bin/ffmpeg", {"-nostdin", "-v", "error", "-rtsp_transport", transport, "-i", g.url(tag),
                                        "-fps_mode", "vfr", "-frames:v", "50", "-f", "null", "-"}, &code), "") << what;
      EXPECT_EQ(code, 0) << what;
      // GStreamer reports a damaged picture or a late packet as a warning on its bus. What it
      // says after the 50 pictures (its end of stream) is its own shutdown: now and then the
      // pausing of its TCP reader makes the PAUSE it sends then fail on its side.
      const std::string gst = run("/usr/bin/gst-launch-1.0",
                                  {"rtspsrc", "location=rtsp://" + g.rtsp + "/" + tag, "user-id=boss",
                                   "user-pw=Pa55word", std::string("protocols=") + transport, "!", "rtpjpegdepay",
                                   "!", "jpegdec", "!", "fakesink", "num-buffers=50"}, &code);
      const size_t end = gst.find("Got EOS from element");
      ASSERT_NE(end, std::string::npos) << what << "\n" << gst;
      EXPECT_EQ(gst.substr(0, end).find("WARNING"), std::string::npos) << what << "\n" << gst;
      EXPECT_EQ(gst.substr(0, end).find("ERROR"), std::string::npos) << what << "\n" << gst;
    }
  }
  const std::string refused = run("/usr/bin/ffprobe", {"-v", "error", g.url("axis_0", "wrong")}, &code);
  EXPECT_NE(refused.find("401 Unauthorized"), std::string::npos) << refused;
  EXPECT_EQ(g.log().find("cannot be streamed"), std::string::npos) << g.log();
}

// The pages show every channel's RTSP address while the server runs, and the System form
// switches the server off and on again without a restart; a bad ONVIF address is refused.
TEST(RtspClients, PagesShowTheAddressesAndTheSystemFormSwitchesTheServer) {
  Gateway g;
  ASSERT_TRUE(g.start()) << g.log();
  const int conf = confPort(g.gate);
  ASSERT_GT(conf, 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(conf);
  int code = -1;
  auto get = [&](const std::string& path) { return run("/usr/bin/curl", {"-s", "-m", "5", "-u", "boss:Pa55word", base + path}, &code); };
  auto submit = [&](const std::string& form) {
    return run("/usr/bin/curl", {"-s", "-m", "10", "-u", "boss:Pa55word", "--data", form + "&ret_cnl=sys", base + "/submitConfig"}, &code);
  };
  const std::string analog = "rtsp://" + g.rtsp + "/falcon_1_0", ip = "rtsp://" + g.rtsp + "/axis_0";
  const std::string sysPage = get("/configure?cnl=sys");
  EXPECT_NE(sysPage.find("<LABEL>RTSP server</LABEL></TD><TD><SELECT name=sys_RtspEnabled><OPTION value=\"1\" selected>"),
            std::string::npos) << sysPage;
  EXPECT_NE(sysPage.find("<CODE>" + analog + "</CODE>"), std::string::npos) << sysPage;
  EXPECT_NE(get("/status").find("<LABEL>RTSP address</LABEL></TD><TD><CODE>" + ip + "</CODE>"), std::string::npos);
  EXPECT_NE(get("/live").find("<a href=\"" + analog + "\">rtsp</a>"), std::string::npos);

  const std::string off = submit("sys_RtspEnabled=0&sys_OnvifAddress=10.0.0.300");
  EXPECT_NE(off.find("Updated the <EM>RTSP server</EM> value to <STRONG>off</STRONG>"), std::string::npos) << off;
  EXPECT_NE(off.find("The <EM>ONVIF address (empty: that of the configuration)</EM> parameter must be an IPv4 "
                     "address or empty."), std::string::npos) << off;
  const std::string probe = run("/usr/bin/ffprobe", {"-v", "error", "-timeout", "2000000", g.url("axis_0")}, &code);
  EXPECT_NE(code, 0) << probe;
  EXPECT_NE(get("/configure?cnl=sys").find("RTSP is off"), std::string::npos);
  EXPECT_EQ(get("/status").find("RTSP address"), std::string::npos);

  EXPECT_NE(submit("sys_RtspEnabled=1").find("value to <STRONG>on</STRONG>"), std::string::npos);
  const std::string marker = "TelvGate RTSP server: rtsp://127.0.0.1:";
  const std::string out = g.gate.stdoutText();
  ASSERT_NE(out.find(marker, out.find(marker) + 1), std::string::npos) << out;
  const size_t b = out.rfind(marker) + marker.size() - std::string("127.0.0.1:").size();
  g.rtsp = out.substr(b, out.find('/', b) - b);
  EXPECT_EQ(run("/usr/bin/ffprobe", {"-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
                                     g.url("axis_0")}, &code), "mjpeg\n");
}

// One analog channel watched by 100 RTSP viewers and 100 push-stream viewers at 10 pictures a
// second each, all at once: every one of them gets its rate (at least 70 % of it over 4 s on
// a loaded 2-core machine, where the 200 readers of this process share the cores).
TEST(RtspClients, AHundredRtspAndAHundredPushViewersOfOneChannelAllGetTheirRate) {
  Gateway g;
  ASSERT_TRUE(g.start("RtspAuth=false\n")) << g.log();
  const std::string marker = "TelvGate Analog Falcon 1 0: http://127.0.0.1:";
  const int push = announcedNumber(g.gate, marker);
  ASSERT_GT(push, 0) << g.gate.stdoutText();
  const uint16_t rtspPort = uint16_t(std::atoi(g.rtsp.c_str() + g.rtsp.find(':') + 1));
  const std::string url = "rtsp://" + g.rtsp + "/falcon_1_0?fps=10";
  struct Viewer {
    int fd;
    bool rtsp;
    std::string in;
    int pictures = 0;
  };
  std::vector<Viewer> viewers;
  for (int i = 0; i < 100; ++i) {
    viewers.push_back({connectTo(rtspPort), true, ""});
    const std::string setup = "SETUP " + url + "/track1 RTSP/1.0\r\nCSeq: 1\r\n"
                              "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
    ::send(viewers.back().fd, setup.data(), setup.size(), MSG_NOSIGNAL);
    viewers.push_back({connectTo(uint16_t(push)), false, ""});
    const std::string get = "GET /control/faststream.jpg?fps=10 HTTP/1.0\r\n\r\n";
    ::send(viewers.back().fd, get.data(), get.size(), MSG_NOSIGNAL);
  }
  // Reads what came; an RTSP viewer plays once its SETUP is answered and then counts the
  // pictures' last packets (marker bit), a push viewer counts its parts.
  const std::string part = "--TELVORA_Fast_Serverpush";
  auto pump = [&](int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::vector<pollfd> fds;
    for (const Viewer& v : viewers) fds.push_back({v.fd, POLLIN, 0});
    while (std::chrono::steady_clock::now() < end) {
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        Viewer& v = viewers[i];
        char buf[65536];
        const ssize_t n = ::recv(v.fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        v.in.append(buf, size_t(n));
        if (!v.rtsp) {
          for (size_t at = v.in.find(part); at != std::string::npos; at = v.in.find(part, at + 1)) ++v.pictures;
          v.in.erase(0, v.in.size() > part.size() ? v.in.size() - part.size() : 0);
          continue;
        }
        // Parsed from an offset and trimmed once: a reader that moved its buffer for every
        // packet would itself be what keeps 100 viewers from their rate.
        size_t at = 0;
        while (at < v.in.size()) {
          if (v.in[at] == '$') {
            if (v.in.size() < at + 4) break;
            const size_t len = size_t(uint8_t(v.in[at + 2])) << 8 | uint8_t(v.in[at + 3]);
            if (v.in.size() < at + 4 + len) break;
            if (v.in[at + 1] == 0 && len > 1 && (uint8_t(v.in[at + 5]) & 0x80)) ++v.pictures;
            at += 4 + len;
            continue;
          }
          const size_t head = v.in.find("\r\n\r\n", at);
          if (head == std::string::npos) break;
          const size_t s = v.in.find("Session: ", at);
          if (s < head && v.in.compare(at, 12, "RTSP/1.0 200") == 0 && v.in.find("CSeq: 1\r\n", at) < head) {
            const std::string play = "PLAY " + url + " RTSP/1.0\r\nCSeq: 2\r\nSession: " +
                                     v.in.substr(s + 9, v.in.find_first_of(";\r", s) - s - 9) + "\r\n\r\n";
            ::send(v.fd, play.data(), play.size(), MSG_NOSIGNAL);
          }
          at = head + 4;
        }
        v.in.erase(0, at);
      }
    }
  };
  pump(3000);  // everyone set up and streaming
  for (Viewer& v : viewers) v.pictures = 0;
  pump(4000);
  for (size_t i = 0; i < viewers.size(); ++i) {
    EXPECT_GE(viewers[i].pictures, 28) << (viewers[i].rtsp ? "RTSP" : "push") << " viewer " << i / 2;
    EXPECT_LE(viewers[i].pictures, 42) << (viewers[i].rtsp ? "RTSP" : "push") << " viewer " << i / 2;
    ::close(viewers[i].fd);
  }
}

// GStreamer decodes a minute of the analog channel and of the IP channel, side by side, over
// TCP, without a warning (a damaged picture or a late packet is one on its bus).
TEST(RtspClients, GstreamerDecodesAMinuteOfEachChannelWithoutAWarning) {
  Gateway g;
  ASSERT_TRUE(g.start()) << g.log();
  ChildProcess gst[2];
  const char* tags[2] = {"falcon_1_0", "axis_0"};
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(gst[i].start("/usr/bin/gst-launch-1.0",
                             {"-e", "-v", "rtspsrc", "location=rtsp://" + g.rtsp + "/" + tags[i], "user-id=boss",
                              "user-pw=Pa55word", "protocols=tcp", "!", "rtpjpegdepay", "!", "jpegdec", "!",
                              "fpsdisplaysink", "video-sink=fakesink", "text-overlay=false", "signal-fps-measurements=false"}));
  std::this_thread::sleep_for(std::chrono::seconds(60));
  for (int i = 0; i < 2; ++i) {
    gst[i].signal(SIGINT);  // with -e: an end of stream through the pipeline, then the exit
    int code = -1;
    EXPECT_TRUE(gst[i].wait(15000, &code)) << tags[i];
    const std::string out = gst[i].stdoutText() + gst[i].stderrText();
    const size_t end = out.find("Got EOS from element");
    ASSERT_NE(end, std::string::npos) << tags[i] << "\n" << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    EXPECT_EQ(out.substr(0, end).find("WARNING"), std::string::npos) << tags[i] << "\n" << out.substr(0, end);
    EXPECT_EQ(out.substr(0, end).find("ERROR"), std::string::npos) << tags[i] << "\n" << out.substr(0, end);
    const size_t last = out.rfind("rendered: ");
    ASSERT_NE(last, std::string::npos) << tags[i];
    EXPECT_GE(std::atoi(out.c_str() + last + 10), 600) << tags[i] << ": " << out.substr(last, 60);
  }
}

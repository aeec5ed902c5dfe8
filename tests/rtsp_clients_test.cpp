// The real telvgate's RTSP streams before real clients: ffprobe, ffmpeg and GStreamer read an
// analog channel (the simulated grabber, our encoder's pictures) and an IP channel (the fake
// camera's pictures) over TCP and over UDP, and decode them without an error or a warning.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ChildProcess.h"
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
  TempDir home;
  ChildProcess cam, gate;
  std::string rtsp;  // "127.0.0.1:port"

  bool start() {
    if (!cam.start(builtProgram("fakecam"), {"--port", "0", "--family", "axis", "--fps", "25"}) ||
        !cam.waitForStdout("\n", 5000))
      return false;
    const std::string dir = home.path() + "/.foxrc/TELVORA";
    if (system(("mkdir -p '" + dir + "' '" + home.file("foxdir") + "'").c_str()) != 0) return false;
    writeFile(dir + "/TelvGate", "[System]\nLogFilePath=" + home.file("TelvGateLog.log") +
                                     "\nRtspEnabled=true\nRtspPort=0\n\n[Admins]\nboss=Pa55word\n\n"
                                     "[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\nCnlIPPort=0\n\n[Channel 1 0]\n"
                                     "CamIPAddr=127.0.0.1\nCamIPPort=" + cam.stdoutText().substr(5) +
                                     "CnlEventFramePeriod=40\n");
    if (!gate.start(builtProgram("telvgate"), {"--headless", "127.0.0.1", "0"},
                    {{"HOME", home.path()}, {"FOXDIR", home.file("foxdir")}, {"TELVGATE_LOCK_DIR", home.path()},
                     {"DISPLAY", ":4711"}},
                    home.path()))
      return false;
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

// The channel endpoint's paths over real loopback connections: exact answer heads, the
// current picture, the probe, the push stream read by real clients, and the not-found text.
#include <string>
#include <vector>

#include "channels/CNetVideoClient.h"
#include "tests/endpoint_fixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestChannel.h"

using namespace endpointtest;

namespace {

const char kPictureHead[] =
    "HTTP/1.1 200 OK\r\nCache-Control: private,no-cache\r\nConnection: close\r\n"
    "Content-type: image/jpg\r\n\r\n";
const char kNotFound[] =
    "HTTP/1.1 404 Not Found\r\nContent-type: text/plain\r\n\r\n"
    "The requested URL was not found on this server.";

// Runs a program to its end (bounded); its exit code, -1 when it had to be ended.
int runToEnd(ChildProcess& p, const std::string& program, const std::vector<std::string>& args,
             int timeoutMs) {
  if (!p.start(program, args)) return -1;
  int code = -1;
  if (!p.wait(timeoutMs, &code)) {
    p.terminate();
    return -1;
  }
  return code;
}

}  // namespace

TEST(EndpointPaths, CurrentPictureIsTheLastPublishedOne) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  const std::vector<uint8_t> pic = rig.cnl->publishPicture();
  const std::string answer = get(rig.port, "/record/current.jpg");
  EXPECT_EQ(std::string(kPictureHead) + std::string(pic.begin(), pic.end()), answer);

  // curl, as a viewer would fetch it, gets a picture that decodes to the channel's size.
  const std::string file = rig.home.dir().file("current.jpg");
  ChildProcess curl;
  ASSERT_EQ(0, runToEnd(curl, "/usr/bin/curl",
                        {"-s", "--max-time", "10", "-o", file,
                         "http://127.0.0.1:" + std::to_string(rig.port) + "/record/current.jpg"},
                        15000));
  const std::string got = readFile(file);
  int w = 0, h = 0;
  EXPECT_TRUE(TestChannel::decodeJpeg(reinterpret_cast<const uint8_t*>(got.data()), got.size(),
                                      &w, &h));
  EXPECT_EQ(320, w);
  EXPECT_EQ(240, h);
}

TEST(EndpointPaths, WithoutAPictureTheNoPictureImageFollowsAfterAboutOneSecond) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  nettest::Stopwatch sw;
  const std::string answer = get(rig.port, "/record/current.jpg");
  EXPECT_GT(sw.seconds(), 0.8);
  EXPECT_LT(sw.seconds(), 3.0);
  ASSERT_EQ(0u, answer.find(kPictureHead));
  const std::string gif = answer.substr(sizeof kPictureHead - 1);
  ASSERT_EQ(4357u, gif.size());
  EXPECT_EQ("GIF8", gif.substr(0, 4));
  EXPECT_EQ(160, (unsigned char)gif[6] | (unsigned char)gif[7] << 8);
  EXPECT_EQ(120, (unsigned char)gif[8] | (unsigned char)gif[9] << 8);
  EXPECT_EQ(';', gif.back());
}

TEST(EndpointPaths, ProbeAnswersOnlyWhenAskedForHelp) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  EXPECT_EQ("", get(rig.port, "/cgi-bin/faststream.jpg"));
  EXPECT_EQ("", get(rig.port, "/cgi-bin/faststream.jpg?fps=5"));

  const std::string inactive = get(rig.port, "/cgi-bin/faststream.jpg?help");
  EXPECT_EQ(0u, inactive.find("HTTP/1.1 404 Not Found\r\n\r\n<!DOCTYPE HTML PUBLIC "
                              "\"-//W3C//DTD HTML 4.01//EN\""));
  EXPECT_NE(std::string::npos, inactive.find("<TITLE>TelvGate 1.3.4.7</TITLE>"));
  EXPECT_NE(std::string::npos, inactive.find("<H1>TELVORA TelvGate 1.3.4.7</H1>"));
  EXPECT_NE(std::string::npos, inactive.find("<P>Channel not active.</P>"));

  rig.cnl->publishPicture();
  EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", get(rig.port, "/cgi-bin/faststream.jpg?help"));
}

TEST(EndpointPaths, OtherPathsGetTheNotFoundText) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  for (const char* path : {"/Record/current.jpg", "/record/current.jpg/", "/", "/control/Control",
                           "/img/TELVORA_logo.png"})
    EXPECT_EQ(kNotFound, get(rig.port, path)) << path;
}

TEST(EndpointPaths, PanTiltPathAnswersTheHead) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", get(rig.port, "/control/rotorcgi?x=1"));
}

TEST(EndpointPaths, PushStreamHeadThenPacedParts) {
  Rig rig(20);
  ASSERT_TRUE(rig.start());
  const int fd = connectTo(rig.port);
  ASSERT_GE(fd, 0);
  const std::string req = "GET /control/faststream.jpg?fps=2 HTTP/1.0\r\n\r\n";
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-type: multipart/x-mixed-replace; "
      "boundary=\"--TELVORA_Fast_Serverpush\"\r\n\r\n";
  nettest::Stopwatch sw;
  const std::string data = readUntilClose(fd, 2300);
  ::close(fd);
  ASSERT_EQ(head, data.substr(0, head.size()));
  // fps=2: one part every 500 ms, so about five in 2.3 s.
  size_t parts = 0;
  for (size_t at = data.find("\r\n--TELVORA_Fast_Serverpush\r\n"); at != std::string::npos;
       at = data.find("\r\n--TELVORA_Fast_Serverpush\r\n", at + 1))
    ++parts;
  EXPECT_GE(parts, 4u);
  EXPECT_LE(parts, 6u);
}

// ffmpeg's multipart demuxer insists on "image/jpeg" and RFC boundaries, which the wire format
// predates; its JPEG stream reader takes the parts as viewers' players do.
TEST(EndpointPaths, FfprobeReadsThePushStream) {
  Rig rig(40);
  ASSERT_TRUE(rig.start());
  const std::string out = rig.home.dir().file("probe.txt");
  ChildProcess probe;
  ASSERT_TRUE(probe.start("/bin/sh",
                          {"-c", "ffprobe -v error -f mjpeg -count_frames -read_intervals %+#5 "
                                 "-show_entries stream=codec_name,width,height,nb_read_frames "
                                 "-of csv=p=0 "
                                 "'http://127.0.0.1:" + std::to_string(rig.port) +
                                 "/control/faststream.jpg?fps=20' > " + out}));
  int code = -1;
  ASSERT_TRUE(probe.wait(20000, &code));
  EXPECT_EQ(0, code);
  EXPECT_EQ("mjpeg,320,240,5\n", readFile(out));
}

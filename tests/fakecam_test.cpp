// The fake camera is only worth testing against if it checks what a real camera checks and
// answers in that camera's words: asked with plain sockets here, not through the gateway.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tools/FakeCam.h"

namespace {

// Sends a request and collects the answer for up to ms (or until the camera closes).
std::string ask(uint16_t port, const std::string& request, int ms = 400) {
  const int fd = connectTo(port);
  if (fd < 0) return "<no connection>";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  ::close(fd);
  return got;
}

std::string get(const std::string& target, const std::string& headers = "Host: cam\r\n") {
  return "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n";
}

fakecam::Server* startCam(std::unique_ptr<fakecam::Server>& holder, const std::string& family,
                          std::function<void(fakecam::Options&)> tweak = nullptr) {
  fakecam::Options o;
  o.family = family;
  if (tweak) tweak(o);
  holder.reset(new fakecam::Server(o));
  EXPECT_TRUE(holder->start());
  return holder.get();
}

TEST(FakeCam, RefusesWhatTheFamilyDoesNotUnderstandWithItsOwnErrorAnswer) {
  struct Case {
    const char* family;
    const char* target;
    const char* answer;
  } cases[] = {
      {"axis", "/axis-cgi/mjpg/video.cgi?camera=1&resolution=640x480&compression=30", "HTTP/1.1 400 Bad Request"},
      {"axis", "/axis-cgi/mjpg/video.cgix?camera=1&resolution=VGA&fps=0&compression=30", "HTTP/1.1 400 Bad Request"},
      {"axis", "/GetData.cgi?Camera=1", "HTTP/1.1 400 Bad Request"},
      {"lilin", "/getimage?fmt=VGA", "HTTP/1.1 404 Not Found"},
      {"asip", "/ChangeResolution.cgi?Camera=1", "HTTP/1.1 400 Bad Request"},
      {"hikvision", "/streaming/channels/2/preview", "statusString>Invalid Operation<"},
      {"grandstream", "/goform/stream?channel=0", "Response=Error"},
      {"sony", "/command/camera.cgi?Quality=8", "HTTP/1.1 404 Not Found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.family) + " " + c.target);
    std::unique_ptr<fakecam::Server> cam;
    startCam(cam, c.family);
    std::string answer = ask(cam->port(), get(c.target), 3000);  // ends early when it closes
    EXPECT_NE(answer.find(c.answer), std::string::npos) << answer;
    EXPECT_EQ(cam->picturesSent(), 0u);
  }
}

TEST(FakeCam, ChecksHostAndCredentials) {
  std::unique_ptr<fakecam::Server> cam;
  startCam(cam, "vivotec", [](fakecam::Options& o) {
    o.user = "user";
    o.password = "pw";
  });
  const std::string ok = "Authorization: Basic dXNlcjpwdw==\r\n";  // user:pw
  EXPECT_EQ(ask(cam->port(), get("/video.jpg", ok)).compare(0, 24, "HTTP/1.1 400 Bad Request"), 0);
  std::string denied = ask(cam->port(), get("/video.jpg", "Host: cam\r\nAuthorization: Basic dXNlcjp4\r\n"));
  EXPECT_EQ(denied.compare(0, 25, "HTTP/1.1 401 Unauthorized"), 0) << denied;
  EXPECT_NE(denied.find("WWW-Authenticate: Basic"), std::string::npos);
  EXPECT_EQ(ask(cam->port(), get("/video.jpg")).compare(0, 25, "HTTP/1.1 401 Unauthorized"), 0);
  EXPECT_EQ(ask(cam->port(), get("/video.jpg", "host: cam\r\n" + ok)).compare(0, 15, "HTTP/1.1 200 OK"), 0);
}

// Each family's own header spelling, Sony's part length, and --stamp's counter and capture time.
TEST(FakeCam, StreamsInTheFamilysSpellingWithStampedPictures) {
  struct Case {
    const char* family;
    const char* target;
    const char* type;
    const char* length;
  } cases[] = {
      {"grandstream", "/goform/stream?cmd=get&channel=0&7", "\r\ncontent-type: multipart", "\r\ncontent-length: "},
      {"panasonic", "/nphMotionJpeg?Resolution=640x480&Quality=Standard&Framerate=1", "\r\nContent-type: multipart",
       "\r\nContent-length: "},
      {"sony", "/image?interval=5000", "\r\nContent-Type: multipart", "\r\nDataLen: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.family);
    std::unique_ptr<fakecam::Server> cam;
    startCam(cam, c.family, [](fakecam::Options& o) { o.stamp = true; });
    std::string s = ask(cam->port(), get(c.target), 300);
    EXPECT_NE(s.find(c.type), std::string::npos) << s.substr(0, 200);
    EXPECT_NE(s.find(c.length), std::string::npos) << s.substr(0, 200);
    uint64_t frame = 0, capture = 0;
    ASSERT_TRUE(fakecam::readStamp(reinterpret_cast<const uint8_t*>(s.data()), s.size(), &frame, &capture));
    EXPECT_EQ(frame, 1u);
    uint64_t nowUs = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch()).count());
    EXPECT_LT(nowUs - capture, 2000000u);
    // The comment sits right behind the start marker of the picture.
    size_t soi = s.find("\xFF\xD8\xFF\xFE");
    ASSERT_NE(soi, std::string::npos);
    EXPECT_EQ(s.compare(soi + 6, 14, "fakecam frame="), 0);
  }
}

// The camera keeps its own rate whatever the request asks (here 25 pictures/s asked, 10 sent).
TEST(FakeCam, StreamsAtItsOwnRate) {
  std::unique_ptr<fakecam::Server> cam;
  startCam(cam, "axis", [](fakecam::Options& o) { o.fps = 10; });
  ask(cam->port(), get("/axis-cgi/mjpg/video.cgi?camera=1&resolution=640x480&fps=25&compression=30"), 1000);
  EXPECT_GE(cam->picturesSent(), 8u);
  EXPECT_LE(cam->picturesSent(), 12u);
}

TEST(FakeCam, HelpSaysWhatItChecksAndOffers) {
  ChildProcess p;
  ASSERT_TRUE(p.start(builtProgram("fakecam"), {"--help"}));
  int code = -1;
  ASSERT_TRUE(p.wait(5000, &code));
  EXPECT_EQ(code, 0);
  const std::string help = p.stdoutText();
  for (const char* word : {"--rate", "--stamp", "capture", "--user", "401", "Host", "DataLen", "--family", "--pace", "--jitter",
                           "--close-after-part", "--good-parts"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

}  // namespace

// The stream reader across fetches on one connection: the camera's parts arrive as it sends
// them (one at a time, several at once, heads that change length, a part without a length),
// and every fetch publishes exactly the newest complete picture.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "channels/CIPAxisVideoCnl.h"
#include "channels/FrameRec.h"
#include "channels/PictureBlocks.h"
#include "platform/ByteOrder.h"

namespace {

// A channel whose camera connection is a test's socket; never started.
class Reader : public CIPAxisVideoCnl {
 public:
  Reader() : CIPAxisVideoCnl(9991) {}
  bool connectTo(const sockaddr_in& addr) {
    m_boundaryLine = "--b";
    return m_sock.create() == 0 && m_sock.connect(addr, 1000) == 0;
  }
  void fetch(FrameRec& rec) { getFrameSrv(rec, 1); }
};

// A small JPEG-looking body that can also be found by its markers: start of image, start of
// scan, the tag as scan data, end of image.
std::string picture(const std::string& tag) {
  return "\xFF\xD8\xFF\xDA" + tag + std::string(300, 'x') + "\xFF\xD9";
}

std::string part(const std::string& pic, const std::string& extraHead = "") {
  return "--b\r\nContent-Type: image/jpeg\r\n" + extraHead + "Content-Length: " + std::to_string(pic.size()) +
         "\r\n\r\n" + pic + "\r\n";
}

// The camera's JPEG in a published picture: behind the header and the comment segment, if any,
// with its start marker put back.
std::string cameraBytes(const FrameRec& rec) {
  const size_t h = pictureblocks::kHeaderSize;
  if (rec.length < h + 4) return "";
  const bool comment = rec.data[h] == 0xFF && rec.data[h + 1] == 0xFE;
  const size_t off = h + (comment ? getBE16(rec.data + h + 2) + 2 : 0);
  return off > rec.length ? "" : "\xFF\xD8" + std::string(reinterpret_cast<const char*>(rec.data + off), rec.length - off);
}

TEST(IpcamParts, EveryFetchPublishesTheNewestPartWhole) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  Reader reader;
  ASSERT_TRUE(reader.connectTo(addr));
  const int cam = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(cam, 0);
  FrameRec rec;
  ASSERT_TRUE(rec.allocate(CVideoCnl::kFrameBufferSize));

  struct Step {
    const char* what;
    std::string sent;
    std::string expected;
  } steps[] = {
      {"first part", part(picture("A")), picture("A")},
      {"same head again", part(picture("B")), picture("B")},
      {"a longer head", part(picture("C"), "X-Frame: 12345\r\n"), picture("C")},
      {"a shorter head", part(picture("D")), picture("D")},
      {"two parts at once", part(picture("E")) + part(picture("F")), picture("F")},
      {"a part found by its markers", "--b\r\nContent-Type: image/jpeg\r\n\r\n" + picture("G") + "\r\n", picture("G")},
      {"a length again", part(picture("H")), picture("H")},
      {"a larger picture", part(picture("I") + std::string(70000, 'y')), picture("I") + std::string(70000, 'y')},
      {"back to small", part(picture("J")), picture("J")},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_EQ(::send(cam, s.sent.data(), s.sent.size(), MSG_NOSIGNAL), ssize_t(s.sent.size()));
    reader.fetch(rec);
    ASSERT_GT(rec.length, 0u) << reader.frameError();
    EXPECT_EQ(cameraBytes(rec), s.expected);
  }
  ::close(cam);
  ::close(listener);
}

}  // namespace

// The camera stream reader fed over a real loopback connection, as a camera sends it:
// multipart (boundary, part head, length or markers) or bare JPEG found by its markers.
// A published frame never exceeds the record, is a piece of what the camera sent, carries a
// readable time stamp, and the reader never produces frames without consuming the stream.
// Input: byte 0 (bit 0: bare JPEG; bits 1-7: the head length the reader expects from an
// earlier part, 0 for none), bytes 1-2 (the record's size), then the stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "channels/CIPAxisVideoCnl.h"
#include "channels/FrameRec.h"
#include "channels/PictureBlocks.h"
#include "tests/fuzz/checks/FuzzChecks.h"
#include "tests/fuzz/checks/FuzzSupport.h"

namespace fuzzcheck {
namespace {

// A channel whose camera connection is whatever the check hands it; never started.
class StreamProbe : public CIPAxisVideoCnl {
 public:
  StreamProbe() : CIPAxisVideoCnl(9990) {}

  // Connects the channel's camera socket to the listener and returns the camera's end.
  int connectTo(int listener, const sockaddr_in& addr) {
    closeSocket();  // as a reconnect does: nothing learnt from the last stream carries over
    if (m_sock.create() != 0 || m_sock.connect(addr, 1000) != 0) return -1;
    return ::accept(listener, nullptr, nullptr);
  }
  void setBoundary(const std::string& b) { m_boundaryLine = b; }
  // What a reader learnt from an earlier part: the bytes it expects in front of a body.
  void expectLead(uint32_t lead) { m_predictedLead = lead; }
  void readByMarkers(FrameRec& rec) { receiveAndWrap(rec, 0, 1); }
  void done() { closeSocket(); }
};

struct Camera {
  int listener = -1;
  sockaddr_in addr{};
  std::unique_ptr<StreamProbe> probe;
  Camera() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ::close(listener);
      listener = -1;
    }
    probe.reset(new StreamProbe);
  }
};

}  // namespace

std::string cameraStream(const uint8_t* data, size_t size) {
  static Camera& cam = *new Camera;  // never destroyed: the channel outlives every call
  if (cam.listener < 0 || size < 3) return "";
  const bool bare = data[0] & 1;
  const uint32_t capacity = 64 + ((uint32_t(data[1]) << 8 | data[2]) % 32768);
  const uint8_t* stream = data + 3;
  const size_t streamSize = size - 3;

  int camFd = cam.probe->connectTo(cam.listener, cam.addr);
  if (camFd < 0) return "";
  const size_t sent = sendAndFinish(camFd, stream, streamSize);
  cam.probe->setBoundary(bare ? "" : "--myboundary");
  // The first byte's upper bits stand for what an earlier part taught the reader (0: nothing),
  // so its way for a known head length sees every kind of stream too.
  cam.probe->expectLead(data[0] >> 1);

  FrameRec rec;
  rec.allocate(capacity);
  std::string fault;
  size_t frames = 0;
  for (;;) {
    if (bare) cam.probe->readByMarkers(rec);
    else cam.probe->getFrameSrv(rec, 1);
    if (rec.length == 0) break;
    if (++frames > sent) { fault = "frames produced without consuming the stream"; break; }
    if (rec.length > rec.capacity) { fault = "frame longer than its record"; break; }
    uint64_t us = 0;
    if (rec.length < pictureblocks::kHeaderSize || !pictureblocks::readPictureTimeUs(rec.data, rec.length, &us)) {
      fault = "published frame without its time stamp";
      break;
    }
    // The camera's JPEG, its start-of-image marker restored, lies somewhere in what was sent.
    std::vector<uint8_t> jpeg = {0xFF, 0xD8};
    jpeg.insert(jpeg.end(), rec.data + pictureblocks::kHeaderSize, rec.data + rec.length);
    if (std::search(stream, stream + sent, jpeg.begin(), jpeg.end()) == stream + sent) {
      fault = "published picture is not what the camera sent";
      break;
    }
  }
  cam.probe->done();
  ::close(camFd);
  return fault;
}

}  // namespace fuzzcheck

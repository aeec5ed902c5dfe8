// The camera stream reader fed from memory, the bytes arriving a piece at a time while it waits:
// multipart (boundary, part head, length or markers) or a bare JPEG found by its markers.
// Every picture it hands out fits its buffer, starts with FF D8, is a piece of what the camera
// sent and wraps into a frame with a readable time stamp; it never hands out pictures without
// consuming the stream; and the look behind a part never waits for bytes still to come.
// Input: byte 0 (bit 0: bare JPEG; bits 1-7: how many bytes arrive at a time, from 1 to 3938),
// bytes 1-2 (the buffer's size), then the stream.
#include <algorithm>
#include <cstring>
#include <vector>

#include "channels/CamPartReader.h"
#include "channels/FrameRec.h"
#include "channels/PictureBlocks.h"
#include "endpoint/CIPVideoCnl.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {
namespace {

// Bytes in memory that arrive `piece` at a time, one piece per wait; the end is the stream's end.
class ArrivingBytes : public CamByteStream {
 public:
  ArrivingBytes(const uint8_t* p, size_t n, size_t piece) : m_data(p, p + n), m_piece(piece) {}
  size_t ready() override { return m_arrived - m_pos; }
  size_t look(uint8_t* out, size_t n, int timeoutMs) override {
    if (ready() == 0 && timeoutMs > 0) arrive();
    const size_t k = std::min(n, ready());
    if (k > 0) std::memcpy(out, m_data.data() + m_pos, k);
    return k;
  }
  size_t takeSome(uint8_t* out, size_t n, int timeoutMs) override {
    const size_t k = look(out, n, timeoutMs);
    m_pos += k;
    return k;
  }
  size_t take(uint8_t* out, size_t n, int timeoutMs) override {
    size_t got = 0;
    while (got < n) {
      const size_t k = takeSome(out + got, n - got, timeoutMs);
      if (k == 0) break;
      got += k;
    }
    return got;
  }
  void putBack(const uint8_t* p, size_t n) override {
    m_data.insert(m_data.begin() + ptrdiff_t(m_pos), p, p + n);
    m_arrived += n;
  }
  bool ended() const override { return m_arrived == m_data.size(); }
  std::string failure() const override { return ended() ? "ended" : "silent"; }
  size_t waits() const { return m_waits; }
  size_t taken() const { return m_pos; }
  const std::vector<uint8_t>& data() const { return m_data; }

 private:
  void arrive() {
    ++m_waits;
    m_arrived = std::min(m_data.size(), m_arrived + m_piece);
  }
  std::vector<uint8_t> m_data;
  size_t m_piece, m_pos = 0, m_arrived = 0, m_waits = 0;
};

}  // namespace

std::string cameraStream(const uint8_t* data, size_t size) {
  if (size < 3) return "";
  const bool bare = data[0] & 1;
  const size_t piece = 1 + size_t(data[0] >> 1) * 31;
  const uint32_t capacity = 64 + ((uint32_t(data[1]) << 8 | data[2]) % 32768);
  const uint8_t* stream = data + 3;
  const size_t streamSize = size - 3;
  ArrivingBytes in(stream, streamSize, piece);
  CamPartReader reader;
  reader.reset({bare ? "" : "--myboundary"});
  // Room for the picture behind the header and a comment segment, as a channel keeps it.
  const std::vector<uint8_t> comment = pictureblocks::ipCommentSegment("fuzz", "127.0.0.1");
  const uint32_t headroom = uint32_t(pictureblocks::kHeaderSize + comment.size() - 2);
  std::vector<uint8_t> space(headroom + capacity);
  uint8_t* buf = space.data() + headroom;
  uint8_t header[pictureblocks::kHeaderSize];
  pictureblocks::initHeader(header);
  FrameRec rec;
  rec.allocate(headroom + capacity + 2);

  auto check = [&](uint32_t len) -> std::string {
    if (len > capacity) return "picture longer than its buffer";
    if (len < 2 || buf[0] != 0xFF || buf[1] != 0xD8) return "picture does not start with FF D8";
    // The stream as the reader saw it (bytes put back are in it too).
    const std::vector<uint8_t>& sent = in.data();
    if (std::search(sent.begin(), sent.end(), buf, buf + len) == sent.end()) return "picture is not what the camera sent";
    uint64_t us = 0;
    if (!CIPVideoCnl::wrapFrame(header, comment, buf, len, 1234567000, 1, 0, rec) ||
        !pictureblocks::readPictureTimeUs(rec.data, rec.length, &us) || us != 1234567)
      return "wrapped picture without its time stamp";
    return "";
  };
  size_t pictures = 0;
  for (;;) {
    const size_t before = in.taken();
    uint32_t len = 0;
    const bool got = bare ? reader.jpegByMarkers(in, buf, capacity, 1000, &len)
                          : reader.next(in, buf, capacity, headroom, 1000, &len);
    if (!got) break;
    if (in.taken() == before) return "picture handed out without consuming the stream";
    if (++pictures > streamSize) return "more pictures than bytes";
    std::string fault = check(len);
    if (!fault.empty()) return fault;
    size_t budget = CamPartReader::kUnknownBudget;
    for (;;) {
      const size_t waits = in.waits();
      const CamPartReader::Behind b = reader.newer(in, buf, capacity, headroom, &budget, &len);
      if (in.waits() != waits) return "the look behind a part waited for more bytes";
      if (b != CamPartReader::Behind::Newer) break;
      if (++pictures > streamSize) return "more pictures than bytes";
      fault = check(len);
      if (!fault.empty()) return fault;
    }
  }
  return "";
}

}  // namespace fuzzcheck

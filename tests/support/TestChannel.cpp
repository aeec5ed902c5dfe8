#include "tests/support/TestChannel.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "channels/CnlList.h"
#include "channels/PictureBlocks.h"
#include "platform/Clock.h"
#include "recording/CRecVideoClient.h"

namespace {

struct ErrorJump {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void onJpegError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}

void silentOutput(j_common_ptr) {}

// The test program's channels get their recorder as the gateway's do: start-up installs the
// same maker (app/App.cpp).
const bool g_recorderInstalled = (installChannelRecorder(), true);

}  // namespace

TestChannel::TestChannel(const Options& options, int typeCode, uint32_t index)
    : CVideoCnl(typeCode, index), m_opt(options) {
  if (m_opt.withRecorder) createRecorder();
  m_jpeg = makeJpeg(m_opt.width, m_opt.height, m_opt.quality, 0, m_opt.noise);
}

TestChannel::~TestChannel() {
  stop();
  join();
  if (m_registered) {
    std::lock_guard<std::mutex> guard(g_cnlListLock);
    g_cnlList.erase(std::remove(g_cnlList.begin(), g_cnlList.end(), this), g_cnlList.end());
  }
}

bool TestChannel::startChannel() {
  if (!init()) return false;
  return start();
}

int TestChannel::run() {
  if (m_opt.registerInList) {
    m_registered = true;
    registerChannel(this);
  }
  if (recorder()) recorder()->start();
  reconf();
  listEntry().setAll(1, logSource(), "127.0.0.1:0", "running");
  const uint64_t periodNs = static_cast<uint64_t>(m_opt.periodMs) * 1000000ull;
  while (!stopping()) {
    if (periodNs == 0) {
      sleepUnlessStopped(20000000ull);
      continue;
    }
    if (m_opt.wakeOnWanted) {
      const uint64_t before = platform::monotonicNs();
      waitFrameWanted(periodNs);
      if (platform::monotonicNs() - before < periodNs) ++m_wantedWakeUps;
    } else {
      sleepUnlessStopped(periodNs);
    }
    if (stopping()) break;
    publishPicture();
  }
  return 0;
}

void TestChannel::sleepUnlessStopped(uint64_t ns) {
  const uint64_t end = platform::monotonicNs() + ns;
  while (!stopping()) {
    const uint64_t now = platform::monotonicNs();
    if (now >= end) return;
    platform::sleepNs(std::min<uint64_t>(end - now, 10000000ull));
  }
}

uint64_t TestChannel::nextTimestamp() {
  // Strictly increasing, so two quick publications are always told apart by consumers.
  uint64_t now = platform::nowNs();
  const uint64_t last = m_lastTimestamp.load();
  return now > last ? now : last + 1;
}

uint32_t TestChannel::publishPicture() {
  std::lock_guard<std::mutex> guard(m_produceLock);
  const uint32_t seq = m_sequence.load() + 1;
  if (m_opt.varyContent) m_jpeg = makeJpeg(m_opt.width, m_opt.height, m_opt.quality, seq, m_opt.noise);
  const uint64_t ts = nextTimestamp();
  m_last = wrapPicture(m_jpeg, logSource(), m_opt.camAddr, ts, seq, m_opt.width, m_opt.height);
  if (!publishLocked(m_last.data(), m_last.size(), ts, seq)) return 0;
  return static_cast<uint32_t>(m_last.size());
}

bool TestChannel::publishRaw(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> guard(m_produceLock);
  return publishLocked(data, length, nextTimestamp(), m_sequence.load() + 1);
}

void TestChannel::publishEmpty() {
  std::lock_guard<std::mutex> guard(m_produceLock);
  backFrame().length = 0;
  publishBackFrame();
}

bool TestChannel::publishLocked(const uint8_t* data, size_t length, uint64_t timeNs,
                                uint32_t sequence) {
  FrameRec& back = backFrame();
  if (length == 0 || length > back.capacity) return false;
  std::memcpy(back.data, data, length);
  back.length = static_cast<uint32_t>(length);
  back.timestamp = timeNs;
  back.sequence = sequence;
  m_sequence = sequence;
  m_lastTimestamp = timeNs;
  publishBackFrame();
  ++m_published;
  return true;
}

bool TestChannel::waitPublished(uint32_t n, int timeoutMs) const {
  const uint64_t end = platform::monotonicNs() + static_cast<uint64_t>(timeoutMs) * 1000000ull;
  while (m_published.load() < n) {
    if (platform::monotonicNs() >= end) return false;
    platform::sleepMs(2);
  }
  return true;
}

std::vector<uint8_t> TestChannel::lastPicture() const {
  std::lock_guard<std::mutex> guard(m_produceLock);
  return m_last;
}

std::string TestChannel::imageUrl(const std::string& host, bool live) {
  return "http://" + host + (live ? "/test/stream.jpg" : "/test/image.jpg");
}

std::vector<uint8_t> TestChannel::makeJpeg(int width, int height, int quality, uint32_t seed,
                                           bool noise) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  uint32_t rnd = 2463534242u ^ seed;
  const int side = std::max(4, std::min(width, height) / 4);
  const int sx = static_cast<int>((seed * 7u) % static_cast<uint32_t>(std::max(1, width - side)));
  const int sy = static_cast<int>((seed * 5u) % static_cast<uint32_t>(std::max(1, height - side)));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* px = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      px[0] = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
      px[1] = static_cast<uint8_t>(y * 255 / std::max(1, height - 1));
      px[2] = 128;
      if (x >= sx && x < sx + side && y >= sy && y < sy + side) px[0] = px[1] = px[2] = 250;
      if (noise) {
        rnd ^= rnd << 13;
        rnd ^= rnd >> 17;
        rnd ^= rnd << 5;
        px[0] ^= static_cast<uint8_t>(rnd);
        px[1] ^= static_cast<uint8_t>(rnd >> 8);
        px[2] ^= static_cast<uint8_t>(rnd >> 16);
      }
    }
  }
  jpeg_compress_struct cinfo;
  ErrorJump err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = onJpegError;
  err.mgr.output_message = silentOutput;
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return {};
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = &rgb[static_cast<size_t>(cinfo.next_scanline) * width * 3];
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<uint8_t> result(out, out + outSize);
  std::free(out);
  return result;
}

std::vector<uint8_t> TestChannel::wrapPicture(const std::vector<uint8_t>& jpeg,
                                              const std::string& name, const std::string& camAddr,
                                              uint64_t timeNs, uint32_t sequence, int width,
                                              int height) {
  if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return {};
  uint8_t hdr[pictureblocks::kHeaderSize];
  pictureblocks::initHeader(hdr);
  pictureblocks::setFrameFields(hdr, timeNs, sequence,
                                pictureblocks::imageFormatWord(0, width, height));
  const std::vector<uint8_t> comment = pictureblocks::ipCommentSegment(name, camAddr);
  std::vector<uint8_t> out;
  out.reserve(sizeof hdr + comment.size() + jpeg.size() - 2);
  out.insert(out.end(), hdr, hdr + sizeof hdr);
  out.insert(out.end(), comment.begin(), comment.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

bool TestChannel::decodeJpeg(const uint8_t* data, size_t length, int* width, int* height) {
  jpeg_decompress_struct cinfo;
  ErrorJump err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = onJpegError;
  err.mgr.output_message = silentOutput;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(length));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  std::vector<uint8_t> line(static_cast<size_t>(cinfo.output_width) * cinfo.output_components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = line.data();
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  // A truncated stream is padded by libjpeg with a warning; count that as invalid.
  const bool clean = cinfo.err->num_warnings == 0;
  if (width) *width = static_cast<int>(cinfo.output_width);
  if (height) *height = static_cast<int>(cinfo.output_height);
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return clean;
}

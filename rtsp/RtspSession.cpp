#include "rtsp/RtspSession.h"

#include <openssl/rand.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Net.h"
#include "rtsp/RtspFeed.h"

namespace {
const char kCname[] = "telvgate";
constexpr uint64_t kNtpEpochOffsetSec = 2208988800ull;  // 1900 to 1970
}  // namespace

bool RtspOutput::send(const std::string& bytes, bool last) {
  if (!m_handedOver.load()) {
    size_t done = 0;
    const uint64_t giveUp = platform::monotonicNs() + uint64_t(kSendTimeoutMs) * 1000000ull;
    while (done < bytes.size()) {
      const ssize_t n = platform::sendOnce(m_fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      const uint64_t now = platform::monotonicNs();
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || now >= giveUp) return false;
      if (platform::waitWritable(m_fd, int64_t(giveUp - now)) < 0) return false;
    }
    return true;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_done || m_last || m_queued.size() + bytes.size() > kMaxQueuedBytes) return false;
  m_queued += bytes;
  m_last = last;
  m_hasQueued = true;
  if (m_feed) m_feed->wake();
  return true;
}

void RtspOutput::handOver(RtspFeed* feed, const std::string& first) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_feed = feed;
  m_queued = first;
  m_hasQueued = !first.empty();
  m_handedOver = true;
}

bool RtspOutput::take(std::string* out, bool* last) {
  if (!m_hasQueued.load()) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  m_hasQueued = false;
  *last = m_last;
  if (m_queued.empty()) return false;
  out->swap(m_queued);
  m_queued.clear();
  return true;
}

void RtspOutput::release() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_done = true;
    m_feed = nullptr;
  }
  m_released.notify_all();
}

bool RtspOutput::waitReleased(uint64_t timeoutNs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_released.wait_for(lock, std::chrono::nanoseconds(timeoutNs), [this] { return m_done; });
}

uint64_t randomBits() {
  uint64_t v = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof v) != 1)
    v = platform::monotonicNs() * 6364136223846793005ull + reinterpret_cast<uintptr_t>(&v);
  return v;
}

void RtspSession::touch() { lastSeenNs = platform::monotonicNs(); }

uint32_t rtpTime(uint64_t ns, uint32_t offset) {
  // Microseconds keep the product within 64 bits for centuries.
  return static_cast<uint32_t>((ns / 1000) * 9 / 100) + offset;
}

size_t senderReport(uint8_t* o, size_t cap, uint32_t ssrc, uint64_t nowNs, uint32_t rtp, uint32_t packets,
                    uint32_t octets) {
  const size_t nameLen = sizeof kCname - 1;
  const size_t sdesBytes = (8 + 2 + nameLen + 1 + 3) / 4 * 4;  // header, SSRC, item, end, padding
  const size_t total = 28 + sdesBytes;
  if (cap < total) return 0;
  std::memset(o, 0, total);
  o[0] = 0x80;  // version 2, no report blocks
  o[1] = 200;   // SR
  putBE16(o + 2, 6);
  putBE32(o + 4, ssrc);
  const uint64_t sec = nowNs / 1000000000ull + kNtpEpochOffsetSec;
  const uint64_t frac = ((nowNs % 1000000000ull) << 32) / 1000000000ull;
  putBE32(o + 8, static_cast<uint32_t>(sec));
  putBE32(o + 12, static_cast<uint32_t>(frac));
  putBE32(o + 16, rtp);
  putBE32(o + 20, packets);
  putBE32(o + 24, octets);
  uint8_t* s = o + 28;
  s[0] = 0x81;  // one chunk
  s[1] = 202;   // SDES
  putBE16(s + 2, static_cast<uint16_t>(sdesBytes / 4 - 1));
  putBE32(s + 4, ssrc);
  s[8] = 1;  // CNAME
  s[9] = static_cast<uint8_t>(nameLen);
  std::memcpy(s + 10, kCname, nameLen);
  return total;  // the end item and the padding are the zeros already there
}

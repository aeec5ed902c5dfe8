#include "tests/support/TestNetChannel.h"

#include <cstring>

#include "endpoint/CLstSockThread.h"
#include "platform/Clock.h"
#include "tests/support/TestChannel.h"

TestNetChannel::TestNetChannel(uint32_t periodMs, uint32_t index, int width, int height)
    : CNetVideoCnl(0, index), m_periodMs(periodMs), m_width(width), m_height(height) {
  m_jpeg = TestChannel::makeJpeg(width, height, 75, 0);
}

TestNetChannel::~TestNetChannel() {
  stop();
  join();
}

bool TestNetChannel::initLocked() {
  ++m_initCalls;
  return CNetVideoCnl::initLocked();
}

bool TestNetChannel::startChannel() { return init() && start(); }

uint16_t TestNetChannel::waitListening(int timeoutMs) {
  const uint64_t end = platform::monotonicNs() + uint64_t(timeoutMs) * 1000000ull;
  while (platform::monotonicNs() < end) {
    const CNetAddr a = localAddr();
    if (!a.ip.empty()) return a.port;
    platform::sleepMs(5);
  }
  return 0;
}

std::vector<uint8_t> TestNetChannel::publishPicture() {
  std::lock_guard<std::mutex> guard(m_produceLock);
  const uint32_t seq = m_published.load() + 1;
  uint64_t ts = platform::nowNs();
  if (ts <= m_lastTs) ts = m_lastTs + 1;
  m_lastTs = ts;
  m_last = TestChannel::wrapPicture(m_jpeg, logSource(), "127.0.0.1:0", ts, seq, m_width, m_height);
  FrameRec& back = backFrame();
  std::memcpy(back.data, m_last.data(), m_last.size());
  back.length = static_cast<uint32_t>(m_last.size());
  back.timestamp = ts;
  back.sequence = seq;
  publishBackFrame();
  ++m_published;
  return m_last;
}

std::vector<uint8_t> TestNetChannel::lastPicture() const {
  std::lock_guard<std::mutex> guard(m_produceLock);
  return m_last;
}

std::string TestNetChannel::imageUrl(const std::string& host, bool live) {
  return "http://" + host + (live ? "/control/faststream.jpg" : "/record/current.jpg");
}

int TestNetChannel::run() {
  reconf();
  if (!startListener()) return 1;
  const uint64_t periodNs = uint64_t(m_periodMs) * 1000000ull;
  uint64_t next = platform::monotonicNs() + periodNs;
  while (!stopping()) {
    platform::sleepNs(5000000ull);
    if (periodNs == 0 || platform::monotonicNs() < next) continue;
    next += periodNs;
    publishPicture();
  }
  stopListener();
  return 0;
}

#pragma once
// A channel with an endpoint for tests: the listener runs on the channel's own thread's
// behalf (started and stopped by run, as a concrete channel does) while the loop publishes a
// real JPEG picture every periodMs (0: only by hand, with publishPicture()).
//
// Threads: run() is the channel's thread; publishPicture() and the counters may be used from
// any thread. The destructor stops and joins the thread itself.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "endpoint/CNetVideoCnl.h"

class TestNetChannel : public CNetVideoCnl {
 public:
  // typeCode 0 is the analog kind; index keeps several test channels apart.
  explicit TestNetChannel(uint32_t periodMs, uint32_t index = 1, int width = 320, int height = 240);
  ~TestNetChannel() override;

  // init() and start the thread; false when init fails.
  bool startChannel();
  // Waits (bounded) until the listener listens and returns its port (0 on time-out).
  uint16_t waitListening(int timeoutMs = 5000);

  // Publishes the next picture; its bytes.
  std::vector<uint8_t> publishPicture();
  uint32_t publishedCount() const { return m_published.load(); }
  std::vector<uint8_t> lastPicture() const;
  int initCalls() const { return m_initCalls.load(); }

  std::string imageUrl(const std::string& host, bool live) override;
  std::string sourceTag() override { return "testnet_" + std::to_string(index()); }

 protected:
  int run() override;
  bool initLocked() override;

 private:
  const uint32_t m_periodMs;
  const int m_width, m_height;
  mutable std::mutex m_produceLock;
  std::vector<uint8_t> m_jpeg, m_last;  // guarded by m_produceLock
  std::atomic<uint32_t> m_published{0};
  std::atomic<int> m_initCalls{0};
  uint64_t m_lastTs = 0;  // guarded by m_produceLock
};

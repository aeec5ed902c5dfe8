#pragma once
// Consumers: threads of their own attached to one channel.
//
// CMXClient: stop() may be called from any thread and returns at once; the owner (the channel,
// or whoever created a consumer that never attached) then joins and deletes it.
// CVideoClient adds the consumer's own picture record and pacing; its record belongs to the
// consumer's thread.
#include <atomic>
#include <cstdint>

#include "base/CNetAddr.h"
#include "channels/FrameRec.h"
#include "platform/Thread.h"

class CVideoCnl;

class CMXClient : public CThread {
 public:
  // *cnl must outlive this consumer. Until it attaches (CVideoCnl::addClient) or is destroyed,
  // the consumer counts as one the channel's destructor waits for.
  explicit CMXClient(CVideoCnl* cnl);
  ~CMXClient() override;
  CMXClient(const CMXClient&) = delete;
  CMXClient& operator=(const CMXClient&) = delete;

  virtual CNetAddr peer() { return CNetAddr("local", 0); }
  virtual void stop() { m_stop = true; }
  bool stopping() const { return m_stop.load(); }
  CVideoCnl* channel() const { return m_cnl; }

 protected:
  // Sleeps for ns, in short slices, returning early once stop() was called, so a stopping
  // consumer is joined promptly even with a long pacing period.
  void sleepUnlessStopped(uint64_t ns);

  std::atomic<bool> m_stop{false};
  CVideoCnl* const m_cnl;

 private:
  friend class CVideoCnl;
  std::atomic<bool> m_attached{false};  // set once, by CVideoCnl::addClient
};

class CVideoClient : public CMXClient {
 public:
  // The period is clamped to 50 .. 1000 ms.
  CVideoClient(CVideoCnl* cnl, uint32_t periodMs);

  // Sleeps until the own picture's time plus the period (no wait without a picture), then
  // asks the channel for a newer picture. True when one was copied into picture().
  bool waitNewFrame();

  const FrameRec& picture() const { return m_picture; }
  uint64_t periodNs() const { return m_periodNs.load(); }

 protected:
  // The first step of waitNewFrame: sleeps until lastTimestamp plus the period (not at all for
  // 0, never longer than one period).
  void paceAfter(uint64_t lastTimestamp);

  FrameRec m_picture;
  std::atomic<uint64_t> m_periodNs;  // the recorder changes it from init()
};

#pragma once
// Consumers: threads of their own attached to one channel.
//
// CMXClient: stop() may be called from any thread and returns at once; the owner (the channel,
// or whoever created a consumer that never attached) then joins and deletes it.
// CVideoClient adds the consumer's own picture record and pacing; its record belongs to the
// consumer's thread.
#include <atomic>
#include <cstdint>
#include <memory>

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

// The monotonic time of a push-stream viewer's next part after a picture stamped pictureTs
// (wall clock) went out: the next point of a grid of one slot per period on the monotonic
// clock, and no sooner than a period after the picture's source time (at most a period from
// now, so a picture stamped in the future, the wall clock set back, cannot stall the stream).
// The grid keeps a viewer to its own rate: at its slot the current picture may be up to one
// source interval old, and counting from its time stamp alone gives a 10/s viewer of a 20/s
// source every picture. Viewers of the same period share the grid, so one round serves them.
uint64_t pushSlotNs(uint64_t pictureTs, uint64_t periodNs);

class CVideoClient : public CMXClient {
 public:
  // The period is clamped to 50 .. 1000 ms.
  CVideoClient(CVideoCnl* cnl, uint32_t periodMs);

  // Sleeps until the own picture's time plus the period (no wait without a picture), then
  // asks the channel for a newer picture. True when one was copied into picture().
  bool waitNewFrame();

  // For push streams: sleeps until the viewer's next slot (pushSlotNs), so it never gets more
  // pictures a second than its period allows whatever the source's rate, then waits for a
  // picture newer than pic and hands it out shared in pic (see CVideoCnl::getNewPicture: the
  // viewers of one publication share one copy). False as waitNewFrame.
  bool waitNewPictureInSlot(std::shared_ptr<const SharedPicture>& pic);

  const FrameRec& picture() const { return m_picture; }
  uint64_t periodNs() const { return m_periodNs.load(); }

 protected:
  // The first step of waitNewFrame: sleeps until lastTimestamp plus the period (not at all for
  // 0, never longer than one period).
  void paceAfter(uint64_t lastTimestamp);

  FrameRec m_picture;
  uint64_t m_slotNs = 0;  // waitNewPictureInSlot: monotonic time of the next part
  std::atomic<uint64_t> m_periodNs;  // the recorder changes it from init()
};

#pragma once
// Sends a channel's live push streams: one thread walks every viewer of the channel and hands
// each the shared current picture with one non-blocking gathering send when its period is up.
//
// Every viewer (CNetVideoClient) still has a thread of its own: it attaches to the channel,
// logs its start, and then sleeps until its stream ends. Only the sending moved here. With a
// thread sending per viewer, every picture woke each of them once or twice, and with hundreds
// of viewers those context switches cost more than the copying itself; here the kernel's
// copy is nearly all that is left. A viewer that does not read never blocks the others: its
// socket is armed and watched, and a send that makes no progress for the viewer's send
// time-out ends that stream alone.
//
// Owned by its channel (CVideoCnl::pushSender creates it for the first viewer; the channel's
// destructor destroys it after joining every consumer). attach() and wake() may be called from
// any thread; everything else is the sender thread's own. The thread ends when the channel
// stops or stop() is called, and ends every stream it still holds on the way out.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "channels/FrameRec.h"
#include "platform/Thread.h"
#include "platform/WakePipe.h"
#include "platform/WritableWait.h"

class CNetVideoClient;
class CVideoCnl;

class PushSender : public CThread {
 public:
  explicit PushSender(CVideoCnl* cnl);
  ~PushSender() override;  // stops and joins the thread

  // Starts the thread; false when the platform refuses (the channel then serves no stream).
  bool begin();
  // Takes a started viewer's stream; from then on the sender ends it (CNetVideoClient::
  // streamEnded) exactly once. False, viewer untouched, once the sender is ending.
  bool attach(CNetVideoClient* viewer);
  // A viewer was stopped or the channel stops: look again.
  void wake() { m_wake.signal(); }
  // A picture was published: wakes the thread only when a stream waits for one. Viewers
  // paced slower than the source are never waiting, and their sender then wakes once per
  // picture (when a period is up), not twice.
  void published() {
    if (m_wantsPicture.load()) m_wake.signal();
  }
  void stop();

 protected:
  int run() override;

 private:
  struct Stream;
  // One look at a stream: paces it, starts or continues its send, or judges it ended (false).
  // *nextNs is lowered to the monotonic time the stream wants to be looked at again.
  bool serve(Stream& s, uint64_t monoNs, uint64_t& nextNs);
  bool startSend(Stream& s, uint64_t monoNs, uint64_t& nextNs);
  bool continueSend(Stream& s, uint64_t monoNs, uint64_t& nextNs);
  bool failedWait(Stream& s, uint64_t monoNs, uint64_t& nextNs);
  void endStream(Stream& s);
  // The channel's current picture for this round, frozen on the first demand.
  void fetchCurrent();

  CVideoCnl* const m_cnl;
  platform::WakePipe m_wake;
  platform::WritableWait m_wait;  // the sender thread's
  std::atomic<bool> m_stop{false};
  // Raised before a round looks at the current picture for a stream that is due, lowered
  // after a round in which no stream was left waiting: a publication after the look always
  // finds it raised.
  std::atomic<bool> m_wantsPicture{false};

  std::mutex m_lock;
  std::vector<CNetVideoClient*> m_incoming;  // guarded by m_lock
  bool m_ended = false;                      // guarded by m_lock: attach() refuses

  // One round's view of the channel (sender thread only).
  bool m_haveCurrent = false;
  uint64_t m_currentTs = 0;
  std::shared_ptr<const SharedPicture> m_currentPic;  // null: the current record is empty
  bool m_wantFrame = false;  // some stream waits for a picture newer than the current one
};

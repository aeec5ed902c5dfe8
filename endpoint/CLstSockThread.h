#pragma once
// The endpoint's listener: one per CNetVideoCnl, embedded in it. Its thread runs the
// endpoint's one event loop: it accepts connections on the channel's own address and port,
// reads their request heads without a thread per connection (HeadReader), starts one
// CHTTPSrvThread per complete request, and reaps ended connection threads and the channel's
// ended consumers.
//
// Threads: run() is the listener's own thread (started and joined by the channel's run through
// CNetVideoCnl::startListener/stopListener). init() is called by the channel with its
// configLock() held (configuration server or "/control/control" threads);
// requestRefresh() by reconf(); requestStop() from any thread, returning at once (it wakes the
// loop; the socket is closed by the loop itself). localAddr(), address() and the counters may
// be read from any thread. The sockets, the head reader and the connection list belong to the
// listener's thread.
//
// Bounds: at most HeadReader::kCapacity connections wait for their request head (the one idle
// longest gives way to a newcomer, and one address holds at most a quarter of them), at most
// maxConnections() connection threads answer at once (complete requests beyond wait their
// turn), at most maxClients() consumers are attached; a connection beyond the consumer bound,
// or one whose descriptor lies beyond the connection bound of platform/Descriptors.h with no
// waiting head to give way, is closed at once (logged at most once a minute). When the process
// has no descriptor left, the loop neither spins nor stops: a waiting head gives way, or the
// spare descriptor takes the newcomer and closes it, or accepting pauses for a second.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "base/CNetAddr.h"
#include "base/CSocket.h"
#include "base/HeadReader.h"
#include "channels/CVideoCnl.h"
#include "platform/Descriptors.h"
#include "platform/Thread.h"
#include "platform/WakePipe.h"
#include "platform/WritableWait.h"

class CHTTPSrvThread;
class CNetVideoCnl;

class CLstSockThread : public CThread {
 public:
  static constexpr int kMaxConnections = 64;
  static constexpr size_t kMaxClients = 2048;
  static constexpr int kRequestDeadlineMs = 30000;
  static constexpr int kWaitMs = 2000;              // one wait for a connection
  static constexpr int kPauseRounds = 5;            // after a failed set-up: 5 x 1 s
  static constexpr uint64_t kRefusalLogGapNs = 60000000000ull;  // one line a minute of each kind
  static constexpr uint64_t kAcceptPauseNs = 1000000000ull;   // no descriptor and no spare
  static constexpr int kAcceptBurst = 64;                       // accepts per loop round
  static constexpr uint64_t kBusyLookNs = 10000000ull;  // every thread busy: look again this soon
  // Stack of connection threads and the consumers they start: their frames are small, and
  // thousands of consumers with the system's default stacks would reserve gigabytes.
  static constexpr unsigned long kThreadStackBytes = 512 * 1024;

  // *cnl owns this listener and outlives it.
  explicit CLstSockThread(CNetVideoCnl* cnl);
  // Closes the socket and joins and destroys the connection threads still listed.
  ~CLstSockThread() override;

  // Reads "CnlIPAddr"/"CnlIPPort"; false (logged "Invalid IP address") for an address that is
  // not dotted IPv4. A changed address or port makes the loop set the socket up anew.
  bool init();

  // Sets the stop flag and wakes the loop; returns at once.
  void requestStop();
  // The loop looks at the rebind flag again (reconf).
  void requestRefresh() { m_refresh = true; }

  // The address the socket is bound to while it listens; empty text and port 0 otherwise.
  CNetAddr localAddr();
  // The address field: the configured address, after a set-up the one actually bound.
  CNetAddr address();

  // Connection threads currently listed (listener's thread; tests read it after a reap).
  size_t connectionCount() const { return m_connCount.load(); }
  // Connections whose request head is awaited or waits for a connection thread.
  size_t waitingCount() const { return m_waitingCount.load(); }
  // Connections closed at once because a bound was reached.
  uint64_t refusedCount() const { return m_refused.load(); }
  // Waiting connections that gave way to a newcomer.
  uint64_t droppedCount() const { return m_heads.dropped(); }
  // Completed socket set-ups (tests wait for the first or the next one).
  unsigned setUpCount() const { return m_setUps.load(); }

  // Bounds and time-outs; tests shorten them before the listener starts.
  void setLimits(int maxConnections, size_t maxClients, size_t maxWaiting = HeadReader::kCapacity,
                 size_t waitingShare = HeadReader::kShare) {
    m_maxConnections = maxConnections;
    m_maxClients = maxClients;
    m_maxWaiting = maxWaiting;
    m_waitingShare = waitingShare;
  }
  int maxConnections() const { return m_maxConnections.load(); }
  size_t maxClients() const { return m_maxClients.load(); }
  void setRequestDeadlineMs(int ms) { m_deadlineMs = ms; }
  int requestDeadlineMs() const { return m_deadlineMs.load(); }

 protected:
  int run() override;

 private:
  bool setUp();               // steps 1 to 5 of a set-up; false: pause and try again
  // One round: waits up to maxWaitNs for the listening socket, a waiting head or a wake-up,
  // handles what is ready, starts threads for complete requests and reaps.
  void serveOnce(int64_t maxWaitNs);
  void waitOnce(int64_t maxWaitNs);
  void acceptWaiting();        // a burst of accepts
  void admit(int handle, uint32_t peer);
  void outOfDescriptors(int err);
  void startReady();           // connection threads for complete heads, within the bound
  void refuse(int handle);     // closes it at once; logs at most once a minute
  void logDrops();             // waiting heads that gave way; at most once a minute
  void reapConnections();
  void joinConnections();      // at the end of the loop: shut every connection down and join it
  void watchListening(bool on);
  void closeListening();       // closes the socket, forgets the bound address
  void pause();                // up to 5 x 1 s of serving what waits, ended early by the stop flag
  std::string source();

  CNetVideoCnl* const m_cnl;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_rebind{true};
  std::atomic<bool> m_refresh{true};

  // Listener's thread only, apart from m_wake.signal().
  CSocket m_listen;
  platform::WritableWait m_events;  // tags: &m_listen, &m_wake, a waiting head's entry
  platform::WakePipe m_wake;
  HeadReader m_heads{m_events};
  bool m_listenWatched = false;
  uint64_t m_acceptPausedUntilNs = 0;  // 0: accepting

  std::mutex m_addrLock;
  CNetAddr m_addr;          // the address field; guarded by m_addrLock
  CNetAddr m_bound;         // while listening; guarded by m_addrLock
  std::string m_cfgIp;      // as configured by the last init(); guarded by m_addrLock
  uint16_t m_cfgPort = 0;   // guarded by m_addrLock

  std::list<CHTTPSrvThread*> m_connections;  // owned; listener's thread only
  std::atomic<size_t> m_connCount{0};
  std::atomic<size_t> m_waitingCount{0};
  std::atomic<uint64_t> m_refused{0};
  uint64_t m_droppedLogged = 0;  // listener's thread: drops already told in the log
  // Listener's thread: when each kind of line was last logged (0: never).
  uint64_t m_lastRefusalLogNs = 0, m_lastDropLogNs = 0, m_lastFullLogNs = 0;
  std::atomic<unsigned> m_setUps{0};

  std::atomic<int> m_maxConnections{kMaxConnections};
  std::atomic<size_t> m_maxClients{kMaxClients};
  std::atomic<size_t> m_maxWaiting{HeadReader::kCapacity};
  std::atomic<size_t> m_waitingShare{HeadReader::kShare};
  std::atomic<int> m_deadlineMs{kRequestDeadlineMs};
};

#pragma once
// The endpoint's listener: one per CNetVideoCnl, embedded in it. Its thread waits for
// connections on the channel's own address and port and starts one CHTTPSrvThread per accepted
// connection; it reaps ended connection threads and the channel's ended consumers.
//
// Threads: run() is the listener's own thread (started and joined by the channel's run through
// CNetVideoCnl::startListener/stopListener). init(), update() and formRow() are called by the
// channel with its configLock() held (configuration server or "/control/control" threads);
// requestRefresh() by reconf(); requestStop() from any thread, returning at once. localAddr(),
// address() and the counters may be read from any thread. The socket and the connection list
// belong to the listener's thread.
//
// Bounds: at most maxConnections() connection threads read requests at once and at most
// maxClients() consumers are attached to the channel; a connection beyond either is closed at
// once (logged at most once a minute), so thousands of idle connections cost neither threads
// nor memory. Every request must arrive whole within the request deadline (30 s).
#include <fxver.h>
#include <fxdefs.h>

#include "platform/Thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "channels/CVideoCnl.h"
#include "net/CNetAddr.h"
#include "net/CSocket.h"

class CHTTPSrvThread;
class CNetVideoCnl;

class CLstSockThread : public CThread {
 public:
  static constexpr int kMaxConnections = 64;
  static constexpr size_t kMaxClients = 2048;
  static constexpr int kRequestDeadlineMs = 30000;
  static constexpr int kWaitMs = 2000;              // one wait for a connection
  static constexpr int kPauseRounds = 5;            // after a failed set-up: 5 x 1 s
  static constexpr uint64_t kRefusalLogGapNs = 60000000000ull;  // one refusal line a minute
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
  // The endpoint's form fields; appends its messages to html. Always true.
  bool update(const FormFields& fields, std::string& html);
  // The "Channel IP address" table of the configuration form.
  void formRow(std::string& html);

  // Sets the stop flag and wakes the wait for connections; returns at once.
  void requestStop();
  // The loop looks at the rebind flag again (reconf).
  void requestRefresh() { m_refresh = true; }

  // The address the socket is bound to while it listens; empty text and port 0 otherwise.
  CNetAddr localAddr();
  // The address field: the configured address, after a set-up the one actually bound.
  CNetAddr address();

  // Connection threads currently listed (listener's thread; tests read it after a reap).
  size_t connectionCount() const { return m_connCount.load(); }
  // Connections closed at once because a bound was reached.
  uint64_t refusedCount() const { return m_refused.load(); }
  // Completed socket set-ups (tests wait for the first or the next one).
  unsigned setUpCount() const { return m_setUps.load(); }

  // Bounds and time-outs; tests shorten them before the listener starts.
  void setLimits(int maxConnections, size_t maxClients) {
    m_maxConnections = maxConnections;
    m_maxClients = maxClients;
  }
  int maxConnections() const { return m_maxConnections.load(); }
  size_t maxClients() const { return m_maxClients.load(); }
  void setRequestDeadlineMs(int ms) { m_deadlineMs = ms; }
  int requestDeadlineMs() const { return m_deadlineMs.load(); }

 protected:
  FX::FXint run() override;

 private:
  bool setUp();            // steps 1 to 5 of a set-up; false: pause and try again
  void waitAndAccept();    // one wait for a connection, then accept and start its thread
  bool overLimit();        // a new connection would exceed a bound
  void refuse(int handle); // closes it at once; logs at most once a minute
  void reapConnections();
  void joinConnections();  // at the end of the loop: shut every connection down and join it
  void closeListening();   // closes the socket, forgets the bound address
  void pause();            // up to 5 x 1 s, ended early by the stop flag
  std::string source();

  CNetVideoCnl* const m_cnl;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_rebind{true};
  std::atomic<bool> m_refresh{true};

  std::mutex m_sockLock;  // close/create against requestStop()'s shutdown: never a reused fd
  CSocket m_listen;       // listener's thread; requestStop() only shuts it down

  std::mutex m_addrLock;
  CNetAddr m_addr;          // the address field; guarded by m_addrLock
  CNetAddr m_bound;         // while listening; guarded by m_addrLock
  std::string m_cfgIp;      // as configured by the last init(); guarded by m_addrLock
  uint16_t m_cfgPort = 0;   // guarded by m_addrLock

  std::list<CHTTPSrvThread*> m_connections;  // owned; listener's thread only
  std::atomic<size_t> m_connCount{0};
  std::atomic<uint64_t> m_refused{0};
  uint64_t m_lastRefusalLogNs = 0;  // listener's thread
  bool m_refusalLogged = false;     // listener's thread
  std::atomic<unsigned> m_setUps{0};

  std::atomic<int> m_maxConnections{kMaxConnections};
  std::atomic<size_t> m_maxClients{kMaxClients};
  std::atomic<int> m_deadlineMs{kRequestDeadlineMs};
};

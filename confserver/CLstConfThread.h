#pragma once
// The configuration web server: one configuration thread that listens, accepts and processes
// complete requests one at a time in arrival order, and a bounded set of connection threads
// (confserver/ConfConnection.h) that read the requests and send the answers.
//
// init() runs on the GUI thread at start-up (before start()) and on the configuration thread
// when a form submission changed the address. shutdown() runs on the GUI thread after the
// event loop (tests: on the test's thread). address() and the setters may be called from any
// thread; the setters are meant to be used before start(). run() is the configuration thread.
//
// No client can hold the server: a connection that stays silent or trickles is limited by a
// whole-request deadline and only ever occupies its own connection thread; when all
// kMaxConnections are busy, the one idle longest is dropped for the newcomer (ConnectionRoom.h),
// and so it is when the process has no descriptor left for the newcomer. Answers are built
// under g_cnlUseLock by the configuration thread and sent by the connection thread after the
// lock is released, within an overall send deadline. shutdown() stops the thread through a
// flag and a wake-up pipe; it never touches a descriptor the thread may be re-creating.
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/CNetAddr.h"
#include "base/CSocket.h"
#include "base/ConfAnswer.h"
#include "confserver/ConfAccess.h"
#include "confserver/ConfConnection.h"
#include "confserver/LoginThrottle.h"
#include "confserver/TlsServer.h"
#include "platform/Descriptors.h"
#include "platform/Thread.h"
#include "platform/WakePipe.h"
#include "recordings/RecordingJobs.h"

class CLstConfThread : public CThread, private ConfConnectionHost {
 public:
  // Connection threads reading or answering at one time.
  static constexpr size_t kMaxConnections = 16;

  CLstConfThread();
  ~CLstConfThread() override;  // shuts down first
  CLstConfThread(const CLstConfThread&) = delete;
  CLstConfThread& operator=(const CLstConfThread&) = delete;

  // Takes the address and port to listen on: a non-empty ip and a non-zero port are used as
  // given, otherwise "ConfIPAddr"/"ConfIPPort" of section "System" are read (defaulting to the
  // current bind address). False, with the log line "Invalid IP address", when the address is
  // not IPv4 text; the bind address then stays as it was. A changed address or port makes the
  // running thread set its socket up anew at its next loop top.
  bool init(const std::string& ip, uint16_t port);
  // Sets the stop flag, wakes the thread, which drops every connection, and joins it. Safe to
  // call when the thread never started, and more than once.
  void shutdown();
  // The bind address in ip:port form (after set-up: the address actually bound).
  CNetAddr address();
  // True when the last set-up had to let the operating system choose the port.
  bool osSelectedPort() const { return m_osSelected.load(); }
  // Number of completed socket set-ups (tests wait for the first or the next one).
  unsigned setUpCount() const { return m_setUps.load(); }

  // Time-outs; the defaults are those of the product, tests shorten them.
  void setPauseMs(int ms) { m_pauseMs = ms; }            // after a failed set-up (5 s)
  void setLingerMs(int ms) { m_lingerMs = ms; }          // after a page answer (1 s)
  void setRequestDeadlineMs(int ms) { m_deadlineMs = ms; }  // whole request (30 s)
  void setSendTimeoutMs(int ms) { m_sendTimeoutMs = ms; }   // send without progress (10 s)
  void setSendDeadlineMs(int ms) { m_sendDeadlineMs = ms; } // whole answer (30 s)
  void setWaitMs(int ms) { m_waitMs = ms; }              // wait for a connection (2 s)
  // Whether set-ups are announced to the main window and printed on standard output (on).
  void setAnnounce(bool on) { m_announce = on; }

  int requestDeadlineMs() const override { return m_deadlineMs; }

  // Requests answered since the process started, by the answer's status ("200", "401", ...;
  // "none" for a request dropped without an answer). Any thread.
  std::map<std::string, uint64_t> requestCounts() const;

  // The HTTPS port ("ConfTLSPort"), started and stopped with this thread; its requests are
  // processed here like those of the plain port. init() configures it with the address.
  TlsServer& tls() { return m_tls; }

 protected:
  int run() override;

 private:
  // ConfConnectionHost
  bool enqueue(ConfConnection* conn) override;
  int sendTimeoutMs() const override { return m_sendTimeoutMs; }
  int sendDeadlineMs() const override { return m_sendDeadlineMs; }
  int lingerMs() const override { return m_lingerMs; }

  bool setUp();          // create, bind (falling back to port 0), listen; false: retry later
  void waitAndAccept();  // one pass: wait for a connection or a queued request
  void admit(int handle);
  void outOfDescriptors(int err);  // the accept found no descriptor left; logs once a minute
  bool processQueued();  // one queued request, if any
  void route(ConfConnection& conn, ConfAnswer& out);
  // The role of the request's credentials, through the login throttle; a refused login is
  // logged and counted.
  ConfRole login(ConfConnection& conn);
  // A plain-HTTP page request answered with the redirect to HTTPS ("ConfRedirectToTLS").
  bool redirectToTls(ConfConnection& conn, ConfAnswer& out);
  void reapConnections();
  void endConnections();
  void pause();          // up to m_pauseMs, still processing requests; ended by the stop flag

  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_rebind{true};
  std::atomic<bool> m_osSelected{false};
  std::atomic<unsigned> m_setUps{0};
  CSocket m_listen;  // configuration thread only
  platform::WakePipe m_wake;
  uint64_t m_acceptPausedUntilNs = 0;  // configuration thread; 0: accepting
  uint64_t m_lastFullLogNs = 0;        // configuration thread; 0: never logged
  static constexpr uint64_t kDropPauseNs = 50000000ull;     // until a dropped one has closed
  static constexpr uint64_t kAcceptPauseNs = 1000000000ull; // no descriptor and no spare

  mutable std::mutex m_addrLock;
  CNetAddr m_bindAddr{"0.0.0.0", 0};  // guarded by m_addrLock

  std::mutex m_queueLock;
  std::deque<ConfConnection*> m_queue;  // guarded by m_queueLock
  bool m_ending = false;                // guarded by m_queueLock

  // Configuration thread only.
  std::vector<std::unique_ptr<ConfConnection>> m_conns;
  LoginThrottle m_throttle;
  // Streams and exports of the recordings pages, on threads of their own.
  RecordingJobs m_recJobs;
  // Requests by answer status: the statuses the server gives, then "other" and "none".
  static constexpr const char* kCountedStatuses[] = {"200", "401", "403", "404", "other", "none"};
  std::atomic<uint64_t> m_requestCounts[6] = {};  // relaxed, only counted
  void countAnswer(const ConfAnswer& answer);
  uint64_t m_lastBindLogNs = 0;  // 0: the next bind failure is logged

  std::atomic<int> m_pauseMs{5000};
  std::atomic<int> m_lingerMs{1000};
  std::atomic<int> m_deadlineMs{30000};
  std::atomic<int> m_sendTimeoutMs{10000};
  std::atomic<int> m_sendDeadlineMs{30000};
  std::atomic<int> m_waitMs{2000};
  std::atomic<bool> m_announce{true};

  // Last: its connections hand their requests to this object, so it goes first.
  TlsServer m_tls{*this};
};

extern CLstConfThread g_confThread;

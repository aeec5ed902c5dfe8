#pragma once
// The configuration web server thread: one listening socket, one request at a time.
//
// init() runs on the GUI thread at start-up (before start()) and on the server's own thread
// when a form submission changed the address. shutdown() runs on the GUI thread after the
// event loop (tests: on the test's thread). address() and the setters may be called from any
// thread; the setters are meant to be used before start(). run() is the server's thread.
//
// Every request is answered completely before the next connection is accepted, so one slow
// or malicious client must not hold the thread: a connection gets a whole-request deadline
// (request head and form body together) on top of the per-line time-outs, and a send time-out
// so a client that never reads cannot block the answer.
#include <fxver.h>
#include <fxdefs.h>

#include "platform/Thread.h"

#include <atomic>
#include <mutex>
#include <string>

#include "net/CNetAddr.h"
#include "net/CSocket.h"

class CHTTPSocket;

class CLstConfThread : public CThread {
 public:
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
  // Sets the stop flag, wakes the wait for connections and any request being read, and joins
  // the thread. Safe to call when the thread never started, and more than once.
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
  void setSendTimeoutMs(int ms) { m_sendTimeoutMs = ms; }   // per send (10 s)
  void setWaitMs(int ms) { m_waitMs = ms; }              // wait for a connection (2 s)
  // Whether set-ups are announced to the main window and printed on standard output (on).
  void setAnnounce(bool on) { m_announce = on; }

  int requestDeadlineMs() const { return m_deadlineMs; }

 protected:
  FX::FXint run() override;

 private:
  bool setUp();          // create, bind (falling back to port 0), listen; false: retry later
  void waitAndServe();   // one pass: wait for a connection and answer it
  void serve(int handle);
  void route(CHTTPSocket& conn);
  void closeConnection(CHTTPSocket& conn);  // also forgets it for shutdown()
  void finishPage(CHTTPSocket& conn);       // ends the answer, then the pause after a page
  void pause();          // up to m_pauseMs, ended early by the stop flag
  void linger();         // up to m_lingerMs, ended early by the stop flag
  void sleepUnlessStopped(int ms);

  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_rebind{true};
  std::atomic<bool> m_osSelected{false};
  std::atomic<unsigned> m_setUps{0};
  CSocket m_listen;  // used by the server thread; shutdown() may only call its shutdown()

  mutable std::mutex m_addrLock;
  CNetAddr m_bindAddr{"0.0.0.0", 0};  // guarded by m_addrLock

  std::mutex m_connLock;
  CSocket* m_conn = nullptr;  // the connection being served; guarded by m_connLock

  std::atomic<int> m_pauseMs{5000};
  std::atomic<int> m_lingerMs{1000};
  std::atomic<int> m_deadlineMs{30000};
  std::atomic<int> m_sendTimeoutMs{10000};
  std::atomic<int> m_waitMs{2000};
  std::atomic<bool> m_announce{true};
};

extern CLstConfThread g_confThread;

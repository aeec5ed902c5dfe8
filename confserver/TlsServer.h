#pragma once
// The configuration server's HTTPS listener: a thread of its own that listens on the
// configuration address with the port "ConfTLSPort" of section "System" (0: off), accepts,
// and starts a TLS connection (confserver/ConfConnection.h with a TLS context) per client. The
// connections hand their requests to the same host as the plain port's (the configuration
// thread), so both ports serve the same pages one request at a time.
//
// The certificate comes from "ConfTLSCert" and "ConfTLSKey" (PEM files). When both are empty
// a self-signed certificate for the host name and the configured address is made once, into
// the settings folder (TelvGateTLS.crt, and TelvGateTLS.key with mode 0600). configure()
// loads it again each time, so a replaced file is used from the next connection on.
//
// Threads: configure(), address(), fingerprint() and shutdown() may be called from any
// thread; run() is the listener's own thread, which alone touches the listening socket and
// the connections. Like the plain port, a client can only ever hold its own connection
// thread, at most kMaxConnections of them read at once (the idlest is dropped for a
// newcomer), and a handshake that stalls ends with the request deadline.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/CNetAddr.h"
#include "base/CSocket.h"
#include "platform/Thread.h"
#include "platform/WakePipe.h"

class ConfConnection;
class ConfConnectionHost;
class TlsContext;

class TlsServer : public CThread {
 public:
  static constexpr size_t kMaxConnections = 16;
  // Names of the certificate made for an installation that names none (settings folder).
  static const char* const kSelfSignedCert;  // "TelvGateTLS.crt"
  static const char* const kSelfSignedKey;   // "TelvGateTLS.key"

  explicit TlsServer(ConfConnectionHost& host);
  ~TlsServer() override;  // shuts down first

  // Reads the settings above and loads the certificate (making the self-signed one first when
  // needed); the thread listens on ip with the port from its next loop on. A certificate that
  // cannot be loaded is logged and the one loaded before stays in use; without any, the
  // port is not opened.
  void configure(const std::string& ip);
  // configure() again with the last address (the certificate files may have changed).
  void reload();
  // Stops the thread, dropping every connection, and joins it. Safe when never started.
  void shutdown();

  // Where it listens; port 0 while it does not.
  CNetAddr address() const;
  // SHA-256 fingerprint of the certificate in use ("" when HTTPS is off or has none).
  std::string fingerprint() const;
  // The certificate in use, for the connections (nullptr: none).
  std::shared_ptr<const TlsContext> context() const;
  unsigned setUpCount() const { return m_setUps.load(); }
  void setAnnounce(bool on) { m_announce = on; }  // print the address on standard output
  void setWaitMs(int ms) { m_waitMs = ms; }      // wait for a connection (2 s)

 protected:
  int run() override;

 private:
  void setUp();
  void waitAndAccept();
  void admit(int handle);
  void reap();
  void endConnections();

  ConfConnectionHost& m_host;
  platform::WakePipe m_wake;
  std::atomic<bool> m_stop{false};
  std::atomic<unsigned> m_setUps{0};
  std::atomic<bool> m_announce{true};
  std::atomic<int> m_waitMs{2000};

  mutable std::mutex m_lock;
  std::string m_wantIp = "0.0.0.0";           // guarded by m_lock
  uint16_t m_wantPort = 0;                    // guarded by m_lock
  std::shared_ptr<const TlsContext> m_ctx;    // guarded by m_lock
  CNetAddr m_bound{"0.0.0.0", 0};             // guarded by m_lock
  std::mutex m_configureLock;                 // one configure() at a time

  // Listener thread only.
  CSocket m_listen;
  std::string m_failedSetUp;  // the set-up failure logged last ("" after a success)
  std::vector<std::unique_ptr<ConfConnection>> m_conns;
};

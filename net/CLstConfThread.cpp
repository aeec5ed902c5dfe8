#include "net/CLstConfThread.h"

#include <cstdio>
#include <cstring>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/ConfigAddress.h"
#include "channels/CnlList.h"
#include "net/CHTTPSocket.h"
#include "net/ConfAuth.h"
#include "net/ConfImages.h"
#include "net/ConfPages.h"
#include "net/ConfSubmit.h"
#include "net/StatusPage.h"
#include "net/TextHelpers.h"
#include "platform/Clock.h"
#include "platform/Net.h"

CLstConfThread g_confThread;

namespace {

// Held from closing the old listening socket to the end of listen, so two servers (the product
// has one; tests run a second) never interleave their set-ups. Taken by nothing else.
std::mutex g_setUpLock;

constexpr int kListenBacklog = 2147483647;  // the system caps it at its maximum
const char kSource[] = "System";
const char kRunFunction[] = "CLstConfThread::run";

void logError(const std::string& message) {
  g_logFile.log(CLogFile::Error, kSource, message, kRunFunction);
}

void sendImage(CHTTPSocket& conn, const char* type, const std::string& image) {
  conn.status = 200;
  conn.reason = "OK";
  conn.set_header("Connection:", "close");
  conn.set_header("Content-type:", type);
  if (conn.send_response_head() > 0) sendAll(conn, image);
}

}  // namespace

CLstConfThread::CLstConfThread() = default;

CLstConfThread::~CLstConfThread() { shutdown(); }

bool CLstConfThread::init(const std::string& ip, uint16_t port) {
  m_rebind = false;
  const CNetAddr current = address();
  const std::string newIp =
      ip.empty() ? g_settings.readString("System", "ConfIPAddr", current.ip) : ip;
  const uint16_t newPort =
      port != 0 ? port
                : uint16_t(g_settings.readInt("System", "ConfIPPort", current.port) & 0xFFFF);
  if (!is_valid_ip(newIp)) {
    g_logFile.log(CLogFile::Error, kSource, "Invalid IP address", "CLstConfThread::init");
    return false;
  }
  if (newIp != current.ip || newPort != current.port) {
    {
      std::lock_guard<std::mutex> g(m_addrLock);
      m_bindAddr = CNetAddr(newIp, newPort);
    }
    m_rebind = true;
  }
  return true;
}

void CLstConfThread::shutdown() {
  m_stop = true;
  m_listen.shutdown();
  {
    std::lock_guard<std::mutex> g(m_connLock);
    if (m_conn) m_conn->shutdown();
  }
  join();
}

CNetAddr CLstConfThread::address() {
  std::lock_guard<std::mutex> g(m_addrLock);
  return m_bindAddr;
}

FX::FXint CLstConfThread::run() {
  m_rebind = true;
  while (!m_stop) {
    if (m_rebind) {
      if (!setUp()) pause();
    } else {
      waitAndServe();
    }
  }
  m_listen.close();
  return 0;
}

bool CLstConfThread::setUp() {
  const CNetAddr want = address();
  bool osSelected = false;
  {
    std::unique_lock<std::mutex> lock(g_setUpLock);
    m_listen.close();
    if (m_listen.create() != 0) {
      lock.unlock();
      logError("Unable to create socket descriptor.");
      return false;
    }
    int bindResult = m_listen.bind(want.ip, want.port);
    if (bindResult != 0) {
      std::string why = bindResult > 0 ? std::string(" (") + strerror(bindResult) + ")" : "";
      g_logFile.log(CLogFile::Error, kSource,
                    "Unable to bind the socket descriptor.: ip:port " + want.to_string() + why,
                    kRunFunction);
      // With port 0 configured there is nothing to fall back to; listening on the unbound
      // socket would make the system pick any port on every interface, so give up here.
      if (want.port == 0 || m_listen.bind(want.ip, 0) != 0) {
        m_listen.close();
        lock.unlock();
        logError("Unable to bind the socket descriptor.");
        return false;
      }
      osSelected = true;
    }
    m_rebind = false;
    if (m_listen.listen(kListenBacklog) != 0) {
      m_listen.close();
      lock.unlock();
      logError("Unable to listen on the socket descriptor.");
      m_rebind = true;
      return false;
    }
  }
  CNetAddr bound = m_listen.localAddress();
  if (bound.ip.empty()) bound = want;
  {
    std::lock_guard<std::mutex> g(m_addrLock);
    m_bindAddr = bound;
  }
  m_osSelected = osSelected;
  if (m_announce) {
    announceConfigAddress(bound, osSelected);
    std::printf("TelvGate configuration pages: %s/configure%s\n", configUrl(bound).c_str(),
                osSelected ? " (OS selected port)" : "");
    std::fflush(stdout);
  }
  ++m_setUps;
  return true;
}

void CLstConfThread::waitAndServe() {
  const int ready = platform::waitReadable(m_listen.handle(), int64_t(m_waitMs.load()) * 1000000);
  if (ready == 0 || m_stop) return;
  if (ready < 0) {
    const int err = errno;
    g_logFile.log(CLogFile::Warning, kSource, "::select failed. err=" + std::to_string(err),
                  kRunFunction);
    m_listen.close();
    m_rebind = true;
    pause();
    return;
  }
  const int handle = m_listen.accept(0);
  if (handle < 0) return;  // the peer gave up meanwhile, or the socket was shut down
  serve(handle);
}

void CLstConfThread::serve(int handle) {
  CHTTPSocket conn(handle, true);
  {
    std::lock_guard<std::mutex> g(m_connLock);
    m_conn = &conn;
  }
  conn.setSendTimeout(m_sendTimeoutMs);
  conn.setDeadline(platform::monotonicNs() + uint64_t(m_deadlineMs.load()) * 1000000ull);
  if (!conn.read_request()) {
    closeConnection(conn);
    linger();
  } else {
    // The close sequence takes this lock before it destroys channels, so no page or
    // submission ever works on a channel that is being deleted.
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    route(conn);
  }
  closeConnection(conn);
}

void CLstConfThread::closeConnection(CHTTPSocket& conn) {
  std::lock_guard<std::mutex> g(m_connLock);
  m_conn = nullptr;
  conn.close();
}

void CLstConfThread::route(CHTTPSocket& conn) {
  const std::string& path = conn.path;
  if (path == "/logs") {
    logsAnswer(conn);
    closeConnection(conn);
    linger();
  } else if (path == "/submitConfig") {
    submitConfig(conn, *this);
    finishPage(conn);
  } else if (path == "/img/TELVORA_logo.png") {
    sendImage(conn, "image/png", confLogoImage());
  } else if (path == "/favicon.ico") {
    sendImage(conn, "image/ico", confIconImage());
  } else if (path == "/status") {
    statusPage(conn, address());
    finishPage(conn);
  } else if (check_auth(conn.request_headers)) {
    configurePage(conn);
    finishPage(conn);
  } else {
    sendUnauthorized(conn);
  }
}

void CLstConfThread::finishPage(CHTTPSocket& conn) {
  // The answers carry no length: the end of the stream ends the page. Ending it before the
  // pause lets the browser show the page at once, while the pause still paces the clients.
  conn.shutdown();
  linger();
}

void CLstConfThread::sleepUnlessStopped(int ms) {
  const uint64_t until = platform::monotonicNs() + uint64_t(ms > 0 ? ms : 0) * 1000000ull;
  while (!m_stop) {
    const uint64_t now = platform::monotonicNs();
    if (now >= until) break;
    const uint64_t left = until - now;
    platform::sleepNs(left < 50000000ull ? left : 50000000ull);
  }
}

void CLstConfThread::pause() { sleepUnlessStopped(m_pauseMs); }

void CLstConfThread::linger() { sleepUnlessStopped(m_lingerMs); }

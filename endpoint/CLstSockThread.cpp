#include "endpoint/CLstSockThread.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <iterator>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "endpoint/CHTTPSrvThread.h"
#include "endpoint/CNetVideoCnl.h"
#include "endpoint/EndpointLogin.h"
#include "endpoint/EndpointSettings.h"
#include "platform/Clock.h"
#include "platform/Net.h"

namespace {

constexpr int kListenBacklog = INT_MAX;  // the system caps it at its maximum
const char kRunFunction[] = "CLstSockThread::run";

}  // namespace

CLstSockThread::CLstSockThread(CNetVideoCnl* cnl) : m_cnl(cnl) {}

CLstSockThread::~CLstSockThread() {
  requestStop();
  join();
  joinConnections();
  closeListening();
}

std::string CLstSockThread::source() { return m_cnl->logSource(); }

// ---- Configuration ----

bool CLstSockThread::init() {
  const std::string section = m_cnl->sectionName();
  const int port = readSettingInt(section, endpointsettings::kPort);
  const std::string ip = readSettingText(section, endpointsettings::kAddr);
  if (!is_valid_ip(ip)) {
    g_logFile.log(CLogFile::Warning, source(), "Invalid IP address", "CLstSockThread::init");
    return false;
  }
  const uint16_t port16 = static_cast<uint16_t>(port & 0xFFFF);
  std::lock_guard<std::mutex> g(m_addrLock);
  // Compared with what was configured before, not with the bound address: with port 0 the
  // bound port always differs, and every submission would move the endpoint to a new port.
  // A set-up still pending (a bind that keeps failing) stays pending when nothing changed.
  const bool changed = ip != m_cfgIp || port16 != m_cfgPort;
  if (changed) {
    m_cfgIp = ip;
    m_cfgPort = port16;
    m_addr = CNetAddr(ip, port16);
    m_rebind = true;
  }
  return true;
}

// ---- State shared with other threads ----

void CLstSockThread::requestStop() {
  m_stop = true;
  m_wake.signal();
}

CNetAddr CLstSockThread::localAddr() {
  std::lock_guard<std::mutex> g(m_addrLock);
  return m_bound;
}

CNetAddr CLstSockThread::address() {
  std::lock_guard<std::mutex> g(m_addrLock);
  return m_addr;
}

// ---- The loop ----

int CLstSockThread::run() {
  if (!m_events.ok() || !m_wake.ok() || !m_events.watchReadable(m_wake.readFd(), &m_wake)) {
    g_logFile.log(CLogFile::Error, source(),
                  "Unable to set up the wait for connections: " + std::string(std::strerror(errno)),
                  kRunFunction);
    m_cnl->listEntry().setAddress("Not bound");
    return 0;
  }
  while (!m_stop) {
    if (m_refresh) {
      if (m_rebind && !setUp()) {
        pause();
        continue;
      }
      m_refresh = false;
    }
    serveOnce(int64_t(kWaitMs) * 1000000);
  }
  closeListening();
  m_heads.clear();
  m_waitingCount = 0;
  joinConnections();
  return 0;
}

bool CLstSockThread::setUp() {
  assert(isCurrent() && "the listener's own thread");
  closeListening();
  m_cnl->listEntry().setAddress("Not bound");
  std::string ip;
  uint16_t port;
  {
    std::lock_guard<std::mutex> g(m_addrLock);
    ip = m_cfgIp;
    port = m_cfgPort;
  }
  if (m_stop) return false;
  const int err = m_listen.create();
  if (err != 0) {
    g_logFile.log(CLogFile::Warning, source(), "Unable to create socket descriptor.",
                  kRunFunction);
    m_cnl->listEntry().setAddress("create() failed");
    return false;
  }
  const int bindErr = m_listen.bind(ip, port);
  if (bindErr != 0) {
    g_logFile.log(CLogFile::Warning, source(),
                  "Unable to bind the socket descriptor. err=" + std::to_string(bindErr) +
                      ", ip=" + ip + ":" + std::to_string(port),
                  kRunFunction);
    m_cnl->listEntry().setAddress("bind() failed");
    closeListening();
    return false;
  }
  m_rebind = false;
  const int listenErr = m_listen.listen(kListenBacklog);
  if (listenErr != 0) {
    g_logFile.log(CLogFile::Warning, source(),
                  "Unable to listen on the socket descriptor. err=" + std::to_string(listenErr),
                  kRunFunction);
    m_cnl->listEntry().setAddress("listen() failed");
    m_rebind = true;
    closeListening();
    return false;
  }
  CNetAddr bound = m_listen.localAddress();
  if (bound.ip.empty()) bound = CNetAddr(ip, port);
  {
    std::lock_guard<std::mutex> g(m_addrLock);
    m_addr = bound;
    m_bound = bound;
  }
  m_acceptPausedUntilNs = 0;
  watchListening(true);
  m_cnl->listEntry().setAddress(bound.to_string());
  ++m_setUps;
  return true;
}

void CLstSockThread::serveOnce(int64_t maxWaitNs) {
  waitOnce(maxWaitNs);
  // Ended connection threads first: a complete head waiting for a thread gets the room they
  // leave in this round, not after the next wait (which nothing may cut short).
  reapConnections();
  startReady();
  m_cnl->reapClients();
  m_waitingCount = m_heads.waiting();
}

void CLstSockThread::waitOnce(int64_t maxWaitNs) {
  uint64_t now = platform::monotonicNs();
  if (m_acceptPausedUntilNs != 0 && now >= m_acceptPausedUntilNs) {
    m_acceptPausedUntilNs = 0;
    watchListening(true);
  }
  int64_t waitNs = maxWaitNs;
  auto sooner = [&](uint64_t at) {
    if (at != 0 && at != UINT64_MAX) waitNs = std::min(waitNs, at > now ? int64_t(at - now) : 0);
  };
  sooner(m_heads.expire(now));
  sooner(m_acceptPausedUntilNs);
  // Complete requests wait for a connection thread to end: look again soon.
  if (m_heads.hasReady() && m_connections.size() >= size_t(m_maxConnections.load()))
    sooner(now + kBusyLookNs);
  void* ready[64];
  const int n = m_events.wait(waitNs, ready, 64);
  if (m_stop) return;
  if (n < 0) {
    const int err = errno;
    g_logFile.log(CLogFile::Error, source(), "::select failed. err=" + std::to_string(err),
                  kRunFunction);
    closeListening();
    m_rebind = true;
    m_refresh = true;
    for (int i = 0; i < 20 && !m_stop; ++i) platform::sleepNs(100000000ull);
    return;
  }
  // The waiting heads first: accepting may close one of them to make room, and its tag may
  // be among these.
  bool listenReady = false;
  now = platform::monotonicNs();
  for (int i = 0; i < n; ++i) {
    if (ready[i] == &m_wake)
      m_wake.drain();
    else if (ready[i] == &m_listen)
      listenReady = true;
    else
      m_heads.readable(ready[i], now);
  }
  if (listenReady) acceptWaiting();
}

void CLstSockThread::acceptWaiting() {
  assert(isCurrent() && "the listener's own thread");
  for (int i = 0; i < kAcceptBurst && m_listenWatched && !m_stop; ++i) {
    sockaddr_in peer{};
    int err = 0;
    const int handle = platform::acceptTimed(m_listen.handle(), 0, &peer, &err);
    if (handle >= 0) {
      admit(handle, peer.sin_addr.s_addr);
    } else if (platform::outOfDescriptors(err)) {
      outOfDescriptors(err);
    } else {
      return;  // nothing more waits, or the peer gave up meanwhile
    }
  }
}

void CLstSockThread::admit(int handle, uint32_t peer) {
  assert(isCurrent() && handle >= 0);
  // Every connection being answered may still become a consumer, so it counts against the
  // consumer bound too.
  if (m_cnl->clientCount() + m_connections.size() >= m_maxClients.load()) return refuse(handle);
  // The lowest free number was handed out: every descriptor below the bound is taken.
  if (handle >= platform::connectionDescriptorBound() && !m_heads.dropIdlest()) return refuse(handle);
  m_heads.setLimits(m_maxWaiting.load(), m_waitingShare.load(), m_deadlineMs.load());
  m_heads.admit(handle, peer, platform::monotonicNs());
  m_waitingCount = m_heads.waiting();
  if (m_heads.dropped() != m_droppedLogged) logDrops();
}

void CLstSockThread::outOfDescriptors(int err) {
  // The waiting head idle longest gives its descriptor up for the newcomer (accepted by the
  // next round of the burst); without one, the spare takes the newcomer and closes it; when
  // even that is not possible, the listening socket is left alone for a while, so the loop
  // does not spin on it.
  const bool dropped = m_heads.dropIdlest();
  if (!dropped && platform::shedConnection(m_listen.handle())) {
    ++m_refused;
  } else if (!dropped) {
    watchListening(false);
    m_acceptPausedUntilNs = platform::monotonicNs() + kAcceptPauseNs;
  }
  const uint64_t now = platform::monotonicNs();
  if (m_lastFullLogNs != 0 && now - m_lastFullLogNs < kRefusalLogGapNs) return;
  m_lastFullLogNs = now;
  g_logFile.log(CLogFile::Warning, source(),
                "No descriptor left for a new connection (" + std::string(std::strerror(err)) +
                    "): " + (dropped ? "the waiting request idle longest is closed" : "new connections are closed at once") +
                    ". limit=" + std::to_string(platform::descriptorLimit()) +
                    " refused=" + std::to_string(m_refused.load()),
                kRunFunction);
}

void CLstSockThread::startReady() {
  assert(isCurrent() && "the listener's own thread");
  HeadReader::Ready r;
  while (m_connections.size() < size_t(m_maxConnections.load()) && m_heads.takeReady(&r)) {
    // The time left of the request deadline bounds whatever the thread still reads.
    const uint64_t deadline = r.acceptedNs + uint64_t(m_deadlineMs.load()) * 1000000ull;
    const uint64_t now = platform::monotonicNs();
    const int leftMs = deadline > now ? int((deadline - now) / 1000000) + 1 : 1;
    auto* conn = new CHTTPSrvThread(m_cnl, r.handle, r.head, leftMs);
    if (conn->start(kThreadStackBytes))
      m_connections.push_back(conn);
    else
      delete conn;  // closes the connection
  }
  m_connCount = m_connections.size();
}

void CLstSockThread::refuse(int handle) {
  // Counted and logged before the close, so whoever sees the connection end also sees both.
  ++m_refused;
  const uint64_t now = platform::monotonicNs();
  if (m_lastRefusalLogNs == 0 || now - m_lastRefusalLogNs >= kRefusalLogGapNs) {
    m_lastRefusalLogNs = now;
    g_logFile.log(CLogFile::Warning, source(),
                  "Too many connections, new ones are closed. connections=" +
                      std::to_string(m_connections.size()) + " clients=" +
                      std::to_string(m_cnl->clientCount()) + " refused=" +
                      std::to_string(m_refused.load()),
                  kRunFunction);
  }
  platform::closeSocket(handle);
}

void CLstSockThread::logDrops() {
  m_droppedLogged = m_heads.dropped();
  const uint64_t now = platform::monotonicNs();
  if (m_lastDropLogNs != 0 && now - m_lastDropLogNs < kRefusalLogGapNs) return;
  m_lastDropLogNs = now;
  g_logFile.log(CLogFile::Warning, source(),
                "Too many connections waiting for their request: the one idle longest is "
                "closed. waiting=" + std::to_string(m_heads.waiting()) +
                    " dropped=" + std::to_string(m_droppedLogged),
                kRunFunction);
}

void CLstSockThread::reapConnections() {
  assert(isCurrent() && "the listener's own thread");
  for (auto it = m_connections.begin(); it != m_connections.end();) {
    if (!(*it)->running()) {
      (*it)->join();
      delete *it;
      it = m_connections.erase(it);
    } else {
      ++it;
    }
  }
  m_connCount = m_connections.size();
}

void CLstSockThread::joinConnections() {
  for (CHTTPSrvThread* c : m_connections) c->abort();
  for (CHTTPSrvThread* c : m_connections) {
    c->join();
    delete c;
  }
  m_connections.clear();
  m_connCount = 0;
}

void CLstSockThread::watchListening(bool on) {
  if (on == m_listenWatched || !m_listen.isOpen()) return;
  if (on)
    m_listenWatched = m_events.watchReadable(m_listen.handle(), &m_listen);
  else
    m_events.forget(m_listen.handle());
  if (!on) m_listenWatched = false;
}

void CLstSockThread::closeListening() {
  watchListening(false);
  m_listen.close();
  std::lock_guard<std::mutex> g(m_addrLock);
  m_bound = CNetAddr();
}

void CLstSockThread::pause() {
  // Connections already accepted are still served meanwhile.
  const uint64_t until = platform::monotonicNs() + uint64_t(kPauseRounds) * 1000000000ull;
  for (uint64_t now = platform::monotonicNs(); !m_stop && now < until; now = platform::monotonicNs())
    serveOnce(int64_t(until - now));
}

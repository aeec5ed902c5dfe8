#include "confserver/CLstConfThread.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "base/CHTTPSocket.h"
#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/ConfigAddress.h"
#include "base/ConnectionRoom.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "channels/LiveChannels.h"
#include "confserver/ConfAccess.h"
#include "confserver/ConfAuth.h"
#include "confserver/ConfImages.h"
#include "confserver/ConfPages.h"
#include "confserver/ConfSubmit.h"
#include "confserver/LivePage.h"
#include "confserver/MetricsPage.h"
#include "confserver/SignedLinks.h"
#include "confserver/StatusPage.h"
#include "confserver/TlsPictures.h"
#include "platform/Clock.h"
#include "platform/Net.h"
#include "recordings/RecordingPages.h"

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

// Bind failures of a set-up that keeps failing are logged at most this often.
constexpr uint64_t kBindLogIntervalNs = 60ull * 1000000000ull;

void imageAnswer(const char* type, const std::string& image, ConfAnswer& out) {
  out.set(200, "OK", {{"Connection:", "close"}, {"Content-type:", type}}, image);
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
  m_tls.configure(newIp);
  return true;
}

void CLstConfThread::shutdown() {
  m_stop = true;
  m_wake.signal();
  join();
  m_recJobs.stopAll();
}

CNetAddr CLstConfThread::address() {
  std::lock_guard<std::mutex> g(m_addrLock);
  return m_bindAddr;
}

int CLstConfThread::run() {
  m_rebind = true;
  m_tls.setAnnounce(m_announce);
  if (!m_tls.start()) logError("Unable to start the HTTPS listener thread.");
  while (!m_stop) {
    reapConnections();
    if (m_rebind) {
      if (!setUp()) pause();
    } else if (!processQueued()) {
      waitAndAccept();
    }
  }
  endConnections();
  m_tls.shutdown();  // after endConnections: its queued requests were answered, new ones refused
  m_listen.close();
  return 0;
}

bool CLstConfThread::setUp() {
  const CNetAddr want = address();
  bool osSelected = false;
  const uint64_t now = platform::monotonicNs();
  // A set-up that keeps failing is retried every pause; its lines would flood the log.
  const bool logBind = m_lastBindLogNs == 0 || now - m_lastBindLogNs >= kBindLogIntervalNs;
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
      std::string why = bindResult != EAFNOSUPPORT ? std::string(" (") + strerror(bindResult) + ")" : "";
      if (logBind) {
        m_lastBindLogNs = now;
        g_logFile.log(CLogFile::Error, kSource,
                      "Unable to bind the socket descriptor.: ip:port " + want.to_string() + why,
                      kRunFunction);
      }
      // With port 0 configured there is nothing to fall back to; listening on the unbound
      // socket would make the system pick any port on every interface, so give up here.
      if (want.port == 0 || m_listen.bind(want.ip, 0) != 0) {
        m_listen.close();
        lock.unlock();
        if (logBind) logError("Unable to bind the socket descriptor.");
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
  if (!osSelected) m_lastBindLogNs = 0;
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

void CLstConfThread::waitAndAccept() {
  bool listenReady = false, woken = false;
  const uint64_t now = platform::monotonicNs();
  int64_t waitNs = int64_t(m_waitMs.load()) * 1000000;
  if (m_acceptPausedUntilNs != 0 && now >= m_acceptPausedUntilNs) m_acceptPausedUntilNs = 0;
  if (m_acceptPausedUntilNs != 0) waitNs = std::min(waitNs, int64_t(m_acceptPausedUntilNs - now));
  const int listenFd = m_acceptPausedUntilNs != 0 ? -1 : m_listen.handle();
  const int ready = platform::waitReadableEither(listenFd, m_wake.readFd(), waitNs, &listenReady, &woken);
  if (woken) m_wake.drain();
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
  if (!listenReady) return;
  const int handle = m_listen.accept(0);
  if (handle >= 0) {
    admit(handle);
  } else if (platform::outOfDescriptors(m_listen.lastError())) {
    outOfDescriptors(m_listen.lastError());
  }  // else the peer gave up meanwhile
}

namespace {
RoomEntry roomEntry(const std::unique_ptr<ConfConnection>& c) {
  RoomEntry e;
  e.counts = !c->dropped();
  e.droppable = c->droppable();
  e.idleSinceNs = c->lastActivityNs();
  return e;
}
}  // namespace

void CLstConfThread::admit(int handle) {
  reapConnections();
  auto idlest = entryToDrop(m_conns.begin(), m_conns.end(), 0, kMaxConnections, kMaxConnections, roomEntry);
  if (idlest != m_conns.end()) (*idlest)->drop();
  // Dropped connections end within moments; until they have, newcomers beyond twice the
  // limit are refused outright so threads stay bounded.
  if (m_conns.size() >= 2 * kMaxConnections) {
    CSocket refused(handle);
    return;
  }
  std::unique_ptr<ConfConnection> conn(new ConfConnection(handle, *this));
  if (conn->start()) m_conns.push_back(std::move(conn));
}

void CLstConfThread::outOfDescriptors(int err) {
  // No descriptor for the newcomer. The connection idle longest gives its one up and the
  // newcomer waits in the backlog until that connection has closed; with none to drop, the
  // spare descriptor takes the newcomer and closes it; without a spare, accepting pauses. In
  // no case does the loop spin on a listening socket that stays readable.
  auto idlest = entryToDrop(m_conns.begin(), m_conns.end(), 0, 0, SIZE_MAX, roomEntry);
  const bool dropped = idlest != m_conns.end();
  if (dropped) {
    (*idlest)->drop();
    m_acceptPausedUntilNs = platform::monotonicNs() + kDropPauseNs;
  } else if (!platform::shedConnection(m_listen.handle())) {
    m_acceptPausedUntilNs = platform::monotonicNs() + kAcceptPauseNs;
  }
  const uint64_t now = platform::monotonicNs();
  if (m_lastFullLogNs != 0 && now - m_lastFullLogNs < kBindLogIntervalNs) return;
  m_lastFullLogNs = now;
  g_logFile.log(CLogFile::Warning, kSource,
                "No descriptor left for a new connection (" + std::string(strerror(err)) + "): " +
                    (dropped ? "the connection idle longest is closed" : "new connections are closed at once") +
                    ". limit=" + std::to_string(platform::descriptorLimit()),
                kRunFunction);
}

bool CLstConfThread::enqueue(ConfConnection* conn) {
  {
    std::lock_guard<std::mutex> g(m_queueLock);
    if (m_ending) return false;
    m_queue.push_back(conn);
  }
  m_wake.signal();
  return true;
}

bool CLstConfThread::processQueued() {
  ConfConnection* conn = nullptr;
  {
    std::lock_guard<std::mutex> g(m_queueLock);
    if (m_queue.empty()) return false;
    conn = m_queue.front();
    m_queue.pop_front();
  }
  ConfAnswer answer;
  if (!conn->dropped()) {
    // The close sequence takes this lock before it destroys channels, so no page or
    // submission ever works on a channel that is being deleted. Only the building happens
    // under it; the connection thread sends the answer afterwards.
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    route(*conn, answer);
  }
  countAnswer(answer);
  conn->answer(std::move(answer));
  return true;
}

void CLstConfThread::countAnswer(const ConfAnswer& answer) {
  size_t slot = 5;  // "none"
  if (answer.handOver) {
    slot = 0;  // the job sends its own 200
  } else if (answer.send) {
    // "HTTP/1.x NNN reason": the three digits after the first blank.
    const size_t blank = answer.bytes.find(' ');
    const std::string code = blank == std::string::npos ? "" : answer.bytes.substr(blank + 1, 3);
    slot = 4;
    for (size_t i = 0; i < 4; ++i)
      if (code == kCountedStatuses[i]) slot = i;
  }
  m_requestCounts[slot].fetch_add(1, std::memory_order_relaxed);
}

std::map<std::string, uint64_t> CLstConfThread::requestCounts() const {
  std::map<std::string, uint64_t> out;
  for (size_t i = 0; i < 6; ++i)
    out[kCountedStatuses[i]] = m_requestCounts[i].load(std::memory_order_relaxed);
  return out;
}

void CLstConfThread::route(ConfConnection& c, ConfAnswer& out) {
  CHTTPSocket& conn = c.request();
  const std::string& path = conn.path;
  if (path == "/img/TELVORA_logo.png") return imageAnswer("image/png", confLogoImage(), out);
  if (path == "/favicon.ico") return imageAnswer("image/ico", confIconImage(), out);

  // Credentials are looked at only where a path needs them, so the open pages never count
  // towards the login throttle.
  const ConfNeed need = accessFor(path);
  const bool publicOn = publicStatus();
  bool looked = false;
  ConfRole role = ConfRole::None;
  const auto roleNow = [&] {
    if (!looked) role = login(c);
    looked = true;
    return role;
  };
  // A signed link (without a login) opens the one path it was made for, for its channel, as
  // a viewer would; any other use of it is refused.
  const bool linked = links::carriesLink(conn.query) && !conn.request_headers.count("Authorization:");
  if (linked) {
    const std::string channel = links::linkedChannel(path, conn.query);
    if (!links::validLink(path, channel, conn.query)) return links::refusedAnswer(out);
    role = ConfRole::Viewer;
    looked = true;
  }
  if (!mayOpen(ConfRole::None, need, publicOn)) roleNow();
  if (!mayOpen(role, need, publicOn)) {
    if (role == ConfRole::Viewer) return forbiddenForLoginAnswer(out);
    // The submission says 403 to a cross-site request before it asks for a login.
    if (path != "/submitConfig") return unauthorizedAnswer(out);
  }
  if (redirectToTls(c, out)) return;

  if (path == "/logs") {
    logsAnswer(conn, out);
  } else if (path == "/submitConfig") {
    submitConfig(conn, c.body(), role == ConfRole::Admin, *this, out);
    // A removed channel's recordings streams and exports end with it.
    std::set<std::string> sections;
    for (CVideoCnl* cnl : liveChannels()) sections.insert(cnl->sectionName());
    m_recJobs.keepSections(sections);
  } else if (path == "/img/TELVORA_logo.png") {
    imageAnswer("image/png", confLogoImage(), out);
    return;
  } else if (path == "/favicon.ico") {
    imageAnswer("image/ico", confIconImage(), out);
    return;
  } else if (path == "/live") {
    liveAnswer(conn, out, c.tls());  // lingers after the page only, not after its pictures
    return;
  } else if (path == "/status") {
    statusPage(conn, address(), out, c.tls());
  } else if ((c.tls() || linked) && isTlsPicturePath(path)) {
    channelPictureAnswer(conn, out);
    return;
  } else if (path == "/metrics") {
    // Counted up to the request before this one: this answer is counted once it is built.
    metricsAnswer(requestCounts(), out);
    return;
  } else if (isRecordingsPath(path)) {
    recordingsAnswer(conn, m_recJobs, out);
  } else if (path == "/link") {
    links::linkPageAnswer(conn, c.tls(), out);
  } else if (roleNow() == ConfRole::Admin) {
    configurePage(conn, out);
  } else {
    // Every other path is the configuration page, for administrators only.
    if (role == ConfRole::Viewer) return forbiddenForLoginAnswer(out);
    return unauthorizedAnswer(out);
  }
  out.linger = out.send;
}

bool CLstConfThread::redirectToTls(ConfConnection& c, ConfAnswer& out) {
  CHTTPSocket& conn = c.request();
  const std::string& path = conn.path;
  // Pages only: the log text, the metrics, the pictures and the submission keep answering on
  // the plain port, so scripts and scrapers that use it go on working.
  if (c.tls() || conn.method != HTTP_GET || path == "/logs" || path == "/metrics" ||
      path == "/submitConfig" || !readSettingBool(syssettings::kSection, syssettings::kRedirectToTls))
    return false;
  const unsigned tlsPort = m_tls.address().port;
  return tlsPort != 0 &&
         redirectToTlsAnswer(conn.request_headers, conn.target, conn.localAddress().ip, tlsPort, out);
}

ConfRole CLstConfThread::login(ConfConnection& c) {
  const HeaderMap& headers = c.request().request_headers;
  const uint64_t now = platform::monotonicNs();
  const std::string client = clientAddress(c.peerIp(), headers);
  if (m_throttle.blocked(client, now)) return ConfRole::None;
  const ConfRole role = roleOf(headers);
  // A request without credentials is a browser's first try, not a guess.
  if (role != ConfRole::None || !headers.count("Authorization:")) return role;
  // One line per refused login, always in this form, for intrusion filters reading the log.
  g_logFile.log(CLogFile::Warning, kSource,
                "Failed login from " + client + " for " + http::printable(c.request().path), kRunFunction);
  if (m_throttle.failed(client, now))
    g_logFile.log(CLogFile::Warning, kSource,
                  "Too many failed logins from " + client +
                      "; logins from this address are refused for 60 seconds.",
                  kRunFunction);
  return ConfRole::None;
}

void CLstConfThread::reapConnections() {
  for (auto it = m_conns.begin(); it != m_conns.end();) {
    if ((*it)->running()) {
      ++it;
    } else {
      (*it)->join();
      it = m_conns.erase(it);
    }
  }
}

void CLstConfThread::endConnections() {
  std::deque<ConfConnection*> queued;
  {
    std::lock_guard<std::mutex> g(m_queueLock);
    m_ending = true;
    queued.swap(m_queue);
  }
  for (ConfConnection* c : queued) c->answer(ConfAnswer());
  for (const auto& c : m_conns) c->drop();
  for (const auto& c : m_conns) c->join();
  m_conns.clear();
}

void CLstConfThread::pause() {
  const int ms = m_pauseMs > 0 ? m_pauseMs.load() : 0;
  const uint64_t until = platform::monotonicNs() + uint64_t(ms) * 1000000ull;
  while (!m_stop) {
    if (processQueued()) continue;
    const uint64_t now = platform::monotonicNs();
    if (now >= until) break;
    bool unused = false, woken = false;
    platform::waitReadableEither(-1, m_wake.readFd(), int64_t(until - now), &unused, &woken);
    if (woken) m_wake.drain();
  }
}

#include "rtsp/RtspServer.h"

#include <cerrno>
#include <cstring>

#include "base/CLogFile.h"
#include "platform/Clock.h"
#include "rtsp/RtspConnection.h"
#include "rtsp/RtspFeed.h"

namespace {
const char kLogSource[] = "RTSP";
}  // namespace

RtspServer::RtspServer(RtspChannels& channels, OnvifCredentials& logins) : m_channels(channels), m_logins(logins) {}

RtspServer::~RtspServer() { end(); }

bool RtspServer::begin(const RtspConfig& config, std::string* error) {
  end();
  m_config = config;
  m_stop = false;
  if (!listenOrSystemPort(m_listen, config.address, config.port, 128, kLogSource, "RtspServer::begin", error)) return false;
  m_bound = m_listen.localAddress();
  if (!start()) {
    *error = "no thread";
    m_listen.close();
    return false;
  }
  m_begun = true;
  g_logFile.log(CLogFile::Info, kLogSource,
                "Streams on rtsp://" + m_bound.to_string() + "/<channel>" + (config.auth ? "" : " without login"),
                "RtspServer::begin");
  return true;
}

void RtspServer::end() {
  if (!m_begun) return;
  m_begun = false;
  m_stop = true;
  m_listen.shutdown();
  join();
  reapConnections(true);
  {
    std::lock_guard<std::mutex> guard(m_feedLock);
    m_feeds.clear();  // each stops and joins its thread, which ends its sessions
  }
  {
    std::lock_guard<std::mutex> guard(m_sessionLock);
    m_sessions.clear();
  }
  m_listen.close();
  m_bound = CNetAddr();
}

onvifauth::Check RtspServer::checkLogin(const std::string& authorization, const std::string& method,
                                        const std::string& uri, int64_t nowSec) {
  return m_digest.check(authorization, method, uri, m_logins, nowSec);
}

bool RtspServer::addSession(const std::shared_ptr<RtspSession>& session) {
  std::lock_guard<std::mutex> guard(m_sessionLock);
  size_t viewers = 0;
  for (const auto& e : m_sessions)
    if (e.second->tag == session->tag && !e.second->ended.load()) ++viewers;
  if (viewers >= m_config.maxViewersPerChannel) return false;
  session->touch();
  m_sessions[session->id] = session;
  return true;
}

std::shared_ptr<RtspSession> RtspServer::findSession(const std::string& id) {
  std::lock_guard<std::mutex> guard(m_sessionLock);
  auto it = m_sessions.find(id);
  if (it == m_sessions.end() || it->second->ended.load()) return nullptr;
  return it->second;
}

void RtspServer::endSession(const std::shared_ptr<RtspSession>& session) {
  session->ended = true;
  std::lock_guard<std::mutex> guard(m_sessionLock);
  m_sessions.erase(session->id);
}

size_t RtspServer::sessionCount() {
  std::lock_guard<std::mutex> guard(m_sessionLock);
  return m_sessions.size();
}

bool RtspServer::play(const std::shared_ptr<RtspSession>& session, const std::string& firstAnswer) {
  std::lock_guard<std::mutex> guard(m_feedLock);
  std::unique_ptr<RtspFeed>& feed = m_feeds[session->tag];
  if (feed && feed->ended()) feed.reset();
  if (!feed) {
    feed.reset(new RtspFeed(*this, m_channels, session->tag));
    if (!feed->begin()) {
      feed.reset();
      m_feeds.erase(session->tag);
      if (session->output) session->output->release();
      return false;
    }
  }
  if (session->output) session->output->handOver(feed.get(), firstAnswer);
  if (!feed->attach(session)) {
    if (session->output) session->output->release();
    return false;
  }
  session->attached = true;
  return true;
}

RtspServer::Identity RtspServer::identity(const std::string& tag) {
  std::lock_guard<std::mutex> guard(m_sessionLock);
  auto it = m_identities.find(tag);
  if (it == m_identities.end()) {
    const uint64_t bits = randomBits();
    it = m_identities.emplace(tag, Identity{static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)}).first;
  }
  return it->second;
}

bool RtspServer::mayLogRefusal() {
  const uint64_t now = platform::monotonicNs();
  uint64_t last = m_lastRefusalLogNs.load();
  if (last != 0 && now - last < kRefusalLogGapNs) return false;
  return m_lastRefusalLogNs.compare_exchange_strong(last, now);
}

void RtspServer::pictureRefused(const std::string& tag, const std::string& why) {
  uint64_t count;
  {
    std::lock_guard<std::mutex> guard(m_sessionLock);
    count = ++m_refused[tag];
  }
  if (count == 1)
    g_logFile.log(CLogFile::Warning, kLogSource,
                  "Pictures of " + tag + " cannot be streamed as RTP/JPEG (" + why + "); they are not sent",
                  "RtspFeed::makePicture");
}

uint64_t RtspServer::refusedPictures(const std::string& tag) {
  std::lock_guard<std::mutex> guard(m_sessionLock);
  auto it = m_refused.find(tag);
  return it == m_refused.end() ? 0 : it->second;
}

void RtspServer::sweep() {
  const uint64_t now = platform::monotonicNs();
  std::vector<std::shared_ptr<RtspSession>> timedOut;
  {
    std::lock_guard<std::mutex> guard(m_sessionLock);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
      RtspSession& s = *it->second;
      const uint64_t seen = s.lastSeenNs.load();
      if (!s.ended.load() && now > seen && now - seen > m_config.sessionTimeoutNs) {
        s.ended = true;
        timedOut.push_back(it->second);
      }
      if (s.ended.load())
        it = m_sessions.erase(it);
      else
        ++it;
    }
  }
  for (const auto& s : timedOut)
    g_logFile.log(CLogFile::Info, kLogSource, "Session " + s->id + " of " + s->tag + " timed out", "RtspServer::sweep");
  // Feeds whose sessions all ended stop here; they are made again for the next session.
  std::lock_guard<std::mutex> guard(m_feedLock);
  for (auto it = m_feeds.begin(); it != m_feeds.end();) {
    if (!it->second || it->second->ended() || it->second->viewerCount() == 0)
      it = m_feeds.erase(it);
    else
      ++it;
  }
}

void RtspServer::reapConnections(bool all) {
  for (auto it = m_connections.begin(); it != m_connections.end();) {
    if (all) (*it)->stop();
    if (all || !(*it)->running()) {
      (*it)->join();
      it = m_connections.erase(it);
    } else {
      ++it;
    }
  }
}

void RtspServer::accept(int fd) {
  if (m_connections.size() >= static_cast<size_t>(m_config.maxConnections)) {
    // Full: the oldest connection that holds no session makes room; when every one holds a
    // session, the new one is closed at once.
    RtspConnection* idle = nullptr;
    for (const auto& c : m_connections)
      if (c->idle()) {
        idle = c.get();
        break;
      }
    if (!idle) {
      CSocket refused(fd);
      return;
    }
    idle->stop();
  }
  std::unique_ptr<RtspConnection> c(new RtspConnection(*this, fd));
  if (c->start(RtspConnection::kStackBytes)) m_connections.push_back(std::move(c));
}

int RtspServer::run() {
  uint64_t nextSweep = 0;
  while (!m_stop) {
    const int fd = m_listen.accept(kAcceptWaitMs);
    const uint64_t now = platform::monotonicNs();
    if (now >= nextSweep) {
      reapConnections(false);
      sweep();
      nextSweep = now + uint64_t(kAcceptWaitMs) * 1000000ull;
    }
    if (fd >= 0) {
      accept(fd);
    } else if (m_listen.lastError() != ETIMEDOUT && m_listen.lastError() != EINTR && !m_stop) {
      platform::sleepMs(100);
    }
  }
  return 0;
}

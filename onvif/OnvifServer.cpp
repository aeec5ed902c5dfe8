#include "onvif/OnvifServer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/CHTTPSocket.h"
#include "base/CLogFile.h"
#include "onvif/OnvifPtz.h"
#include "onvif/OnvifSoap.h"
#include "onvif/WsDiscovery.h"
#include "onvif/XmlDoc.h"
#include "platform/Clock.h"

namespace {

const char kLogSource[] = "ONVIF";

// Preset names kept for the life of the process.
class MemoryPresets : public OnvifPresetStore {
 public:
  std::map<int, std::string> presets(const std::string& tag) override {
    std::lock_guard<std::mutex> g(m_lock);
    return m_names[tag];
  }
  void storePresets(const std::string& tag, const std::map<int, std::string>& p) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_names[tag] = p;
  }

 private:
  std::mutex m_lock;
  std::map<std::string, std::map<int, std::string>> m_names;
};

OnvifResponse plain(int status, const char* reason, const std::string& text) {
  OnvifResponse r;
  r.status = status;
  r.reason = reason;
  r.headers["Content-Type:"] = "text/plain";
  r.body = text + "\n";
  return r;
}

// "Content-Length:" value: digits only, else -1.
long contentLength(const std::string& v) {
  if (v.empty() || v.size() > 9) return -1;
  long n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string headerOf(const std::map<std::string, std::string>& h, const char* name) {
  const std::string* v = http::findHeader(h, name);
  return v ? *v : "";
}

}  // namespace

// One client connection: reads the request, has the server answer it, sends the answer.
class OnvifConnection : public CThread {
 public:
  OnvifConnection(OnvifServer& server, int fd) : m_server(server), m_conn(fd, true) {}
  void stop() { m_conn.shutdown(); }  // any thread; CSocket keeps it off a reused fd
  // True until its whole request has arrived.
  bool waiting() const { return m_waiting.load(); }

 protected:
  int run() override {
    serve();
    m_conn.close();
    return 0;
  }

 private:
  void serve() {
    m_conn.setReadAhead(true);
    m_conn.setDeadline(platform::monotonicNs() + OnvifServer::kRequestDeadlineNs);
    m_conn.setSendTimeout(OnvifServer::kSendTimeoutMs);
    if (!m_conn.read_request()) return;  // nothing readable: dropped without an answer
    OnvifRequest r;
    r.method = m_conn.method == HTTP_POST ? "POST" : "GET";
    r.path = m_conn.path;
    r.headers = m_conn.request_headers;
    r.local = m_conn.localAddress();
    if (!readBody(&r)) return;
    m_waiting = false;
    send(m_server.answer(r));
  }

  // False when an answer was sent instead (or nothing can be).
  bool readBody(OnvifRequest* r) {
    if (!headerOf(r->headers, "Transfer-Encoding:").empty()) {
      send(plain(411, "Length Required", "Send the body with a Content-Length"));
      return false;
    }
    const std::string lengthText = headerOf(r->headers, "Content-Length:");
    if (lengthText.empty()) return true;
    const long len = contentLength(lengthText);
    if (len < 0) {
      send(plain(400, "Bad Request", "Content-Length is no number"));
      return false;
    }
    if (static_cast<size_t>(len) > onvifxml::kMaxMessageBytes) {
      send(plain(413, "Payload Too Large", "At most " + std::to_string(onvifxml::kMaxMessageBytes) + " bytes"));
      return false;
    }
    if (headerOf(r->headers, "Expect:") == "100-continue" && len > 0) {
      const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      if (m_conn.send(kContinue, sizeof kContinue - 1) != int(sizeof kContinue - 1)) return false;
    }
    r->body.resize(static_cast<size_t>(len));
    return len == 0 || m_conn.recv_all(&r->body[0], r->body.size(), 5, 0) == len;
  }

  void send(const OnvifResponse& a) {
    std::map<std::string, std::string> headers = a.headers;
    const size_t pictureLen = a.picture ? a.picture->length : 0;
    headers["Content-Length:"] = std::to_string(a.body.size() + pictureLen);
    headers["Connection:"] = "close";
    const std::string head = http::buildResponseHead(a.status, a.reason, headers);
    // Head and body in one gathering send: a client reading the head with one receive finds
    // all of it there.
    iovec parts[3] = {{const_cast<char*>(head.data()), head.size()},
                      {const_cast<char*>(a.body.data()), a.body.size()},
                      {a.picture ? a.picture->data.get() : nullptr, pictureLen}};
    const size_t total = head.size() + a.body.size() + pictureLen;
    size_t sent = 0;
    int first = 0;
    while (sent < total) {
      const int n = m_conn.sendv(parts + first, 3 - first);
      if (n <= 0) return;  // the client is gone, or took nothing for kSendTimeoutMs
      sent += static_cast<size_t>(n);
      size_t left = static_cast<size_t>(n);
      while (first < 3 && left >= parts[first].iov_len) left -= parts[first++].iov_len;
      if (first < 3) {
        parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
        parts[first].iov_len -= left;
      }
    }
  }

  OnvifServer& m_server;
  std::atomic<bool> m_waiting{true};
  CHTTPSocket m_conn;
};
OnvifServer::OnvifServer(OnvifChannelSource& channels, OnvifCredentials& logins, OnvifPresetStore* presets)
    : m_channels(channels), m_logins(logins), m_presets(presets) {
  if (!m_presets) {
    m_ownPresets.reset(new MemoryPresets);
    m_presets = m_ownPresets.get();
  }
}

OnvifServer::~OnvifServer() { end(); }

CNetAddr OnvifServer::address() const { return m_bound; }

bool OnvifServer::begin(const OnvifConfig& config, std::string* error) {
  end();
  onvifxml::initXmlParser();
  m_config = config;
  m_uuid = deviceUuidFor(config.deviceSeed);
  m_stop = false;
  if (!listenOrSystemPort(m_listen, config.address, config.port, 64, kLogSource, "OnvifServer::begin", error)) return false;
  m_bound = m_listen.localAddress();
  m_ptz.reset(new OnvifPtz(config.deadManNs));
  if (!m_ptz->begin() || !start()) {
    *error = "no thread";
    m_ptz.reset();
    m_listen.close();
    return false;
  }
  m_begun = true;
  if (config.discovery) {
    bool withPtz = false;
    for (const OnvifChannel& ch : m_channels.channels()) withPtz = withPtz || hasHead(ch);
    WsdIdentity id;
    id.endpoint = m_uuid;
    id.scopes = deviceScopes(withPtz);
    id.httpPort = m_bound.port;
    id.instanceId = static_cast<uint32_t>(std::time(nullptr));
    m_discovery.reset(new WsDiscovery(config.address, id));
    std::string why;
    if (!m_discovery->begin(&why)) {
      g_logFile.log(CLogFile::Warning, kLogSource, "No discovery: " + why, "OnvifServer::begin");
      m_discovery.reset();
    }
  }
  g_logFile.log(CLogFile::Info, kLogSource,
                "Device service on http://" + m_bound.to_string() + kDevicePath + (m_discovery ? ", discoverable" : ""),
                "OnvifServer::begin");
  return true;
}

void OnvifServer::end() {
  if (!m_begun) return;
  m_begun = false;
  if (m_discovery) m_discovery->end();
  m_discovery.reset();
  m_stop = true;
  m_listen.shutdown();
  join();
  reapConnections(true);
  m_listen.close();
  m_ptz->end();
  m_ptz.reset();
  m_bound = CNetAddr();
}

void OnvifServer::reapConnections(bool all) {
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

int OnvifServer::run() {
  while (!m_stop) {
    const int fd = m_listen.accept(500);
    reapConnections(false);
    if (fd < 0) {
      if (m_listen.lastError() != ETIMEDOUT && m_listen.lastError() != EINTR && !m_stop) platform::sleepMs(100);
      continue;
    }
    if (m_connections.size() >= static_cast<size_t>(kMaxConnections)) {
      // Full: the connection that has waited longest for its request makes room (clients that
      // open connections and send nothing cannot keep the others out); when every one is
      // being answered, the new one is closed at once.
      auto oldest = std::find_if(m_connections.begin(), m_connections.end(),
                                 [](const std::unique_ptr<OnvifConnection>& c) { return c->waiting(); });
      if (oldest == m_connections.end()) {
        CSocket refused(fd);
        continue;
      }
      (*oldest)->stop();
    }
    std::unique_ptr<OnvifConnection> c(new OnvifConnection(*this, fd));
    if (c->start()) m_connections.push_back(std::move(c));
  }
  return 0;
}

OnvifResponse OnvifServer::answer(const OnvifRequest& r) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (r.path.compare(0, std::strlen(kSnapshotPrefix), kSnapshotPrefix) == 0) {
    if (r.method != "GET") return plain(405, "Method Not Allowed", "Pictures are fetched with GET");
    return snapshot(r, now);
  }
  if (r.path != kDevicePath && r.path != kMediaPath && r.path != kPtzPath)
    return plain(404, "Not Found", "No service at " + r.path);
  if (r.method != "POST") return plain(405, "Method Not Allowed", "SOAP requests are sent with POST");
  OnvifContext c{m_config,
                 m_channels,
                 m_logins,
                 *m_ptz,
                 m_presets,
                 m_uuid,
                 r.local.ip.empty() ? m_config.address : r.local.ip,
                 r.local.port ? r.local.port : m_bound.port,
                 now,
                 OnvifRole::None};
  const onvifauth::Check digest = m_digest.check(headerOf(r.headers, "Authorization:"), "POST", r.path, m_logins, now);
  SoapAnswer soap = answerSoap(r.body.data(), r.body.size(), digest, c);
  OnvifResponse out;
  out.status = soap.status;
  out.reason = soap.status == 200 ? "OK" : soap.status == 400 ? "Bad Request" : soap.status == 401 ? "Unauthorized"
                                                                                                   : "Internal Server Error";
  out.headers["Content-Type:"] = "application/soap+xml; charset=utf-8";
  if (soap.askLogin) out.headers["WWW-Authenticate:"] = m_digest.challenge(now, digest.stale);
  out.body = std::move(soap.body);
  return out;
}

OnvifResponse OnvifServer::snapshot(const OnvifRequest& r, int64_t now) {
  const onvifauth::Check login = m_digest.check(headerOf(r.headers, "Authorization:"), "GET", r.path, m_logins, now);
  if (login.result != onvifauth::Check::Accepted) {
    OnvifResponse a = plain(401, "Unauthorized", "Log in with HTTP Digest");
    a.headers["WWW-Authenticate:"] = m_digest.challenge(now, login.stale);
    return a;
  }
  std::string tag = r.path.substr(std::strlen(kSnapshotPrefix));
  if (tag.size() < 5 || tag.compare(tag.size() - 4, 4, ".jpg") != 0) return plain(404, "Not Found", "No such picture");
  tag.resize(tag.size() - 4);
  OnvifResponse a;
  if (!m_channels.currentPicture(tag, &a.picture) || !a.picture || a.picture->length == 0)
    return plain(503, "Service Unavailable", "The channel has no picture now");
  a.headers["Content-Type:"] = "image/jpeg";
  a.headers["Cache-Control:"] = "private,no-cache,no-store";
  return a;
}

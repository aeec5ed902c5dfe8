#include "confserver/TlsServer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/TlsContext.h"
#include "confserver/ConfConnection.h"
#include "platform/Files.h"
#include "platform/HostInfo.h"
#include "platform/Net.h"

const char* const TlsServer::kSelfSignedCert = "TelvGateTLS.crt";
const char* const TlsServer::kSelfSignedKey = "TelvGateTLS.key";

namespace {

const char kSource[] = "System";
const char kFunction[] = "TlsServer::run";
constexpr int kBacklog = 128;
// Wait after an accept that failed for want of descriptors: the pending connection keeps the
// socket readable, and retrying at once would spin.
constexpr int64_t kOutOfDescriptorsWaitNs = 200000000;

void logAt(int level, const std::string& message, const char* function = kFunction) {
  g_logFile.log(level, kSource, message, function);
}

std::string settingsFolder() {
  const std::string file = CSettings::storagePath();
  return file.substr(0, file.rfind('/'));
}

// The names the self-signed certificate is made for: the host name, and the configured
// address, or for all interfaces every address of this host and the loopback names.
void certificateNames(const std::string& ip, std::vector<std::string>& names, std::vector<std::string>& ips) {
  const std::string host = platform::hostName();
  if (!host.empty()) names.push_back(host);
  if (!ip.empty() && ip != "0.0.0.0") {
    ips.push_back(ip);
    return;
  }
  names.push_back("localhost");
  for (const platform::NetInterface& i : platform::ipv4Interfaces()) {
    const std::string text = platform::ipText(i.address);
    bool known = false;
    for (const std::string& have : ips) known = known || have == text;
    if (!known) ips.push_back(text);
  }
  if (ips.empty()) ips.push_back("127.0.0.1");
}

// The certificate the settings name, or the self-signed one (made when missing). Failures
// are logged; nullptr then.
std::shared_ptr<const TlsContext> loadCertificate(const std::string& ip, const std::string& previousFp) {
  const char* const kConfigure = "TlsServer::configure";
  std::string cert = readSettingText(syssettings::kSection, syssettings::kTlsCert);
  std::string key = readSettingText(syssettings::kSection, syssettings::kTlsKey);
  if (cert.empty() != key.empty()) {
    logAt(CLogFile::Error, "HTTPS needs both ConfTLSCert and ConfTLSKey, or neither (a self-signed "
                           "certificate is then made).", kConfigure);
    return nullptr;
  }
  if (cert.empty()) {
    const std::string dir = settingsFolder();
    cert = dir + "/" + TlsServer::kSelfSignedCert;
    key = dir + "/" + TlsServer::kSelfSignedKey;
    if (platform::fileMode(cert) < 0 || platform::fileMode(key) < 0) {
      std::vector<std::string> names, ips;
      certificateNames(ip, names, ips);
      platform::makeOwnerOnlyDir(dir.substr(0, dir.rfind('/')), false);
      platform::makeOwnerOnlyDir(dir, false);
      std::string error;
      if (!makeSelfSigned(cert, key, names, ips, &error)) {
        logAt(CLogFile::Error, "Unable to make a self-signed HTTPS certificate: " + error, kConfigure);
        return nullptr;
      }
      std::string all;
      for (const std::string& n : names) all += (all.empty() ? "" : ", ") + n;
      for (const std::string& n : ips) all += (all.empty() ? "" : ", ") + n;
      logAt(CLogFile::Info, "Made a self-signed HTTPS certificate for " + all + ": " + cert, kConfigure);
    }
  }
  std::string error;
  std::shared_ptr<const TlsContext> ctx = TlsContext::load(cert, key, &error);
  if (!ctx) {
    logAt(CLogFile::Error, "HTTPS certificate not loaded: " + error, kConfigure);
    return nullptr;
  }
  if (ctx->fingerprint() != previousFp)
    logAt(CLogFile::Info, "HTTPS certificate " + cert + ", SHA-256 " + ctx->fingerprint(), kConfigure);
  return ctx;
}

}  // namespace

TlsServer::TlsServer(ConfConnectionHost& host) : m_host(host) {}

TlsServer::~TlsServer() { shutdown(); }

void TlsServer::configure(const std::string& ip) {
  std::lock_guard<std::mutex> once(m_configureLock);
  const uint16_t want = syssettings::readPort(syssettings::kTlsPort, "TlsServer::configure");
  std::shared_ptr<const TlsContext> ctx = want != 0 ? loadCertificate(ip, fingerprint()) : nullptr;
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_wantIp = ip;
    m_wantPort = want;
    if (want == 0) m_ctx.reset();
    else if (ctx) m_ctx = ctx;
  }
  m_wake.signal();
}

void TlsServer::reload() {
  std::string ip;
  {
    std::lock_guard<std::mutex> g(m_lock);
    ip = m_wantIp;
  }
  configure(ip);
}

void TlsServer::shutdown() {
  m_stop = true;
  m_wake.signal();
  join();
}

CNetAddr TlsServer::address() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_bound;
}

std::string TlsServer::fingerprint() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_ctx ? m_ctx->fingerprint() : std::string();
}

std::shared_ptr<const TlsContext> TlsServer::context() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_ctx;
}

int TlsServer::run() {
  while (!m_stop) {
    reap();
    setUp();
    waitAndAccept();
  }
  endConnections();
  m_listen.close();
  std::lock_guard<std::mutex> g(m_lock);
  m_bound.port = 0;
  return 0;
}

void TlsServer::setUp() {
  std::string ip;
  uint16_t port;
  bool haveCertificate;
  {
    std::lock_guard<std::mutex> g(m_lock);
    ip = m_wantIp;
    port = m_wantPort;
    haveCertificate = m_ctx != nullptr;
    const bool listening = m_listen.isOpen();
    if (listening ? m_bound.ip == ip && m_bound.port == port : port == 0 || !haveCertificate) return;
    m_bound = CNetAddr(ip, 0);
  }
  m_listen.close();
  if (port == 0 || !haveCertificate) return;
  const CNetAddr want(ip, port);
  int err = m_listen.create();
  if (err == 0) err = m_listen.bind(ip, port);
  if (err == 0) err = m_listen.listen(kBacklog);
  if (err != 0) {
    m_listen.close();
    // Retried at every loop: logged once until the reason changes or a set-up succeeds.
    const std::string why = "Unable to listen for HTTPS on " + want.to_string() + " (" +
                            (err != EAFNOSUPPORT ? strerror(err) : "not an IPv4 address") + ")";
    if (why != m_failedSetUp) logAt(CLogFile::Error, why);
    m_failedSetUp = why;
    return;
  }
  m_failedSetUp.clear();
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_bound = want;
  }
  ++m_setUps;
  if (m_announce) {
    std::printf("TelvGate HTTPS pages: https://%s/configure (certificate SHA-256 %s)\n",
                want.to_string().c_str(), fingerprint().c_str());
    std::fflush(stdout);
  }
}

void TlsServer::waitAndAccept() {
  bool listenReady = false, woken = false;
  const int ready = platform::waitReadableEither(m_listen.isOpen() ? m_listen.handle() : -1, m_wake.readFd(),
                                                 int64_t(m_waitMs.load()) * 1000000, &listenReady, &woken);
  if (woken) m_wake.drain();
  if (ready <= 0 || !listenReady || m_stop) return;
  const int handle = m_listen.accept(0);
  if (handle >= 0) return admit(handle);
  const int err = m_listen.lastError();
  if (err == EMFILE || err == ENFILE) {
    bool unused = false;
    platform::waitReadableEither(-1, m_wake.readFd(), kOutOfDescriptorsWaitNs, &unused, &woken);
  }
}

void TlsServer::admit(int handle) {
  reap();
  std::shared_ptr<const TlsContext> ctx = context();
  size_t active = 0;
  ConfConnection* idlest = nullptr;
  for (const auto& c : m_conns) {
    if (c->dropped()) continue;
    ++active;
    if (c->droppable() && (!idlest || c->lastActivityNs() < idlest->lastActivityNs())) idlest = c.get();
  }
  if (active >= kMaxConnections && idlest) idlest->drop();
  // As on the plain port: dropped connections end within moments, newcomers beyond twice the
  // limit are refused until they have.
  if (!ctx || m_conns.size() >= 2 * kMaxConnections) {
    CSocket refused(handle);
    return;
  }
  std::unique_ptr<ConfConnection> conn(new ConfConnection(handle, m_host, ctx));
  if (conn->start()) m_conns.push_back(std::move(conn));
}

void TlsServer::reap() {
  for (auto it = m_conns.begin(); it != m_conns.end();) {
    if ((*it)->running()) {
      ++it;
    } else {
      (*it)->join();
      it = m_conns.erase(it);
    }
  }
}

void TlsServer::endConnections() {
  for (const auto& c : m_conns) c->drop();
  for (const auto& c : m_conns) c->join();
  m_conns.clear();
}

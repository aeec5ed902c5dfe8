#include "net/CLstSockThread.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "net/CHTTPSrvThread.h"
#include "net/CNetVideoCnl.h"
#include "net/TextHelpers.h"
#include "platform/Clock.h"
#include "platform/Net.h"

namespace {

constexpr int kListenBacklog = INT_MAX;  // the system caps it at its maximum
const char kRunFunction[] = "CLstSockThread::run";
const char kAddrLabel[] = "Channel IP address";

// Decimal integer as the form handlers read it: leading blanks and a sign allowed, trailing
// text ignored, at least one digit and no overflow.
bool parseLong(const std::string& text, long* out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE) return false;
  *out = v;
  return true;
}

const std::string* field(const FormFields& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : &it->second;
}

std::string textInput(const std::string& name, const std::string& value, int maxLength,
                      int widthPx) {
  return "<INPUT type=text name=\"" + name + "\" id=\"" + name + "\" maxlength=" +
         std::to_string(maxLength) + " style=\"width:" + std::to_string(widthPx) +
         "px\" value=\"" + html_escape(value) + "\">";
}

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
  const int port = g_settings.readInt(section, "CnlIPPort", 0);
  const std::string ip = g_settings.readString(section, "CnlIPAddr", "0.0.0.0");
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

bool CLstSockThread::update(const FormFields& fields, std::string& html) {
  const std::string prefix = m_cnl->fieldPrefix();
  const std::string section = m_cnl->sectionName();
  if (const std::string* v = field(fields, prefix + "CnlIPAddr")) {
    if (!is_valid_ip(*v)) {
      html += std::string("<P class=warn>The <EM>") + kAddrLabel +
              "</EM> parameter must be a valid IP address. (IP:Port)</P>";
    } else if (!g_settings.existingEntry(section, "CnlIPAddr") ||
               g_settings.readString(section, "CnlIPAddr", "0.0.0.0") != *v) {
      html += std::string("<P class=upd>Updated the <EM>") + kAddrLabel + "</EM> value to IP " +
              html_escape(*v) + "</P>";
      g_settings.writeString(section, "CnlIPAddr", *v);
    }
  }
  if (const std::string* v = field(fields, prefix + "CnlIPPort")) {
    long number = 0;
    if (!parseLong(*v, &number) || static_cast<unsigned long>(number) > 65535ul) {
      html += std::string("<P class=warn>The <EM>") + kAddrLabel +
              "</EM> parameter must have a valid port number (port<=65535).</P>";
    } else if (!g_settings.existingEntry(section, "CnlIPPort") ||
               g_settings.readInt(section, "CnlIPPort", 0) != number) {
      g_settings.writeInt(section, "CnlIPPort", static_cast<int>(number));
      html += std::string("<P class=upd>Updated the <EM>") + kAddrLabel + "</EM> value to port " +
              std::to_string(number) + "</P>";
    }
  }
  return true;
}

void CLstSockThread::formRow(std::string& html) {
  const std::string prefix = m_cnl->fieldPrefix();
  const std::string section = m_cnl->sectionName();
  const int port = g_settings.readInt(section, "CnlIPPort", 0);
  std::string cell =
      textInput(prefix + "CnlIPAddr", g_settings.readString(section, "CnlIPAddr", "0.0.0.0"), 70,
                150) +
      " : " + textInput(prefix + "CnlIPPort", std::to_string(port), 10, 50);
  const CNetAddr bound = localAddr();
  if (bound.ip.empty()) {
    cell += "&nbsp;&nbsp;[not bound]";
  } else if (bound.port != port) {
    cell += "&nbsp;&nbsp;[" + std::to_string(bound.port) + "]";
  }
  html += "<TABLE rules=none frame=void><COLGROUP><COL width=200><COL width=500></COLGROUP>\n";
  html += std::string("<TR><TD><LABEL for=\"") + prefix + "CnlIPAddr\">" + kAddrLabel +
          "</LABEL></TD><TD>" + cell + "</TD></TR>\n</TABLE>\n";
}

// ---- State shared with other threads ----

void CLstSockThread::requestStop() {
  m_stop = true;
  // A shutdown, not a close: closing a socket another thread polls does not wake the poll,
  // and the number could be reused at once. The loop closes it itself.
  std::lock_guard<std::mutex> g(m_sockLock);
  if (m_listen.isOpen()) m_listen.shutdown();
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

FX::FXint CLstSockThread::run() {
  while (!m_stop) {
    if (m_refresh) {
      if (m_rebind && !setUp()) {
        pause();
        continue;
      }
      m_refresh = false;
    }
    waitAndAccept();
    reapConnections();
    m_cnl->reapClients();
  }
  closeListening();
  joinConnections();
  return 0;
}

bool CLstSockThread::setUp() {
  closeListening();
  m_cnl->listEntry().setAddress("Not bound");
  std::string ip;
  uint16_t port;
  {
    std::lock_guard<std::mutex> g(m_addrLock);
    ip = m_cfgIp;
    port = m_cfgPort;
  }
  {
    std::lock_guard<std::mutex> g(m_sockLock);
    if (m_stop) return false;
    const int err = m_listen.create();
    if (err != 0) {
      g_logFile.log(CLogFile::Warning, source(), "Unable to create socket descriptor.",
                    kRunFunction);
      m_cnl->listEntry().setAddress("create() failed");
      return false;
    }
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
  m_cnl->listEntry().setAddress(bound.to_string());
  ++m_setUps;
  return true;
}

void CLstSockThread::waitAndAccept() {
  const int ready = platform::waitReadable(m_listen.handle(), int64_t(kWaitMs) * 1000000);
  if (ready == 0 || m_stop) return;
  if (ready < 0) {
    const int err = errno;
    g_logFile.log(CLogFile::Error, source(), "::select failed. err=" + std::to_string(err),
                  kRunFunction);
    closeListening();
    m_rebind = true;
    m_refresh = true;
    for (int i = 0; i < 20 && !m_stop; ++i) platform::sleepNs(100000000ull);
    return;
  }
  const int handle = m_listen.accept(0);
  if (handle < 0) return;
  reapConnections();
  if (overLimit()) {
    refuse(handle);
    return;
  }
  auto* conn = new CHTTPSrvThread(m_cnl, handle, m_deadlineMs.load());
  if (conn->start(kThreadStackBytes)) {
    m_connections.push_back(conn);
    m_connCount = m_connections.size();
  } else {
    delete conn;  // closes the connection
  }
}

bool CLstSockThread::overLimit() {
  if (m_connections.size() >= static_cast<size_t>(m_maxConnections.load())) return true;
  // Every connection being read may still become a consumer, so it counts against the
  // consumer bound too.
  return m_cnl->clientCount() + m_connections.size() >= m_maxClients.load();
}

void CLstSockThread::refuse(int handle) {
  // Counted and logged before the close, so whoever sees the connection end also sees both.
  ++m_refused;
  const uint64_t now = platform::monotonicNs();
  if (m_refusalLogged && now - m_lastRefusalLogNs < kRefusalLogGapNs) {
    platform::closeSocket(handle);
    return;
  }
  m_refusalLogged = true;
  m_lastRefusalLogNs = now;
  g_logFile.log(CLogFile::Warning, source(),
                "Too many connections, new ones are closed. connections=" +
                    std::to_string(m_connections.size()) + " clients=" +
                    std::to_string(m_cnl->clientCount()) + " refused=" +
                    std::to_string(m_refused.load()),
                kRunFunction);
  platform::closeSocket(handle);
}

void CLstSockThread::reapConnections() {
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

void CLstSockThread::closeListening() {
  {
    std::lock_guard<std::mutex> g(m_sockLock);
    m_listen.close();
  }
  std::lock_guard<std::mutex> g(m_addrLock);
  m_bound = CNetAddr();
}

void CLstSockThread::pause() {
  for (int i = 0; i < kPauseRounds && !m_stop; ++i) {
    // One second in short slices, so a stop is seen at once.
    for (int j = 0; j < 10 && !m_stop; ++j) platform::sleepNs(100000000ull);
  }
}

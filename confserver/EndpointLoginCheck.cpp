#include "confserver/EndpointLoginCheck.h"

#include <mutex>

#include "base/CHTTPSocket.h"
#include "base/CLogFile.h"
#include "confserver/ConfAccess.h"
#include "confserver/ConfAuth.h"
#include "confserver/LoginThrottle.h"
#include "confserver/SignedLinks.h"
#include "platform/Clock.h"

namespace {

class ConfLoginCheck : public endpointlogin::Check {
 public:
  bool accepted(CHTTPSocket& conn, const std::string& section, const std::string& logSource) override {
    const HeaderMap& headers = conn.request_headers;
    if (!headers.count("Authorization:"))
      return links::carriesLink(conn.query) && links::validLink(conn.path, section, conn.query);
    const std::string client = clientAddress(conn.peerAddress().ip, headers);
    const uint64_t now = platform::monotonicNs();
    {
      std::lock_guard<std::mutex> g(m_throttleLock);
      if (m_throttle.blocked(client, now)) return false;
    }
    if (roleOf(headers) != ConfRole::None) return true;
    bool blocks;
    {
      std::lock_guard<std::mutex> g(m_throttleLock);
      blocks = m_throttle.failed(client, now);
    }
    // The same line as the configuration server's, for intrusion filters reading the log.
    g_logFile.log(CLogFile::Warning, logSource, "Failed login from " + client + " for " + http::printable(conn.path),
                  "CHTTPSrvThread::run");
    if (blocks)
      g_logFile.log(CLogFile::Warning, logSource,
                    "Too many failed logins from " + client + "; logins from this address are refused for 60 seconds.",
                    "CHTTPSrvThread::run");
    return false;
  }
  std::string realm() override { return kAuthRealmHeader; }

 private:
  std::mutex m_throttleLock;
  LoginThrottle m_throttle;  // guarded by m_throttleLock
};

}  // namespace

endpointlogin::Check& confEndpointLoginCheck() {
  static ConfLoginCheck check;
  return check;
}

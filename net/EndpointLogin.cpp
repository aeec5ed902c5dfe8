#include "net/EndpointLogin.h"

#include <mutex>

#include "app/CLogFile.h"
#include "net/CHTTPSocket.h"
#include "net/ConfAccess.h"
#include "net/ConfAuth.h"
#include "net/LoginThrottle.h"
#include "net/SignedLinks.h"
#include "platform/Clock.h"

namespace endpointlogin {

const char* const kKey = "CnlAuth";

namespace {

std::mutex g_throttleLock;
LoginThrottle g_throttle;  // guarded by g_throttleLock

}  // namespace

bool needed(const std::string& mode, const std::string& path,
            const std::map<std::string, std::string>& query) {
  if (mode != "control" && mode != "all") return false;
  if (path == "/control/control") return !query.count("list") && query.count("set");
  if (path == "/control/rotorcgi") return true;
  return mode == "all" &&
         (path == "/record/current.jpg" || path == "/cgi-bin/faststream.jpg" || path == "/control/faststream.jpg");
}

bool accepted(CHTTPSocket& conn, const std::string& section, const std::string& logSource) {
  const HeaderMap& headers = conn.request_headers;
  if (!headers.count("Authorization:")) return links::carriesLink(conn.query) && links::validLink(conn.path, section, conn.query);
  const std::string client = clientAddress(conn.peerAddress().ip, headers);
  const uint64_t now = platform::monotonicNs();
  {
    std::lock_guard<std::mutex> g(g_throttleLock);
    if (g_throttle.blocked(client, now)) return false;
  }
  if (roleOf(headers) != ConfRole::None) return true;
  bool blocks;
  {
    std::lock_guard<std::mutex> g(g_throttleLock);
    blocks = g_throttle.failed(client, now);
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

void sendUnauthorized(CHTTPSocket& conn) {
  conn.status = 401;
  conn.reason = "";
  conn.response_headers.clear();
  conn.set_header("WWW-Authenticate:", kAuthRealmHeader);
  conn.set_header("Connection:", "close");
  conn.send_response_head();
}

}  // namespace endpointlogin

#include "endpoint/EndpointLogin.h"

#include <atomic>

#include "base/CHTTPSocket.h"

namespace endpointlogin {

const char* const kKey = "CnlAuth";

namespace {
std::atomic<Check*> g_check{nullptr};
}  // namespace

void install(Check* check) { g_check = check; }

bool needed(const std::string& mode, const std::string& path,
            const std::map<std::string, std::string>& query) {
  if (mode != "control" && mode != "all") return false;
  if (path == "/control/control") return !query.count("list") && query.count("set");
  if (path == "/control/rotorcgi") return true;
  return mode == "all" &&
         (path == "/record/current.jpg" || path == "/cgi-bin/faststream.jpg" || path == "/control/faststream.jpg");
}

bool accepted(CHTTPSocket& conn, const std::string& section, const std::string& logSource) {
  Check* check = g_check.load();
  return check && check->accepted(conn, section, logSource);
}

void sendUnauthorized(CHTTPSocket& conn) {
  Check* check = g_check.load();
  conn.status = 401;
  conn.reason = "";
  conn.response_headers.clear();
  conn.set_header("WWW-Authenticate:", check ? check->realm() : std::string("basic realm=\"configure TelvGate\""));
  conn.set_header("Connection:", "close");
  conn.send_response_head();
}

}  // namespace endpointlogin

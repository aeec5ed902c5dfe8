#pragma once
// The optional login on a channel's endpoint ("CnlAuth" of the channel's section). Anyone who
// reaches an endpoint may otherwise switch recording off or steer the head, which suits a
// trusted network only. The setting:
//   "off"      (default) no login anywhere, as the viewers that know the endpoint expect;
//   "control"  a viewer or administrator login for "/control/control" set requests and
//              "/control/rotorcgi";
//   "all"      that, and also for the pictures, the probe and the push stream.
// Which logins open an endpoint is the configuration server's business (its logins, signed
// links, the login throttle): it installs its check at start-up (confserver/EndpointLoginCheck.h).
// Without a check installed, a request that needs a login is refused.
//
// Any connection thread may call these; the check is installed before the channels start.
#include <map>
#include <string>

class CHTTPSocket;

namespace endpointlogin {

extern const char* const kKey;  // "CnlAuth"

// Decides whether a request carries a login that opens the endpoint of a channel.
class Check {
 public:
  virtual ~Check() = default;
  // True when the request read on conn opens it for the channel of section; false (after the
  // log line and the count of a refused login) otherwise.
  virtual bool accepted(CHTTPSocket& conn, const std::string& section, const std::string& logSource) = 0;
  // The WWW-Authenticate value of the 401 answer.
  virtual std::string realm() = 0;
};

// Installs the check for the life of the process (null: none).
void install(Check* check);

// Whether a request for path with query needs a login under the setting mode.
bool needed(const std::string& mode, const std::string& path,
            const std::map<std::string, std::string>& query);
// The installed check's verdict; false without one.
bool accepted(CHTTPSocket& conn, const std::string& section, const std::string& logSource);
// Sends the 401 answer with the login realm.
void sendUnauthorized(CHTTPSocket& conn);

}  // namespace endpointlogin

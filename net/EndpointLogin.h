#pragma once
// The optional login on a channel's endpoint ("CnlAuth" of the channel's section). Anyone who
// reaches an endpoint may otherwise switch recording off or steer the head, which suits a
// trusted network only. The setting:
//   "off"      (default) no login anywhere, as the viewers that know the endpoint expect;
//   "control"  a viewer or administrator login for "/control/control" set requests and
//              "/control/rotorcgi";
//   "all"      that, and also for the pictures, the probe and the push stream.
// A login is HTTP Basic (the logins of the configuration server, net/ConfAccess.h) or a signed
// link made for that path and channel (net/SignedLinks.h). Refused logins are logged in the
// configuration server's form and counted by one login throttle shared by every endpoint.
//
// Any connection thread may call these (the throttle has its own lock).
#include <map>
#include <string>

class CHTTPSocket;

namespace endpointlogin {

extern const char* const kKey;  // "CnlAuth"

// Whether a request for path with query needs a login under the setting mode.
bool needed(const std::string& mode, const std::string& path,
            const std::map<std::string, std::string>& query);
// True when the request read on conn carries a login (or a link) that opens it for the channel
// of section; false (after the log line and the count of a refused login) otherwise.
bool accepted(CHTTPSocket& conn, const std::string& section, const std::string& logSource);
// Sends the 401 answer with the login realm.
void sendUnauthorized(CHTTPSocket& conn);

}  // namespace endpointlogin

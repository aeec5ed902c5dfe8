#pragma once
// Signed links: URLs that open one channel's pictures or streams without a login until they
// expire, for dashboards and players that cannot send a login. A link carries
//   c=<channel section>&exp=<Unix seconds>&sig=<hex HMAC-SHA256>
// where the signature covers the path, the channel, the permission "view", the expiry and the
// target's parameters that decide what it shows (a recording's time, range and speed, an
// export's format), each as it is or absent,
// keyed by the installation's secret ("LinkSecret" of section "System", 32 random bytes made at
// the first link and stored with the settings). A link opens only the path it was made for,
// and only for its channel; replacing the secret ("Revoke all links") ends every link at once.
//
// The settings store has its own lock: any thread may call these (the configuration server
// and the endpoints' connection threads do).
#include <cstdint>
#include <map>
#include <string>

class CHTTPSocket;
struct ConfAnswer;

namespace links {

constexpr uint64_t kDefaultValidSec = 24ull * 3600;
constexpr uint64_t kMaxValidSec = 30ull * 24 * 3600;

// The parameters a link adds to its target ("c=...&exp=...&sig=..."), valid for validSec
// (1 to kMaxValidSec) from now; target: the target's own parameters (decoded), of which those
// that decide what is shown are signed. Makes and stores the secret when there is none yet;
// "" when none could be made.
std::string linkQuery(const std::string& path, const std::string& channel, uint64_t validSec,
                      const std::map<std::string, std::string>& target);
// True when query holds a link for path whose "c" is channel, that has not expired, and whose
// signature matches under the current secret (compared in constant time) for the parameters
// query carries besides.
bool validLink(const std::string& path, const std::string& channel,
               const std::map<std::string, std::string>& query);
// True when the request carries a link at all ("sig"), valid or not.
inline bool carriesLink(const std::map<std::string, std::string>& query) { return query.count("sig") != 0; }
// Replaces the secret: every link made so far stops working. False when no new secret could
// be made (the old one then stays).
bool revokeAll();

// The 403 answer to a link that is not valid (expired, revoked, or for another path or channel).
void refusedAnswer(ConfAnswer& out);

// The channel section a link for path must name, for the configuration server's paths that
// links may open: the channel of a "/picture/" or "/stream/" path, or the "c" parameter of a
// recordings stream, picture, export or event list. "" for any other path.
std::string linkedChannel(const std::string& path, const std::map<std::string, std::string>& query);

// "/link?u=<target>[&valid=<seconds>][&text=1]": makes a link for target (a path with its
// query on this server) and shows it on a short page (text=1: the URL alone as text);
// "/link?c=<channel section>" makes one for that channel's live stream. For a
// channel's stream it also gives the link of the channel's own endpoint, when it has one.
// viaTls: the request came over HTTPS (the link's scheme). Configuration thread.
void linkPageAnswer(CHTTPSocket& conn, bool viaTls, ConfAnswer& out);

}  // namespace links

#include "confserver/SignedLinks.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdlib>

#include "base/CHTTPSocket.h"
#include "base/CSettings.h"
#include "base/ConfAnswer.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/LiveChannels.h"
#include "confserver/ConfPages.h"
#include "confserver/TlsPictures.h"
#include "platform/Clock.h"
#include "recordings/RecTime.h"

namespace links {

namespace {

const char kSection[] = "System";
const char kSecretKey[] = "LinkSecret";
constexpr size_t kSecretBytes = 32;
const char kPermission[] = "view";

// The recordings answers a link may open (pages with links of their own may not).
const char* const kRecordingsPaths[] = {"/recordings/play.jpg", "/recordings/picture.jpg",
                                        "/recordings/export", "/recordings/events.json"};

// The parameters of a link, never passed on as part of its target.
bool linkParam(const std::string& name) { return name == "c" || name == "exp" || name == "sig"; }

// The parameters of a target that decide what it shows (the time or range of a recording, its
// speed, an export's format): signed with the link, so that a changed or added one is refused.
// Live streams carry none of them, and their links sign what they always did.
const char* const kBoundParams[] = {"t", "from", "to", "speed", "format"};

uint64_t nowSec() { return platform::nowNs() / 1000000000ull; }

bool makeSecret() {
  unsigned char bytes[kSecretBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  return g_settings.writeString(kSection, kSecretKey, hex_lower(bytes, sizeof bytes)) && g_settings.writeToStorage();
}

std::string secret() { return g_settings.readString(kSection, kSecretKey, ""); }

std::string signature(const std::string& key, const std::string& path, const std::string& channel,
                      const std::string& exp, const std::map<std::string, std::string>& target) {
  std::string message = std::string(kPermission) + "\n" + path + "\n" + channel + "\n" + exp;
  // Encoded, so that no value can pose as another parameter's line.
  for (const char* name : kBoundParams) {
    auto it = target.find(name);
    if (it != target.end()) message += std::string("\n") + name + "=" + url_encode(it->second);
  }
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
            message.size(), mac, &len))
    return std::string();
  return hex_lower(mac, len);
}

std::string param(const std::map<std::string, std::string>& q, const char* name) {
  auto it = q.find(name);
  return it == q.end() ? std::string() : it->second;
}

// Host and port as the browser named us, when they are plain enough to put into a URL.
std::string hostOf(CHTTPSocket& conn) {
  const std::string host = conn.header(conn.request_headers, "Host:");
  bool plain = !host.empty() && host.size() < 256;
  for (char c : host)
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
                      c == '[' || c == ']');
  return plain ? host : conn.localAddress().to_string();
}

void textAnswer(int status, const char* reason, const std::string& text, ConfAnswer& out) {
  out.set(status, reason,
          {{"Connection:", "close"}, {"Content-type:", "text/plain"}, {"Cache-Control:", "private,no-cache,no-store"}},
          text + "\n");
}

}  // namespace

std::string linkQuery(const std::string& path, const std::string& channel, uint64_t validSec,
                      const std::map<std::string, std::string>& target) {
  if (secret().size() != 2 * kSecretBytes && !makeSecret()) return std::string();
  if (validSec < 1) validSec = 1;
  if (validSec > kMaxValidSec) validSec = kMaxValidSec;
  const std::string exp = std::to_string(nowSec() + validSec);
  const std::string sig = signature(secret(), path, channel, exp, target);
  return sig.empty() ? std::string() : "c=" + url_encode(channel) + "&exp=" + exp + "&sig=" + sig;
}

bool validLink(const std::string& path, const std::string& channel,
               const std::map<std::string, std::string>& query) {
  const std::string key = secret(), exp = param(query, "exp"), sig = param(query, "sig");
  if (key.size() != 2 * kSecretBytes || channel.empty() || param(query, "c") != channel) return false;
  if (exp.empty() || exp.size() > 12 || exp.find_first_not_of("0123456789") != std::string::npos) return false;
  const uint64_t expires = std::strtoull(exp.c_str(), nullptr, 10), now = nowSec();
  if (expires <= now || expires - now > kMaxValidSec) return false;
  const std::string want = signature(key, path, channel, exp, query);
  return !want.empty() && sig.size() == want.size() && CRYPTO_memcmp(sig.data(), want.data(), want.size()) == 0;
}

bool revokeAll() { return makeSecret(); }

void refusedAnswer(ConfAnswer& out) {
  textAnswer(403, "Forbidden", "This link is not valid: it has expired, was revoked, or is for another page.", out);
}

std::string linkedChannel(const std::string& path, const std::map<std::string, std::string>& query) {
  if (isTlsPicturePath(path)) {
    CVideoCnl* c = tlsPictureChannel(path);
    return c ? c->sectionName() : std::string();
  }
  for (const char* p : kRecordingsPaths)
    if (path == p) return param(query, "c");
  return std::string();
}

void linkPageAnswer(CHTTPSocket& conn, bool viaTls, ConfAnswer& out) {
  std::string u = param(conn.query, "u");
  // "/link?c=<section>": the channel's live stream, as its tile on the live page links it.
  for (CVideoCnl* c : liveChannels())
    if (u.empty() && c->sectionName() == param(conn.query, "c")) u = tlsPictureUrl(c->fieldPrefix(), true);
  std::string path;
  std::map<std::string, std::string> target;
  http::splitTarget(u, &path, &target);
  const std::string channel = linkedChannel(path, target);
  CVideoCnl* cnl = nullptr;
  for (CVideoCnl* c : liveChannels())
    if (!channel.empty() && c->sectionName() == channel) cnl = c;
  if (!cnl) return textAnswer(404, "Not Found", "No link can be made for this target.", out);
  // Unreadable or 0: the default; more than the longest: the longest.
  uint64_t valid = std::strtoull(param(conn.query, "valid").c_str(), nullptr, 10);
  if (valid == 0) valid = kDefaultValidSec;
  if (valid > kMaxValidSec) valid = kMaxValidSec;
  std::string query;
  for (const auto& p : target)
    if (!linkParam(p.first)) query += url_encode(p.first) + "=" + url_encode(p.second) + "&";
  const std::string signedPart = linkQuery(path, channel, valid, target);
  if (signedPart.empty()) return textAnswer(500, "Internal Server Error", "No link secret could be made.", out);
  const std::string url = std::string(viaTls ? "https://" : "http://") + hostOf(conn) + path + "?" + query + signedPart;
  if (conn.query.count("text")) return textAnswer(200, "OK", url, out);

  const std::string until = rectime::displayLocal((nowSec() + valid) * 1000000ull);
  std::string page =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>TelvGate link</title></head><body>\n"
      "<h2>Link to " + html_escape(channel) + "</h2>\n<p>Opens <code>" + html_escape(path) +
      "</code> of this channel only, without a login, until " + until + ".</p>\n"
      "<p><input readonly size=120 value=\"" + html_escape(url) + "\"> <a href=\"" + html_escape(url) +
      "\">open</a></p>\n";
  const CNetAddr e = cnl->endpointAddr();
  if (path.compare(0, 8, "/stream/") == 0 && e.port != 0) {
    const std::string ip = e.ip.empty() || e.ip == "0.0.0.0" ? conn.localAddress().ip : e.ip;
    const std::string endpoint = "http://" + ip + ":" + std::to_string(e.port) + "/control/faststream.jpg?" +
                                 query + linkQuery("/control/faststream.jpg", channel, valid, target);
    page += "<p>From the channel's own port: <input readonly size=120 value=\"" + html_escape(endpoint) + "\"></p>\n";
  }
  page += "<form action=\"/link\" method=get><input type=hidden name=u value=\"" +
          html_escape(u) + "\">Valid for <select name=valid>";
  static const struct { uint64_t sec; const char* label; } kChoices[] = {
      {3600, "1 hour"}, {kDefaultValidSec, "24 hours"}, {7 * 86400, "7 days"}, {kMaxValidSec, "30 days"}};
  for (const auto& o : kChoices)
    page += "<option value=" + std::to_string(o.sec) + (o.sec == valid ? " selected>" : ">") + o.label + "</option>";
  page += "</select> <input type=submit value=\"Make link\"></form>\n</body></html>\n";
  htmlAnswer(page, out);
}

}  // namespace links

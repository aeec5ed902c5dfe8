#include "confserver/ConfAuth.h"

#include <cctype>

#include "base/CSettings.h"
#include "base/TextHelpers.h"

const char* const kDefaultAdminLogin = "admin";
const char* const kDefaultAdminPassword = "qatrel";
const char* const kNoAdministratorWarning =
    "No administrator is configured: anyone who knows the built-in login can change the "
    "settings. Add an administrator in the System Settings.";
const char* const kAuthRealmHeader = "basic realm=\"configure TelvGate\"";

namespace {

const char kAdminsSection[] = "Admins";

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Host and port of an authority "host[:port]" (user info and IPv6 brackets handled), with the
// scheme's default port when none is given. Host names compare case-insensitively.
struct HostPort {
  std::string host;
  std::string port;
  bool operator==(const HostPort& o) const { return host == o.host && port == o.port; }
};

bool splitAuthority(std::string authority, const std::string& defaultPort, HostPort& out) {
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  while (!authority.empty() && (authority.back() == ' ' || authority.back() == '\t'))
    authority.pop_back();
  if (authority.empty()) return false;
  size_t portColon = std::string::npos;
  if (authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      portColon = close + 1;
    }
  } else {
    portColon = authority.find(':');
  }
  if (portColon == std::string::npos) {
    out.host = lower(authority);
    out.port = defaultPort;
  } else {
    out.host = lower(authority.substr(0, portColon));
    out.port = authority.substr(portColon + 1);
    if (out.port.empty()) out.port = defaultPort;
  }
  return !out.host.empty();
}

// Origin ("http://h:p") or Referer ("http://h:p/path?x") to its host and port.
bool originHostPort(const std::string& url, HostPort& out) {
  size_t sep = url.find("://");
  if (sep == std::string::npos) return false;
  std::string scheme = lower(url.substr(0, sep));
  std::string defaultPort;
  if (scheme == "http") defaultPort = "80";
  else if (scheme == "https") defaultPort = "443";
  else return false;
  std::string rest = url.substr(sep + 3);
  size_t end = rest.find_first_of("/?#");
  return splitAuthority(rest.substr(0, end), defaultPort, out);
}

}  // namespace

std::string headerValueNoCase(const HeaderMap& headers, const std::string& nameWithColon) {
  auto exact = headers.find(nameWithColon);
  if (exact != headers.end()) return exact->second;
  std::string want = lower(nameWithColon);
  for (const auto& h : headers)
    if (lower(h.first) == want) return h.second;
  return std::string();
}

bool basicCredentials(const HeaderMap& requestHeaders, std::string* login, std::string* password) {
  auto it = requestHeaders.find("Authorization:");
  if (it == requestHeaders.end()) return false;
  const std::string& value = it->second;
  if (value.compare(0, 6, "Basic ") != 0) return false;
  std::string decoded = base64_decode(value.substr(6));
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  *login = decoded.substr(0, colon);
  *password = decoded.substr(colon + 1);
  return !login->empty() && !password->empty();
}

bool check_auth(const HeaderMap& requestHeaders) {
  std::string login, password;
  if (!basicCredentials(requestHeaders, &login, &password)) return false;
  if (g_settings.existingEntry(kAdminsSection, login))
    return g_settings.readString(kAdminsSection, login, std::string()) == password;
  return login == kDefaultAdminLogin && password == kDefaultAdminPassword;
}

bool administratorConfigured() { return !g_settings.sectionEntries(kAdminsSection).empty(); }

bool hasSameOriginSign(const HeaderMap& requestHeaders) {
  if (!headerValueNoCase(requestHeaders, "Origin:").empty()) return true;
  if (!headerValueNoCase(requestHeaders, "Referer:").empty()) return true;
  const std::string site = lower(headerValueNoCase(requestHeaders, "Sec-Fetch-Site:"));
  return site == "same-origin" || site == "none";
}

bool sameOriginRequest(const HeaderMap& requestHeaders) {
  // Current browsers say where a request comes from even when a page suppresses its Referer
  // (a cross-site GET link or image would otherwise carry neither header).
  const std::string site = lower(headerValueNoCase(requestHeaders, "Sec-Fetch-Site:"));
  if (site == "cross-site" || site == "same-site") return false;
  std::string source = headerValueNoCase(requestHeaders, "Origin:");
  if (source.empty()) source = headerValueNoCase(requestHeaders, "Referer:");
  if (source.empty()) return true;
  HostPort from, self;
  if (!originHostPort(source, from)) return false;  // "null" and unknown schemes included
  if (!splitAuthority(headerValueNoCase(requestHeaders, "Host:"), "80", self)) return false;
  return from == self;
}

long parseContentLength(const std::string& value, long maxBytes) {
  size_t end = value.size();
  while (end > 0 && (value[end - 1] == ' ' || value[end - 1] == '\t')) --end;
  if (end == 0) return -1;
  long n = 0;
  for (size_t i = 0; i < end; ++i) {
    char c = value[i];
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
    if (n > maxBytes) return -1;  // stops before any overflow
  }
  return n > 0 ? n : -1;
}

#include "confserver/ConfAccess.h"

#include <cctype>

#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/ConfAnswer.h"
#include "base/TextHelpers.h"
#include "confserver/ConfAuth.h"

namespace {

struct PathNeed {
  const char* prefix;
  ConfNeed need;
};

// The path itself and everything below it.
const PathNeed kPathNeeds[] = {
    {"/status", ConfNeed::Status},  {"/logs", ConfNeed::Status},
    {"/live", ConfNeed::Status},    {"/picture", ConfNeed::Status},
    {"/stream", ConfNeed::Status},  {"/recordings", ConfNeed::Viewer},
    {"/link", ConfNeed::Viewer},
    {"/img/TELVORA_logo.png", ConfNeed::Open}, {"/favicon.ico", ConfNeed::Open},
};

bool under(const std::string& path, const std::string& prefix) {
  return path.compare(0, prefix.size(), prefix) == 0 &&
         (path.size() == prefix.size() || path[prefix.size()] == '/');
}

// Bytes a header value may carry as they are: printable ASCII without blanks.
bool headerSafe(const std::string& s) {
  for (unsigned char c : s)
    if (c <= 0x20 || c >= 0x7f) return false;
  return !s.empty();
}

// The host part of a "Host:" value ("name", "name:port", "[v6]:port"); "" when it is none.
std::string hostOf(const std::string& hostHeader) {
  std::string host = hostHeader;
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    host = close == std::string::npos ? std::string() : host.substr(0, close + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  for (char c : host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '[' || c == ']' || c == ':'))
      return std::string();
  return host;
}

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool listedProxy(const std::string& ip) {
  const std::string list = readSettingText(syssettings::kSection, syssettings::kTrustedProxies);
  size_t start = 0;
  while (start < list.size()) {
    const size_t end = list.find_first_of(", \t", start);
    const std::string item = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!item.empty() && item == ip) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace

ConfNeed accessFor(const std::string& path) {
  for (const PathNeed& p : kPathNeeds)
    if (under(path, p.prefix)) return p.need;
  return ConfNeed::Admin;
}

bool mayOpen(ConfRole role, ConfNeed need, bool publicStatusOn) {
  switch (need) {
    case ConfNeed::Open:
      return true;
    case ConfNeed::Status:
      return publicStatusOn || role != ConfRole::None;
    case ConfNeed::Viewer:
      return role != ConfRole::None;
    case ConfNeed::Admin:
      return role == ConfRole::Admin;
  }
  return false;
}

bool publicStatus() { return readSettingBool(syssettings::kSection, syssettings::kPublicStatus); }

ConfRole roleOf(const HeaderMap& requestHeaders) {
  if (check_auth(requestHeaders)) return ConfRole::Admin;
  std::string login, password;
  if (!basicCredentials(requestHeaders, &login, &password)) return ConfRole::None;
  // An administrator's login is never also a viewer's, nor is the built-in one.
  if (g_settings.existingEntry("Admins", login) || login == kDefaultAdminLogin) return ConfRole::None;
  if (!g_settings.existingEntry("Viewers", login)) return ConfRole::None;
  return g_settings.readString("Viewers", login, std::string()) == password ? ConfRole::Viewer : ConfRole::None;
}

void forbiddenForLoginAnswer(ConfAnswer& out) {
  out.set(403, "Forbidden", {{"Connection:", "close"}, {"Content-type:", "text/html"}},
          "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://www.w3.org/TR/html4/strict.dtd\">\n"
          "<HTML><HEAD><TITLE>403 Forbidden</TITLE></HEAD><BODY>\n<H1>Forbidden</H1>\n"
          "<P>This login may not open this page. <A href=\"/status\">Status report</A></P>\n"
          "</BODY></HTML>\n");
}

bool redirectToTlsAnswer(const HeaderMap& requestHeaders, const std::string& target,
                         const std::string& fallbackHost, unsigned tlsPort, ConfAnswer& out) {
  std::string host = hostOf(headerValueNoCase(requestHeaders, "Host:"));
  if (host.empty()) host = fallbackHost;
  if (!headerSafe(target) || target[0] != '/' || !headerSafe(host)) return false;
  const std::string location = "https://" + host + ":" + std::to_string(tlsPort) + target;
  out.set(302, "Found", {{"Location:", location}, {"Connection:", "close"}, {"Content-type:", "text/html"}},
          "<HTML><BODY><A href=\"" + html_escape(location) + "\">" + html_escape(location) +
              "</A></BODY></HTML>\n");
  return true;
}

std::string clientAddress(const std::string& peerIp, const HeaderMap& requestHeaders) {
  const std::string forwarded = headerValueNoCase(requestHeaders, "X-Forwarded-For:");
  if (forwarded.empty() || !listedProxy(peerIp)) return peerIp;
  const std::string first = trimmed(forwarded.substr(0, forwarded.find(',')));
  return is_valid_ip(first) ? first : peerIp;
}

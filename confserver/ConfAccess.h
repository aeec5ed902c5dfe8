#pragma once
// Who may open what on the configuration server, besides the administrators' Basic login of
// confserver/ConfAuth.h: viewer logins (section "Viewers", login = password, laid out as "Admins"),
// the level of login each path needs, the "PublicStatus" switch, the redirect of plain-HTTP
// pages to HTTPS, and the client address behind a trusted reverse proxy.
//
// Pure functions over a request (plus the settings store, which has its own lock): any
// thread may call them; the server calls them from its own thread.
#include <map>
#include <string>

using HeaderMap = std::map<std::string, std::string>;
struct ConfAnswer;

// What a request's credentials make of it.
enum class ConfRole { None, Viewer, Admin };

// The login a path needs.
enum class ConfNeed {
  Open,    // never a login: the logo and the icon
  Status,  // the status report, the log and the live pictures: none while "PublicStatus" is
           // on (the default), else a viewer or an administrator
  Viewer,  // a viewer or an administrator (the recordings)
  Admin,   // an administrator (every other page, the submission, the metrics)
};

// By path prefix: "/status", "/logs", "/live", "/picture", "/stream" need Status and
// "/recordings" and "/link" need Viewer, each for the path itself and anything below it ("/live/x");
// the logo and the icon are Open; everything else needs Admin.
ConfNeed accessFor(const std::string& path);
// Whether role may open a path that needs need, with the "PublicStatus" setting given.
bool mayOpen(ConfRole role, ConfNeed need, bool publicStatus);
// "PublicStatus" of "System" (default on).
bool publicStatus();

// Admin when check_auth accepts the credentials; Viewer when the login is no administrator's
// and "Viewers" holds it with exactly that password; None otherwise (no credentials too).
ConfRole roleOf(const HeaderMap& requestHeaders);

// The short 403 page for a login that may not open the page.
void forbiddenForLoginAnswer(ConfAnswer& out);

// The redirect of a plain-HTTP page request to the same target on the HTTPS port: the
// host of the request's "Host:" header (else fallbackHost) with tlsPort. False, out untouched,
// when the target or the host holds anything a Location header cannot carry as is.
bool redirectToTlsAnswer(const HeaderMap& requestHeaders, const std::string& target,
                         const std::string& fallbackHost, unsigned tlsPort, ConfAnswer& out);

// The address a request comes from for the login throttle and the log: peerIp, or, when
// peerIp is listed in "TrustedProxies" of "System" (addresses separated by commas or
// blanks), the first address of the request's "X-Forwarded-For:" header when that is an
// IPv4 address.
std::string clientAddress(const std::string& peerIp, const HeaderMap& requestHeaders);

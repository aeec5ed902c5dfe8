#pragma once
// Access control of the configuration server: the HTTP Basic login against the "Admins"
// section, the refusal of cross-site form submissions, and the bounded reading of a form
// body's declared length. Pure functions over a request's header map (plus the settings
// store, which has its own lock): any thread may call them; the server calls them from its
// own thread.
#include <map>
#include <string>

using HeaderMap = std::map<std::string, std::string>;

// The login used on a fresh installation: accepted while "Admins" has no "admin" entry.
extern const char* const kDefaultAdminLogin;     // "admin"
extern const char* const kDefaultAdminPassword;  // "qatrel"

// True when "Authorization:" holds "Basic " + base64(login ":" password) and the pair matches
// the "Admins" entry of that login (or the default login when "Admins" has no "admin" entry).
bool check_auth(const HeaderMap& requestHeaders);
// The login and password of "Authorization:" "Basic " + base64(login ":" password); false when
// the header is missing or malformed, or either part is empty.
bool basicCredentials(const HeaderMap& requestHeaders, std::string* login, std::string* password);

// True when the "Admins" section holds at least one login. Until then the default login is
// open to anyone who knows it, which start-up and every configuration page say.
bool administratorConfigured();
extern const char* const kNoAdministratorWarning;

// The realm browsers show in their login box.
extern const char* const kAuthRealmHeader;  // basic realm="configure TelvGate"

// False when the request carries an "Origin:" or (without Origin) a "Referer:" header whose
// host and port differ from those of its "Host:" header: a page of another site is trying to
// make the user's browser submit settings with the user's stored login. Requests that carry
// neither header (scripts, older clients) pass, unless a browser marks the request as coming
// from another site ("Sec-Fetch-Site:" cross-site or same-site). Header names are matched in
// any case.
bool sameOriginRequest(const HeaderMap& requestHeaders);

// True when the request shows that it comes from our own pages: an "Origin:" or "Referer:"
// header (whose host sameOriginRequest checks), or "Sec-Fetch-Site:" same-origin or none
// (typed by the user). A GET that changes settings needs one, since a page of another site
// can make a browser that holds the login load any URL (an image, say) without either header.
bool hasSameOriginSign(const HeaderMap& requestHeaders);

// Largest form body the server accepts.
constexpr long kMaxFormBodyBytes = 32768;

// Reads a "Content-Length:" value: decimal digits only (trailing blanks allowed), above 0 and
// at most maxBytes. Anything else (negative, hexadecimal, signs, huge numbers) gives -1, so a
// caller never sizes a buffer from an unchecked number.
long parseContentLength(const std::string& value, long maxBytes = kMaxFormBodyBytes);

// The value of a header whose name (with its colon) matches in any letter case; "" when absent.
std::string headerValueNoCase(const HeaderMap& headers, const std::string& nameWithColon);

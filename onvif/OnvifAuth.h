#pragma once
// The login checks of the ONVIF service: the WS-Security UsernameToken of a SOAP header (with
// PasswordDigest) and HTTP Digest (RFC 2617, MD5) on the HTTP request, both against the logins
// the owner's OnvifCredentials knows. A token's creation time may differ from our clock by up
// to kClockToleranceSec either way (a camera client seldom shares our clock exactly).
//
// Threads: pure functions, and a DigestAuth is read-only after construction: any thread.
#include <libxml/tree.h>

#include <cstdint>
#include <string>

#include "onvif/OnvifConfig.h"

namespace onvifauth {

constexpr int64_t kClockToleranceSec = 300;
// An HTTP Digest nonce is good for this long; then the client is asked again (stale).
constexpr int64_t kNonceLifetimeSec = 300;

struct Check {
  enum Result { Missing, Accepted, Refused } result = Missing;
  OnvifRole role = OnvifRole::None;
  std::string login;
  std::string why;     // for the log, when refused
  bool stale = false;  // HTTP Digest: the nonce was ours but too old
};

// The token of a SOAP Header's wsse:Security element (null: no token, Missing).
Check checkUsernameToken(const xmlNode* security, OnvifCredentials& logins, int64_t nowSec);
// base64(SHA-1(nonce bytes + created + password)): what a PasswordDigest holds.
std::string passwordDigest(const std::string& nonce, const std::string& created, const std::string& password);
// An xs:dateTime ("2024-05-01T12:00:00.5Z", "...+02:00"; no zone: UTC) in seconds since 1970.
bool parseDateTime(const std::string& text, int64_t* sec);

class DigestAuth {
 public:
  static constexpr const char* kRealm = "TelvGate";
  DigestAuth();  // a random key of its own: its nonces are worth nothing to another process

  // The "WWW-Authenticate:" value that asks for a login.
  std::string challenge(int64_t nowSec, bool stale) const;
  // The "Authorization:" value of a request ("": Missing) for method and the request target.
  Check check(const std::string& authorization, const std::string& method, const std::string& uri,
              OnvifCredentials& logins, int64_t nowSec) const;

 private:
  std::string nonceFor(int64_t sec) const;
  std::string m_key;
};

}  // namespace onvifauth

#include "onvif/OnvifAuth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>

#include "base/TextHelpers.h"
#include "onvif/XmlDoc.h"

namespace onvifauth {

namespace {

const char kNsSecExt[] = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
const char kNsUtility[] = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
const char kDigestType[] = "#PasswordDigest";

std::string digest(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out, &len, md, nullptr) != 1) return "";
  return std::string(reinterpret_cast<char*>(out), len);
}

std::string md5Hex(const std::string& s) {
  const std::string d = digest(EVP_md5(), s);
  return hex_lower(d.data(), d.size());
}

bool sameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool endsWith(const std::string& s, const char* tail) {
  const std::string t = tail;
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

Check refused(const std::string& login, const std::string& why) {
  Check c;
  c.result = Check::Refused;
  c.login = login;
  c.why = why;
  return c;
}

// name=value and name="quoted value" pairs of a Digest header, names in lower case.
std::map<std::string, std::string> digestParams(const std::string& s) {
  std::map<std::string, std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == ',' || s[i] == '\t')) ++i;
    size_t eq = s.find('=', i);
    if (eq == std::string::npos) break;
    std::string name = s.substr(i, eq - i);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    i = eq + 1;
    while (i < s.size() && s[i] == ' ') ++i;
    std::string value;
    if (i < s.size() && s[i] == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        value += s[i];
      }
      ++i;
    } else {
      while (i < s.size() && s[i] != ',') value += s[i++];
      while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    out[name] = value;
  }
  return out;
}

bool readNumber(const std::string& s, size_t* i, size_t digits, int* out) {
  int v = 0;
  for (size_t k = 0; k < digits; ++k, ++*i) {
    if (*i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[*i]))) return false;
    v = v * 10 + (s[*i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

std::string passwordDigest(const std::string& nonce, const std::string& created, const std::string& password) {
  return base64_encode(digest(EVP_sha1(), nonce + created + password));
}

bool parseDateTime(const std::string& t, int64_t* sec) {
  std::tm tm{};
  int year, mon, day, h, m, s;
  size_t i = 0;
  auto sep = [&](char c) { return i < t.size() && t[i++] == c; };
  if (!readNumber(t, &i, 4, &year) || !sep('-') || !readNumber(t, &i, 2, &mon) || !sep('-') ||
      !readNumber(t, &i, 2, &day) || !sep('T') || !readNumber(t, &i, 2, &h) || !sep(':') ||
      !readNumber(t, &i, 2, &m) || !sep(':') || !readNumber(t, &i, 2, &s))
    return false;
  if (mon < 1 || mon > 12 || day < 1 || day > 31 || h > 23 || m > 59 || s > 60) return false;
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (i >= t.size() || !std::isdigit(static_cast<unsigned char>(t[i]))) return false;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
  }
  int64_t offset = 0;
  if (i < t.size() && t[i] == 'Z') {
    ++i;
  } else if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    const int sign = t[i++] == '-' ? -1 : 1;
    int oh, om;
    if (!readNumber(t, &i, 2, &oh) || !sep(':') || !readNumber(t, &i, 2, &om) || oh > 14 || om > 59) return false;
    offset = sign * (oh * 3600 + om * 60);
  }
  if (i != t.size()) return false;
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  *sec = static_cast<int64_t>(timegm(&tm)) - offset;
  return true;
}

Check checkUsernameToken(const xmlNode* security, OnvifCredentials& logins, int64_t nowSec) {
  using namespace onvifxml;
  const xmlNode* token = child(security, kNsSecExt, "UsernameToken");
  if (!token) return Check{};
  const std::string login = text(child(token, kNsSecExt, "Username"));
  const xmlNode* password = child(token, kNsSecExt, "Password");
  const std::string created = text(child(token, kNsUtility, "Created"));
  const std::string nonceText = text(child(token, kNsSecExt, "Nonce"));
  if (login.empty() || !password) return refused(login, "incomplete UsernameToken");
  // Only digests: a password in clear text would have crossed the network readable.
  if (!endsWith(attribute(password, "Type"), kDigestType))
    return refused(login, "password not sent as PasswordDigest");
  int64_t createdSec = 0;
  if (!parseDateTime(created, &createdSec)) return refused(login, "no valid Created time");
  if (createdSec > nowSec + kClockToleranceSec || createdSec < nowSec - kClockToleranceSec)
    return refused(login, "Created " + created + " is more than 5 minutes from our clock");
  const std::string nonce = base64_decode(nonceText);
  if (nonce.empty()) return refused(login, "no valid Nonce");
  std::string stored;
  OnvifRole role = OnvifRole::None;
  if (!logins.lookup(login, &stored, &role) || role == OnvifRole::None) return refused(login, "unknown login");
  if (!sameSecret(passwordDigest(nonce, created, stored), text(password))) return refused(login, "wrong password");
  Check c;
  c.result = Check::Accepted;
  c.role = role;
  c.login = login;
  return c;
}

DigestAuth::DigestAuth() {
  unsigned char key[16] = {};
  if (RAND_bytes(key, sizeof key) != 1) {
    // No random source: a key from the clock still keeps other processes' nonces out.
    const uint64_t t = static_cast<uint64_t>(std::time(nullptr)) ^ reinterpret_cast<uintptr_t>(this);
    for (size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<unsigned char>(t >> (8 * (i % 8)));
  }
  m_key.assign(reinterpret_cast<char*>(key), sizeof key);
}

std::string DigestAuth::nonceFor(int64_t sec) const {
  char stamp[17];
  std::snprintf(stamp, sizeof stamp, "%016llx", static_cast<unsigned long long>(sec));
  return std::string(stamp) + md5Hex(m_key + stamp).substr(0, 16);
}

std::string DigestAuth::challenge(int64_t nowSec, bool stale) const {
  return std::string("Digest realm=\"") + kRealm + "\", qop=\"auth\", algorithm=MD5, nonce=\"" + nonceFor(nowSec) +
         "\"" + (stale ? ", stale=true" : "");
}

Check DigestAuth::check(const std::string& authorization, const std::string& method, const std::string& uri,
                        OnvifCredentials& logins, int64_t nowSec) const {
  if (authorization.compare(0, 7, "Digest ") != 0) return Check{};
  std::map<std::string, std::string> p = digestParams(authorization.substr(7));
  const std::string login = p["username"], nonce = p["nonce"];
  if (login.empty() || p["realm"] != kRealm || p["uri"] != uri || nonce.size() != 32)
    return refused(login, "Digest for another realm or address");
  int64_t issued = 0;
  for (size_t i = 0; i < 16; ++i) {
    const char c = nonce[i];
    if (!std::isxdigit(static_cast<unsigned char>(c))) return refused(login, "not our nonce");
    issued = issued * 16 + (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
  }
  if (!sameSecret(nonceFor(issued), nonce)) return refused(login, "not our nonce");
  const std::string qop = p["qop"];
  if (!qop.empty() && qop != "auth") return refused(login, "qop " + qop + " not offered");
  if (p.count("algorithm") && p["algorithm"] != "MD5") return refused(login, "algorithm " + p["algorithm"] + " not offered");
  std::string stored;
  OnvifRole role = OnvifRole::None;
  if (!logins.lookup(login, &stored, &role) || role == OnvifRole::None) return refused(login, "unknown login");
  const std::string ha1 = md5Hex(login + ":" + kRealm + ":" + stored);
  const std::string ha2 = md5Hex(method + ":" + uri);
  const std::string expected =
      qop.empty() ? md5Hex(ha1 + ":" + nonce + ":" + ha2)
                  : md5Hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":" + qop + ":" + ha2);
  if (!sameSecret(expected, p["response"])) return refused(login, "wrong password");
  if (issued > nowSec + kClockToleranceSec || nowSec - issued > kNonceLifetimeSec) {
    Check c = refused(login, "nonce expired");
    c.stale = true;
    return c;
  }
  Check c;
  c.result = Check::Accepted;
  c.role = role;
  c.login = login;
  return c;
}

}  // namespace onvifauth

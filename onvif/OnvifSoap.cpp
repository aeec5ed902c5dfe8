#include "onvif/OnvifSoap.h"

#include <openssl/evp.h>

#include <cctype>
#include <cmath>
#include <cstdio>

#include "base/CLogFile.h"
#include "onvif/XmlDoc.h"

namespace {

const char* const kEnvelopeOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
    " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\""
    " xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\""
    " xmlns:tptz=\"http://www.onvif.org/ver20/ptz/wsdl\""
    " xmlns:tt=\"http://www.onvif.org/ver10/schema\""
    " xmlns:ter=\"http://www.onvif.org/ver10/error\"><s:Body>";
const char* const kEnvelopeClose = "</s:Body></s:Envelope>\n";

std::string envelope(const std::string& body) { return kEnvelopeOpen + body + kEnvelopeClose; }

SoapAnswer faultAnswer(const OnvifFault& f) {
  XmlWriter w;
  w.open("s:Fault").open("s:Code").leaf("s:Value", f.sender ? "s:Sender" : "s:Receiver");
  if (!f.subcode.empty()) {
    w.open("s:Subcode").leaf("s:Value", f.subcode);
    if (!f.subsubcode.empty()) w.open("s:Subcode").leaf("s:Value", f.subsubcode).close();
    w.close();
  }
  w.close().open("s:Reason").open("s:Text").attr("xml:lang", "en").text(f.reason).close().close();
  SoapAnswer a;
  a.status = f.sender ? 400 : 500;
  a.body = envelope(w.finish());
  return a;
}

const OnvifOperation* findOperation(const xmlNode* op) {
  for (const auto* table : {&deviceOperations(), &mediaOperations(), &ptzOperations()})
    for (const OnvifOperation& o : *table)
      if (onvifxml::is(op, o.ns, o.name)) return &o;
  return nullptr;
}

OnvifFault notAuthorized() {
  return OnvifFault{true, "ter:NotAuthorized", "", "Sender not Authorized"};
}

}  // namespace

OnvifFault invalidArg(const char* detail, const std::string& reason) {
  return OnvifFault{true, "ter:InvalidArgVal", detail, reason};
}

bool hasHead(const OnvifChannel& ch) {
  return ch.head.type >= kRotorAutoDome && ch.head.type <= kRotorPelcoP;
}

const OnvifChannel* findProfile(const std::vector<OnvifChannel>& channels, const std::string& token,
                                OnvifFault* fault) {
  for (const OnvifChannel& ch : channels)
    if (ch.tag == token) return &ch;
  *fault = invalidArg("ter:NoProfile", "No profile with the token '" + token + "'");
  return nullptr;
}

std::string durationText(uint64_t ns) {
  char text[40];
  if (ns % 1000000000ull == 0)
    std::snprintf(text, sizeof text, "PT%lluS", static_cast<unsigned long long>(ns / 1000000000ull));
  else
    std::snprintf(text, sizeof text, "PT%.3gS", ns / 1e9);
  return text;
}

bool parseDuration(const std::string& t, uint64_t* ns) {
  if (t.size() < 3 || t[0] != 'P') return false;
  double total = 0;
  bool inTime = false, any = false;
  size_t i = 1;
  while (i < t.size()) {
    if (t[i] == 'T') {
      if (inTime) return false;
      inTime = true;
      ++i;
      continue;
    }
    size_t j = i;
    while (j < t.size() && (std::isdigit(static_cast<unsigned char>(t[j])) || t[j] == '.')) ++j;
    if (j == i || j >= t.size() || j - i > 12) return false;
    const double v = std::atof(t.substr(i, j - i).c_str());
    const char unit = t[j];
    if (!inTime && unit == 'D') total += v * 86400;
    else if (inTime && unit == 'H') total += v * 3600;
    else if (inTime && unit == 'M') total += v * 60;
    else if (inTime && unit == 'S') total += v;
    else return false;  // years and months have no fixed length; nothing waits that long
    any = true;
    i = j + 1;
  }
  if (!any || total > 1e6) return false;
  *ns = static_cast<uint64_t>(std::llround(total * 1e9));
  return true;
}

std::string deviceUuidFor(const std::string& seed) {
  unsigned char h[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const std::string name = "TelvGate ONVIF device " + seed;
  EVP_Digest(name.data(), name.size(), h, &len, EVP_sha1(), nullptr);
  h[6] = static_cast<unsigned char>((h[6] & 0x0F) | 0x50);  // version 5: name-based, SHA-1
  h[8] = static_cast<unsigned char>((h[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[48];
  std::snprintf(text, sizeof text,
                "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", h[0], h[1],
                h[2], h[3], h[4], h[5], h[6], h[7], h[8], h[9], h[10], h[11], h[12], h[13], h[14], h[15]);
  return text;
}

SoapAnswer answerSoap(const char* body, size_t len, const onvifauth::Check& digest, OnvifContext& c) {
  using namespace onvifxml;
  if (len == 0 && digest.result == onvifauth::Check::Missing) {
    // A client that logs in with HTTP Digest first asks without a body (curl does).
    SoapAnswer a = faultAnswer(notAuthorized());
    a.status = 401;
    a.askLogin = true;
    return a;
  }
  XmlDoc doc;
  std::string error;
  if (!doc.parse(body, len, &error)) return faultAnswer(OnvifFault{true, "ter:WellFormed", "", error});
  const xmlNode* env = doc.root();
  if (!is(env, onvifns::kSoap, "Envelope")) {
    OnvifFault f{true, "", "", "Not a SOAP 1.2 envelope"};
    if (env && env->type == XML_ELEMENT_NODE && std::string(reinterpret_cast<const char*>(env->name)) == "Envelope")
      f = OnvifFault{true, "", "", "SOAP version not supported: use SOAP 1.2"};
    return faultAnswer(f);
  }
  const xmlNode* header = child(env, onvifns::kSoap, "Header");
  const xmlNode* op = child(child(env, onvifns::kSoap, "Body"));
  if (!op) return faultAnswer(OnvifFault{true, "ter:InvalidArgs", "", "The SOAP body holds no request"});
  const OnvifOperation* operation = findOperation(op);
  if (!operation) {
    const std::string name = reinterpret_cast<const char*>(op->name);
    return faultAnswer(OnvifFault{false, "ter:ActionNotSupported", "", "Operation '" + name + "' not supported"});
  }

  // The token in the header, else the HTTP Digest login. Calls any client may make before it
  // can log in ignore both: a client sends its token there before it knows our clock.
  if (operation->access != OnvifAccess::PreAuth) {
    onvifauth::Check login =
        onvifauth::checkUsernameToken(child(header, onvifns::kSecExt, "Security"), c.logins, c.nowSec);
    if (login.result == onvifauth::Check::Missing) login = digest;
    if (login.result != onvifauth::Check::Accepted) {
      SoapAnswer a = faultAnswer(notAuthorized());
      if (login.result == onvifauth::Check::Missing) {
        a.status = 401;  // no login at all: the HTTP Digest challenge goes with it
        a.askLogin = true;
      } else {
        g_logFile.log(CLogFile::Warning, "ONVIF",
                      "Login '" + login.login + "' refused for " + operation->name + ": " + login.why,
                      "answerSoap");
      }
      return a;
    }
    if (operation->access == OnvifAccess::Write && login.role != OnvifRole::Administrator)
      return faultAnswer(OnvifFault{true, "ter:NotAuthorized", "", "Only administrators may call " +
                                                                        std::string(operation->name)});
    c.role = login.role;
  }
  XmlWriter out;
  OnvifFault fault;
  if (!operation->handler(c, op, out, &fault)) return faultAnswer(fault);
  SoapAnswer a;
  a.body = envelope(out.finish());
  return a;
}

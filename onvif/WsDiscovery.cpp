#include "onvif/WsDiscovery.h"

#include <arpa/inet.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/CLogFile.h"
#include "onvif/OnvifSoap.h"
#include "onvif/XmlDoc.h"
#include "platform/Clock.h"
#include "platform/HostInfo.h"
#include "platform/Net.h"

namespace wsd {

namespace {

const char kActionBase[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/";
const char kDiscoveryTo[] = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
const char kAnonymous[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
const char kRfc3986[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/rfc3986";
const char kStrcmp0[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0";
const char kTypes[] = "dn:NetworkVideoTransmitter tds:Device";

std::string randomUuid() {
  unsigned char b[16] = {};
  RAND_bytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char t[48];
  std::snprintf(t, sizeof t, "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return t;
}

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Our scope `ours` matches the asked scope under RFC 3986 prefix rules: equal, or `asked`
// is a whole-segment prefix of it.
bool scopeMatches(const std::string& ours, const std::string& asked, bool exact) {
  if (ours == asked) return true;
  if (exact || asked.empty() || ours.compare(0, asked.size(), asked) != 0) return false;
  return asked.back() == '/' || ours[asked.size()] == '/';
}

bool typesMatch(const xmlNode* types) {
  for (const std::string& q : words(onvifxml::text(types))) {
    std::string ns, local;
    onvifxml::resolveQName(types, q, &ns, &local);
    const bool nvt = local == "NetworkVideoTransmitter" && (ns.empty() || ns == onvifns::kNetwork);
    const bool device = local == "Device" && (ns.empty() || ns == onvifns::kDevice);
    if (!nvt && !device) return false;
  }
  return true;
}

bool scopesMatch(const xmlNode* scopes, const WsdIdentity& id) {
  const std::string by = onvifxml::attribute(scopes, "MatchBy");
  if (!by.empty() && by != kRfc3986 && by != kStrcmp0) return false;
  for (const std::string& asked : words(onvifxml::text(scopes))) {
    bool found = false;
    for (const std::string& ours : id.scopes) found = found || scopeMatches(ours, asked, by == kStrcmp0);
    if (!found) return false;
  }
  return true;
}

XmlWriter& head(XmlWriter& w, const char* action, const std::string& to, const std::string& relatesTo,
                const WsdIdentity& id, uint32_t number) {
  w.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  w.open("s:Envelope").attr("xmlns:s", onvifns::kSoap).attr("xmlns:a", onvifns::kAddressing);
  w.attr("xmlns:d", onvifns::kDiscovery).attr("xmlns:dn", onvifns::kNetwork).attr("xmlns:tds", onvifns::kDevice);
  w.open("s:Header").leaf("a:MessageID", randomUuid());
  if (!relatesTo.empty()) w.leaf("a:RelatesTo", relatesTo);
  w.leaf("a:To", to).leaf("a:Action", std::string(kActionBase) + action);
  w.open("d:AppSequence").attr("InstanceId", std::to_string(id.instanceId));
  w.attr("MessageNumber", std::to_string(number)).close();
  return w.close().open("s:Body");
}

void describe(XmlWriter& w, const WsdIdentity& id, const std::string& xaddrs) {
  w.open("a:EndpointReference").leaf("a:Address", id.endpoint).close();
  w.leaf("d:Types", kTypes);
  std::string scopes;
  for (const std::string& s : id.scopes) scopes += (scopes.empty() ? "" : " ") + s;
  w.leaf("d:Scopes", scopes);
  if (!xaddrs.empty()) w.leaf("d:XAddrs", xaddrs);
  w.leaf("d:MetadataVersion", "1");
}

}  // namespace

Ask readRequest(const char* data, size_t len, const WsdIdentity& id, std::string* messageId) {
  using namespace onvifxml;
  XmlDoc doc;
  std::string error;
  if (!doc.parse(data, len, &error) || !is(doc.root(), onvifns::kSoap, "Envelope")) return Ask::Nothing;
  *messageId = text(child(child(doc.root(), onvifns::kSoap, "Header"), onvifns::kAddressing, "MessageID"));
  const xmlNode* body = child(child(doc.root(), onvifns::kSoap, "Body"));
  if (is(body, onvifns::kDiscovery, "Probe")) {
    const xmlNode* types = child(body, onvifns::kDiscovery, "Types");
    const xmlNode* scopes = child(body, onvifns::kDiscovery, "Scopes");
    return typesMatch(types) && scopesMatch(scopes, id) ? Ask::Probe : Ask::Nothing;
  }
  if (is(body, onvifns::kDiscovery, "Resolve")) {
    const xmlNode* epr = child(body, onvifns::kAddressing, "EndpointReference");
    return text(child(epr, onvifns::kAddressing, "Address")) == id.endpoint ? Ask::Resolve : Ask::Nothing;
  }
  return Ask::Nothing;
}

std::string xaddrsFor(const in_addr& address, uint16_t port) {
  return "http://" + platform::ipText(address) + ":" + std::to_string(port) + kDevicePath;
}

std::string hello(const WsdIdentity& id, const std::string& xaddrs, uint32_t number) {
  XmlWriter w;
  head(w, "Hello", kDiscoveryTo, "", id, number).open("d:Hello");
  describe(w, id, xaddrs);
  return w.finish();
}

std::string bye(const WsdIdentity& id, uint32_t number) {
  XmlWriter w;
  head(w, "Bye", kDiscoveryTo, "", id, number).open("d:Bye");
  w.open("a:EndpointReference").leaf("a:Address", id.endpoint).close();
  return w.finish();
}

std::string matches(Ask ask, const WsdIdentity& id, const std::string& xaddrs, const std::string& relatesTo,
                    uint32_t number) {
  const bool probe = ask == Ask::Probe;
  XmlWriter w;
  head(w, probe ? "ProbeMatches" : "ResolveMatches", kAnonymous, relatesTo, id, number);
  w.open(probe ? "d:ProbeMatches" : "d:ResolveMatches").open(probe ? "d:ProbeMatch" : "d:ResolveMatch");
  describe(w, id, xaddrs);
  return w.finish();
}

}  // namespace wsd

WsDiscovery::WsDiscovery(const std::string& address, WsdIdentity id) : m_address(address), m_id(std::move(id)) {}

WsDiscovery::~WsDiscovery() { end(); }

bool WsDiscovery::begin(std::string* error) {
  in_addr addr{};
  if (inet_pton(AF_INET, m_address.c_str(), &addr) != 1) {
    *error = "no IPv4 address: " + m_address;
    return false;
  }
  m_links.clear();
  m_any = addr.s_addr == htonl(INADDR_ANY);
  for (const platform::NetInterface& i : platform::ipv4Interfaces())
    if (m_any ? i.up : i.address.s_addr == addr.s_addr) m_links.push_back({i.address, i.index});
  if (m_links.empty()) {
    *error = "no interface holds " + m_address;
    return false;
  }
  int err = m_sock.open(wsd::kPort);
  in_addr group{};
  inet_pton(AF_INET, wsd::kGroup, &group);
  size_t joined = 0;
  for (const Link& l : m_links)
    if (err == 0 && m_sock.joinGroup(group, l.address) == 0) ++joined;
  if (err == 0 && joined == 0) err = errno;
  if (err == 0) err = m_sock.setMulticastOut(m_links.front().address, 1);  // link-local: one hop
  if (err != 0 || !m_wake.ok()) {
    *error = std::string("UDP port 3702: ") + std::strerror(err ? err : EMFILE);
    m_sock.close();
    return false;
  }
  m_stop = false;
  announce(true);
  if (!start()) {
    *error = "no thread";
    m_sock.close();
    return false;
  }
  m_begun = true;
  return true;
}

void WsDiscovery::end() {
  if (!m_begun) return;
  m_begun = false;
  m_stop = true;
  m_wake.signal();
  join();
  announce(false);
  m_sock.close();
}

void WsDiscovery::announce(bool hello) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(wsd::kPort);
  inet_pton(AF_INET, wsd::kGroup, &to.sin_addr);
  for (const Link& l : m_links) {
    const std::string msg = hello ? wsd::hello(m_id, wsd::xaddrsFor(l.address, m_id.httpPort), ++m_messageNumber)
                                  : wsd::bye(m_id, ++m_messageNumber);
    if (m_sock.setMulticastOut(l.address, 1) == 0) m_sock.sendFrom(msg.data(), msg.size(), to, l.address);
  }
}

bool WsDiscovery::accepts(const platform::UdpSocket::Arrival& a) const {
  for (const Link& l : m_links)
    if (a.ifIndex == l.index || a.to.s_addr == l.address.s_addr) return true;
  return false;
}

bool WsDiscovery::mayAnswer() {
  const uint64_t now = platform::monotonicNs();
  if (now - m_windowStartNs >= 1000000000ull) {
    m_windowStartNs = now;
    m_answersInWindow = 0;
  }
  return m_answersInWindow++ < wsd::kMaxAnswersPerSecond;
}

int WsDiscovery::run() {
  std::vector<char> buf(onvifxml::kMaxMessageBytes);
  while (!m_stop) {
    platform::UdpSocket::Arrival a;
    const ssize_t n = m_sock.receive(buf.data(), buf.size(), &a, 1000, m_wake.readFd());
    if (n < 0) {
      platform::sleepMs(100);  // an error that repeats must not spin
      continue;
    }
    if (n == 0 || !accepts(a)) continue;
    std::string messageId;
    const wsd::Ask ask = wsd::readRequest(buf.data(), static_cast<size_t>(n), m_id, &messageId);
    if (ask == wsd::Ask::Nothing || !mayAnswer()) continue;
    // From the service's address, or (on all interfaces) the one the datagram reached: an
    // address the asker can come back to.
    const in_addr from = m_any ? a.local : m_links.front().address;
    const std::string reply = wsd::matches(ask, m_id, wsd::xaddrsFor(from, m_id.httpPort), messageId, ++m_messageNumber);
    m_sock.sendFrom(reply.data(), reply.size(), a.from, from);
  }
  m_wake.drain();
  return 0;
}

#pragma once
// WS-Discovery for the ONVIF service on UDP 3702: Hello when it starts, Bye when it stops, and
// ProbeMatches / ResolveMatches, sent straight back to the asker, for every Probe or Resolve
// that matches the device. Everything happens on the interface of the service's address: the
// group is joined there and multicast leaves through it, so a service bound to 127.0.0.1 never
// announces itself beyond loopback. With 0.0.0.0 every interface that is up takes part.
//
// Threads: begin() and end() on the owner's thread; run() is the discovery thread. The message
// builders and the probe match below are pure.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "platform/Udp.h"
#include "platform/WakePipe.h"

struct WsdIdentity {
  std::string endpoint;             // "urn:uuid:..."
  std::vector<std::string> scopes;
  uint16_t httpPort = 0;            // the device service's port
  uint32_t instanceId = 0;          // grows with every start (the start time in seconds)
};

namespace wsd {

constexpr uint16_t kPort = 3702;
constexpr const char* kGroup = "239.255.255.250";
// Answers per second at most: a flood of probes (perhaps with a forged sender) cannot make the
// gateway send more than this.
constexpr int kMaxAnswersPerSecond = 20;

// What a datagram asks, when it is a Probe or a Resolve for us; its MessageID in *messageId.
enum class Ask { Nothing, Probe, Resolve };
Ask readRequest(const char* data, size_t len, const WsdIdentity& id, std::string* messageId);

std::string hello(const WsdIdentity& id, const std::string& xaddrs, uint32_t messageNumber);
std::string bye(const WsdIdentity& id, uint32_t messageNumber);
std::string matches(Ask ask, const WsdIdentity& id, const std::string& xaddrs, const std::string& relatesTo,
                    uint32_t messageNumber);
std::string xaddrsFor(const in_addr& address, uint16_t port);

}  // namespace wsd

class WsDiscovery : public CThread {
 public:
  // address: the service's dotted address ("0.0.0.0": all interfaces).
  WsDiscovery(const std::string& address, WsdIdentity id);
  ~WsDiscovery() override;  // end()

  // Opens the socket, joins the group, says Hello and starts the thread. False with *error.
  bool begin(std::string* error);
  // Ends the thread and says Bye.
  void end();

 protected:
  int run() override;

 private:
  struct Link {
    in_addr address;
    int index;
  };
  void announce(bool hello);
  bool accepts(const platform::UdpSocket::Arrival& a) const;
  bool mayAnswer();

  const std::string m_address;
  const WsdIdentity m_id;
  std::vector<Link> m_links;  // the interfaces taking part
  bool m_any = false;         // the service listens on all interfaces
  platform::UdpSocket m_sock;
  platform::WakePipe m_wake;
  std::atomic<bool> m_stop{false};
  std::atomic<uint32_t> m_messageNumber{0};
  bool m_begun = false;
  uint64_t m_windowStartNs = 0;  // discovery thread: answer rate limit
  int m_answersInWindow = 0;
};

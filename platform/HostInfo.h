#pragma once
// What the host says about itself: its name, its stable machine identity and its IPv4
// interfaces. Any thread may call these; each call asks the system afresh.
#include <netinet/in.h>

#include <string>
#include <vector>

namespace platform {

struct NetInterface {
  std::string name;       // "eth0"
  int index = 0;          // the system's interface number
  in_addr address{};      // one IPv4 address of the interface
  int prefixLength = 0;   // of that address's network
  std::string hwAddress;  // "00:1a:2b:3c:4d:5e"; "" when the interface has none
  int mtu = 0;
  bool up = false;
  bool loopback = false;
};

// Every IPv4 address of every interface, one entry per address, in the system's order.
std::vector<NetInterface> ipv4Interfaces();
// The host's name ("" when the system gives none).
std::string hostName();
// The system's machine identity (/etc/machine-id, else D-Bus's copy): the same across
// restarts and address changes. "" when the system has none.
std::string machineId();

}  // namespace platform

#include "platform/HostInfo.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

namespace platform {

namespace {

int prefixOf(const sockaddr* mask) {
  if (!mask || mask->sa_family != AF_INET) return 0;
  uint32_t m = ntohl(reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr);
  int n = 0;
  while (m & 0x80000000u) {
    ++n;
    m <<= 1;
  }
  return n;
}

int mtuOf(const std::string& name) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  ifreq r{};
  std::strncpy(r.ifr_name, name.c_str(), IFNAMSIZ - 1);
  const int mtu = ::ioctl(fd, SIOCGIFMTU, &r) == 0 ? r.ifr_mtu : 0;
  ::close(fd);
  return mtu;
}

}  // namespace

std::vector<NetInterface> ipv4Interfaces() {
  std::vector<NetInterface> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  std::map<std::string, std::string> macs;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    if (ll->sll_halen != 6) continue;
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", ll->sll_addr[0],
                  ll->sll_addr[1], ll->sll_addr[2], ll->sll_addr[3], ll->sll_addr[4], ll->sll_addr[5]);
    macs[a->ifa_name] = text;
  }
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    NetInterface i;
    i.name = a->ifa_name;
    i.index = static_cast<int>(::if_nametoindex(a->ifa_name));
    i.address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
    i.prefixLength = prefixOf(a->ifa_netmask);
    i.hwAddress = macs.count(i.name) ? macs[i.name] : "";
    i.mtu = mtuOf(i.name);
    i.up = (a->ifa_flags & IFF_UP) != 0;
    i.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
    if (i.loopback && i.hwAddress == "00:00:00:00:00:00") i.hwAddress.clear();
    out.push_back(i);
  }
  ::freeifaddrs(list);
  return out;
}

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string machineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(path);
    std::string id;
    if (in >> id && !id.empty()) return id;
  }
  return "";
}

}  // namespace platform

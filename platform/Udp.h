#pragma once
// The datagram seam: one IPv4 UDP socket for multicast discovery. It receives with the address
// and interface each datagram arrived on, sends with a chosen source address, and joins a group
// on one interface only, so a service bound to one address never hears or answers beyond it.
//
// Ownership: owns its descriptor; destruction closes it. Not copyable.
// Threads: one thread uses a socket (the discovery thread); nothing else touches it.
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace platform {

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds to port on all addresses (a group's datagrams arrive only at sockets bound so), with
  // SO_REUSEADDR, since other discovery listeners of the host share the port; every datagram is
  // received with its arrival address (IP_PKTINFO). 0 or errno.
  int open(uint16_t port);
  // Joins group on the interface that holds ifaceAddr (INADDR_ANY: the one the system picks)
  // and receives only the groups joined here (IP_MULTICAST_ALL off). 0 or errno.
  int joinGroup(const in_addr& group, const in_addr& ifaceAddr);
  // Multicast leaves through the interface holding ifaceAddr (INADDR_ANY: the system's choice),
  // with the given hop limit, and is looped back to this host's own listeners. 0 or errno.
  int setMulticastOut(const in_addr& ifaceAddr, int ttl);
  void close();
  bool isOpen() const { return m_fd >= 0; }

  struct Arrival {
    sockaddr_in from{};
    in_addr to{};        // the datagram's destination (a group or our own address)
    in_addr local{};     // the address of ours the datagram arrived at
    int ifIndex = 0;     // the interface it arrived on
  };
  // Waits up to timeoutMs (< 0: no limit) for a datagram or for wakeFd (-1: none) to become
  // readable. The datagram's length (cut to cap) with *arrival filled; 0 on time-out or wake;
  // -1 on error (errno kept).
  ssize_t receive(void* buf, size_t cap, Arrival* arrival, int timeoutMs, int wakeFd);
  // Sends one datagram from source address src (INADDR_ANY: the system's choice). The bytes
  // sent or -1 (errno kept).
  ssize_t sendFrom(const void* data, size_t len, const sockaddr_in& to, const in_addr& src);

 private:
  int m_fd = -1;
};

}  // namespace platform

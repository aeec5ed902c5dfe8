#include "platform/Udp.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

UdpSocket::~UdpSocket() { close(); }

void UdpSocket::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int UdpSocket::open(uint16_t port) {
  close();
  m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (m_fd < 0) return errno;
  const int on = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
      ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int err = errno;
    close();
    return err;
  }
  return 0;
}

int UdpSocket::joinGroup(const in_addr& group, const in_addr& ifaceAddr) {
  ip_mreq m{};
  m.imr_multiaddr = group;
  m.imr_interface = ifaceAddr;
  const int off = 0;
  if (::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0) return errno;
  return ::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 ? 0 : errno;
}

int UdpSocket::setMulticastOut(const in_addr& ifaceAddr, int ttl) {
  const unsigned char hops = static_cast<unsigned char>(ttl), loop = 1;
  if (::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &ifaceAddr, sizeof ifaceAddr) != 0 ||
      ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) != 0 ||
      ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
    return errno;
  return 0;
}

ssize_t UdpSocket::receive(void* buf, size_t cap, Arrival* arrival, int timeoutMs, int wakeFd) {
  pollfd p[2] = {{m_fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  int r;
  do {
    r = ::poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return r;
  if (!(p[0].revents & POLLIN)) return (p[0].revents & (POLLERR | POLLNVAL)) ? -1 : 0;
  iovec io{buf, cap};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr msg{};
  msg.msg_name = &arrival->from;
  msg.msg_namelen = sizeof arrival->from;
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(m_fd, &msg, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN ? 0 : -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
    in_pktinfo info;
    std::memcpy(&info, CMSG_DATA(c), sizeof info);
    arrival->to = info.ipi_addr;
    arrival->local = info.ipi_spec_dst;
    arrival->ifIndex = info.ipi_ifindex;
  }
  return n;
}

ssize_t UdpSocket::sendFrom(const void* data, size_t len, const sockaddr_in& to, const in_addr& src) {
  iovec io{const_cast<void*>(data), len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&to);
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  if (src.s_addr != htonl(INADDR_ANY)) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = src;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  ssize_t n;
  do {
    n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace platform

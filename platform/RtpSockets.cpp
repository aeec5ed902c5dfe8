#include "platform/RtpSockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Net.h"

namespace platform {

namespace {

constexpr int kPortTries = 16;  // the system's even port may have a taken neighbour

int udpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP); }

sockaddr_in address(const in_addr& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr = ip;
  a.sin_port = htons(port);
  return a;
}

int bindTo(int fd, const in_addr& ip, uint16_t port) {
  const sockaddr_in a = address(ip, port);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
}

int connectTo(int fd, const in_addr& ip, uint16_t port) {
  const sockaddr_in a = address(ip, port);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
}

}  // namespace

void closeUdpPair(UdpPair* p) {
  if (p->rtp >= 0) ::close(p->rtp);
  if (p->rtcp >= 0) ::close(p->rtcp);
  *p = UdpPair();
}

int openUdpPair(const std::string& localIp, const std::string& peerIp, uint16_t peerRtpPort,
                uint16_t peerRtcpPort, UdpPair* out) {
  in_addr local{}, peer{};
  if (inet_pton(AF_INET, localIp.c_str(), &local) != 1 || inet_pton(AF_INET, peerIp.c_str(), &peer) != 1)
    return EINVAL;
  int err = EADDRINUSE;
  for (int i = 0; i < kPortTries; ++i) {
    UdpPair p;
    p.rtp = udpSocket();
    p.rtcp = udpSocket();
    if (p.rtp < 0 || p.rtcp < 0) {
      err = errno;
      closeUdpPair(&p);
      return err;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    err = bindTo(p.rtp, local, 0);
    if (err == 0 && ::getsockname(p.rtp, reinterpret_cast<sockaddr*>(&bound), &len) != 0) err = errno;
    const uint16_t port = ntohs(bound.sin_port);
    if (err == 0 && (port % 2 != 0 || port == 65535)) err = EADDRINUSE;  // RTP takes the even port
    if (err == 0) err = bindTo(p.rtcp, local, static_cast<uint16_t>(port + 1));
    if (err == 0) err = connectTo(p.rtp, peer, peerRtpPort);
    if (err == 0) err = connectTo(p.rtcp, peer, peerRtcpPort);
    if (err == 0) {
      p.rtpPort = port;
      *out = p;
      return 0;
    }
    closeUdpPair(&p);
    if (err != EADDRINUSE) return err;
  }
  return err;
}

int sendDatagramsNow(int fd, const iovec* pieces, const int* piecesPer, int count) {
  constexpr int kBatch = 64;
  mmsghdr msgs[kBatch];
  int sent = 0;
  while (sent < count) {
    const int n = count - sent < kBatch ? count - sent : kBatch;
    const iovec* p = pieces;
    for (int i = 0; i < n; ++i) {
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_iov = const_cast<iovec*>(p);
      msgs[i].msg_hdr.msg_iovlen = static_cast<size_t>(piecesPer[sent + i]);
      p += piecesPer[sent + i];
    }
    int r;
    do {
      r = ::sendmmsg(fd, msgs, static_cast<unsigned>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return sent > 0 ? sent : -1;
    for (int i = 0; i < r; ++i) pieces += piecesPer[sent + i];
    sent += r;
    if (r < n) break;
  }
  return sent;
}

ssize_t sendDatagramNow(int fd, const void* data, size_t len) {
  return ::send(fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
}

int drainDatagrams(int fd) {
  char buf[2048];
  int n = 0;
  while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0 && n < 1000) ++n;
  return n;
}

int duplicateHandle(int fd) {
  ignoreSigpipe();
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

int shutdownSending(int fd) { return ::shutdown(fd, SHUT_WR) == 0 ? 0 : errno; }

}  // namespace platform

#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int connectFrom(const char* source, uint16_t port, int rcvBuf) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvBuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
  bool ok = true;
  if (source) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    ok = ::inet_pton(AF_INET, source, &s.sin_addr) == 1 &&
         ::bind(fd, reinterpret_cast<sockaddr*>(&s), sizeof s) == 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (!ok || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connectTo(uint16_t port, int rcvBuf) { return connectFrom(nullptr, port, rcvBuf); }

#include "platform/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/Clock.h"

namespace platform {

void ignoreSigpipe() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

int tcpSocket(int* err) {
  ignoreSigpipe();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0 && err) *err = errno;
  return fd;
}

int closeSocket(int fd) { return ::close(fd) == 0 ? 0 : errno; }

int shutdownSocket(int fd) { return ::shutdown(fd, SHUT_RDWR) == 0 ? 0 : errno; }

int bindIPv4(int fd, const in_addr& ip, uint16_t port) {
  setReuseAddress(fd);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr = ip;
  a.sin_port = htons(port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
}

int listenSocket(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : errno; }

bool setBlocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

bool setSendBufferSize(int fd, int bytes) {
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool setAbortiveClose(int fd) {
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

bool setReuseAddress(int fd) {
  int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

static bool setTimeoutOption(int fd, int option, int ms) {
  if (ms < 0) ms = 0;
  timeval tv{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

bool setSendTimeoutMs(int fd, int ms) { return setTimeoutOption(fd, SO_SNDTIMEO, ms); }
bool setRecvTimeoutMs(int fd, int ms) { return setTimeoutOption(fd, SO_RCVTIMEO, ms); }

bool setRecvTimeoutNs(int fd, int64_t ns) {
  if (ns < 0) ns = 0;
  int64_t us = (ns + 999) / 1000;
  timeval tv{time_t(us / 1000000), suseconds_t(us % 1000000)};
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// ppoll gives the microsecond resolution that callers with (seconds, microseconds) time-outs
// expect; a signal that interrupts the wait does not shorten it.
static int waitFor(int fd, short events, int64_t timeoutNs) {
  if (fd < 0) {  // poll() would skip it and sleep out the whole time-out
    errno = EBADF;
    return -1;
  }
  pollfd p{fd, events, 0};
  if (timeoutNs < 0) {
    for (;;) {
      int r = ::ppoll(&p, 1, nullptr, nullptr);
      if (r >= 0) return r > 0 ? 1 : 0;
      if (errno != EINTR) return -1;
    }
  }
  const uint64_t end = monotonicNs() + uint64_t(timeoutNs);
  for (;;) {
    uint64_t now = monotonicNs();
    uint64_t left = now < end ? end - now : 0;
    timespec ts{time_t(left / 1000000000ull), long(left % 1000000000ull)};
    int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int waitReadable(int fd, int64_t timeoutNs) { return waitFor(fd, POLLIN, timeoutNs); }
int waitWritable(int fd, int64_t timeoutNs) { return waitFor(fd, POLLOUT, timeoutNs); }

ssize_t sendOnce(int fd, const void* data, size_t len) {
  ssize_t n;
  do {
    n = ::send(fd, data, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t sendVecOnce(int fd, const iovec* pieces, int count) {
  msghdr msg{};
  msg.msg_iov = const_cast<iovec*>(pieces);
  msg.msg_iovlen = static_cast<size_t>(count);
  ssize_t n;
  do {
    n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t recvOnce(int fd, void* buf, size_t len, bool peek) {
  ssize_t n;
  do {
    n = ::recv(fd, buf, len, peek ? MSG_PEEK : 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t recvNow(int fd, void* buf, size_t len, bool peek) {
  ssize_t n;
  do {
    n = ::recv(fd, buf, len, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
  } while (n < 0 && errno == EINTR);
  return n;
}

size_t queuedBytes(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? size_t(n) : 0;
}

int acceptTimed(int fd, int timeoutMs, sockaddr_in* peer, int* err) {
  int w = waitReadable(fd, timeoutMs < 0 ? -1 : int64_t(timeoutMs) * 1000000);
  if (w <= 0) {
    if (err) *err = w == 0 ? ETIMEDOUT : errno;
    return -1;
  }
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int c;
  do {
    c = ::accept4(fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  if (c < 0) {
    if (err) *err = errno;
    return -1;
  }
  if (peer) *peer = a;
  return c;
}

int connectTimed(int fd, const sockaddr_in& addr, int timeoutMs) {
  ignoreSigpipe();
  if (!setBlocking(fd, false)) return errno ? errno : EINVAL;
  int result = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    result = errno;
    if (result == EINPROGRESS || result == EINTR) {
      int w = waitWritable(fd, timeoutMs < 0 ? -1 : int64_t(timeoutMs) * 1000000);
      if (w == 0) {
        result = ETIMEDOUT;
      } else if (w < 0) {
        result = errno;
      } else {
        int soError = 0;
        socklen_t len = sizeof soError;
        result = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 ? soError : errno;
      }
    }
  }
  setBlocking(fd, true);
  return result;
}

bool localName(int fd, sockaddr_in* out) {
  socklen_t len = sizeof *out;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(out), &len) == 0 && out->sin_family == AF_INET;
}

bool peerName(int fd, sockaddr_in* out) {
  socklen_t len = sizeof *out;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(out), &len) == 0 && out->sin_family == AF_INET;
}

int resolveIPv4(const std::string& host, const std::string& service, sockaddr_in* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (r != 0) return r;
  if (!list) return EAI_NONAME;
  std::memcpy(out, list->ai_addr, sizeof *out);
  ::freeaddrinfo(list);
  return 0;
}

std::string ipText(const in_addr& a) {
  char text[INET_ADDRSTRLEN] = {0};
  if (!::inet_ntop(AF_INET, &a, text, sizeof text)) return std::string();
  return text;
}

}  // namespace platform

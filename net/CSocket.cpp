#include "net/CSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "net/TextHelpers.h"
#include "platform/Clock.h"
#include "platform/Net.h"

namespace {

// How much of a line is looked at per peek. Lines are short (request lines, headers, part heads),
// so a small window keeps the copy of bytes that belong to a following body small.
constexpr size_t kPeekWindow = 512;

int64_t secondsToNs(int sec) { return sec < 0 ? -1 : int64_t(sec) * 1000000000; }

}  // namespace

CSocket::CSocket(int handle, bool blocking) : m_handle(handle < 0 ? kNone : handle) {
  platform::ignoreSigpipe();
  if (m_handle != kNone) {
    platform::setBlocking(m_handle, blocking);
    platform::setSendBufferSize(m_handle, kSendBufferBytes);
  }
}

CSocket::~CSocket() { close(); }

int CSocket::release() { return m_handle.exchange(kNone); }

int CSocket::create() {
  if (isOpen()) return 0;
  int err = 0;
  int fd = platform::tcpSocket(&err);
  if (fd < 0) return m_lastError = err;
  m_handle = fd;
  return 0;
}

int CSocket::bind(const std::string& ip, uint16_t port) {
  if (!is_valid_ip(ip)) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_aton(ip.c_str(), &a.sin_addr) == 0) return -1;
  // A restarted gateway must get its port back while old connections linger in TIME_WAIT;
  // this does not let two listeners share a port.
  platform::setReuseAddress(handle());
  if (::bind(handle(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return m_lastError = errno;
  return 0;
}

int CSocket::listen(int backlog) {
  if (::listen(handle(), backlog) != 0) return m_lastError = errno;
  return 0;
}

int CSocket::accept(int timeoutMs, CNetAddr* peer) {
  sockaddr_in a{};
  int err = 0;
  int fd = platform::acceptTimed(handle(), timeoutMs, &a, &err);
  if (fd < 0) {
    m_lastError = err;
    return -1;
  }
  if (peer) *peer = toNetAddr(a);
  return fd;
}

int CSocket::connect(const sockaddr_in& addr, int timeoutMs) {
  int r = platform::connectTimed(handle(), addr, timeoutMs);
  if (r != 0) m_lastError = r;
  return r;
}

void CSocket::close() {
  int fd = m_handle.exchange(kNone);
  if (fd != kNone) platform::closeSocket(fd);
}

void CSocket::shutdown() {
  int fd = m_handle.load();
  if (fd != kNone) platform::shutdownSocket(fd);
}

int CSocket::waitRead(int64_t timeoutNs) {
  if (m_deadlineNs != 0) {
    uint64_t now = platform::monotonicNs();
    if (now >= m_deadlineNs) return 0;
    int64_t left = int64_t(m_deadlineNs - now);
    if (timeoutNs < 0 || left < timeoutNs) timeoutNs = left;
  }
  int w = platform::waitReadable(handle(), timeoutNs);
  if (w < 0) m_lastError = errno;
  if (w == 0) m_lastError = ETIMEDOUT;
  return w;
}

bool CSocket::waitReadable(int timeoutMs) { return waitRead(timeoutMs < 0 ? -1 : int64_t(timeoutMs) * 1000000) > 0; }

int CSocket::recv(void* buf, size_t len) {
  ssize_t n = platform::recvOnce(handle(), buf, len);
  if (n < 0) m_lastError = errno;
  return int(n);
}

int CSocket::recv_all(void* buf, size_t len, int sec, int usec) {
  int64_t timeoutNs = int64_t(sec) * 1000000000 + int64_t(usec) * 1000;
  if (timeoutNs < 0) timeoutNs = -1;
  char* out = static_cast<char*>(buf);
  size_t got = 0;
  int last = 0;
  while (got < len) {
    int w = waitRead(timeoutNs);
    if (w <= 0) {
      last = w;
      break;
    }
    ssize_t n = platform::recvOnce(handle(), out + got, len - got);
    if (n <= 0) {
      if (n < 0) m_lastError = errno;
      last = int(n);
      break;
    }
    got += size_t(n);
  }
  if (got > 0) return got > size_t(INT_MAX) ? INT_MAX : int(got);
  return last;
}

bool CSocket::read_line(char* buf, size_t& len, int timeoutSec) {
  const size_t capacity = len;
  if (!buf || capacity == 0) return false;
  const int64_t timeoutNs = secondsToNs(timeoutSec);
  size_t stored = 0;
  for (;;) {
    if (waitRead(timeoutNs) <= 0) return false;
    // Look at what is waiting, then take exactly the bytes that belong to this line (up to and
    // including its line feed, or up to the byte that fills the buffer).
    const size_t window = std::min(capacity - stored, kPeekWindow);
    char* raw = buf + stored;
    ssize_t seen = platform::recvOnce(handle(), raw, window, true);
    if (seen <= 0) {
      if (seen < 0) m_lastError = errno;
      return false;
    }
    size_t take = 0;
    for (size_t room = capacity - stored; take < size_t(seen);) {
      char c = raw[take++];
      if (c == '\n') break;
      if (c != '\r' && --room == 0) break;
    }
    ssize_t got = platform::recvOnce(handle(), raw, take);
    if (got <= 0) {
      if (got < 0) m_lastError = errno;
      return false;
    }
    // Compact in place: carriage returns vanish wherever they stand.
    for (ssize_t i = 0; i < got; ++i) {
      char c = raw[i];
      if (c == '\n') {
        buf[stored] = '\0';
        len = stored;
        return true;
      }
      if (c == '\r') continue;
      buf[stored++] = c;
      if (stored == capacity) return false;
    }
  }
}

bool CSocket::read_line(std::string& line, size_t capacity, int timeoutSec) {
  line.assign(capacity, '\0');
  size_t len = capacity;
  if (!read_line(&line[0], len, timeoutSec)) {
    line.clear();
    return false;
  }
  line.resize(len);
  return true;
}

int CSocket::send(const char* text) { return send(text, text ? std::strlen(text) : 0); }

int CSocket::send(const void* data, size_t len) {
  ssize_t n = platform::sendOnce(handle(), data, len);
  if (n < 0) m_lastError = errno;
  return n > INT_MAX ? INT_MAX : int(n);
}

bool CSocket::setSendTimeout(int ms) { return platform::setSendTimeoutMs(handle(), ms); }
bool CSocket::setRecvTimeout(int ms) { return platform::setRecvTimeoutMs(handle(), ms); }

CNetAddr CSocket::localAddress() const { return ::localAddress(handle()); }

CNetAddr CSocket::peerAddress() const {
  sockaddr_in a{};
  if (handle() == kNone || !platform::peerName(handle(), &a)) return CNetAddr();
  return toNetAddr(a);
}

int resolve(const std::string& host, const std::string& service, sockaddr_in* out) {
  return platform::resolveIPv4(host, service, out);
}

CNetAddr toNetAddr(const sockaddr_in& a) { return CNetAddr(platform::ipText(a.sin_addr), ntohs(a.sin_port)); }

CNetAddr localAddress(int handle) {
  sockaddr_in a{};
  if (handle < 0 || !platform::localName(handle, &a)) return CNetAddr();
  return toNetAddr(a);
}

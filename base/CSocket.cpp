#include "base/CSocket.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/CLogFile.h"
#include "base/TextHelpers.h"
#include "platform/Clock.h"
#include "platform/Net.h"

namespace {

// How much of a line is looked at per peek. Lines are short (request lines, headers, part heads),
// so a small window keeps the copy of bytes that belong to a following body small.
constexpr size_t kPeekWindow = 512;

int64_t secondsToNs(int sec) { return sec < 0 ? -1 : int64_t(sec) * 1000000000; }

}  // namespace

CSocket::CSocket(int handle, bool blocking) : m_handle(handle < 0 ? kNone : handle), m_blocking(blocking) {
  platform::ignoreSigpipe();
  if (m_handle != kNone) {
    platform::setBlocking(m_handle, blocking);
    platform::setSendBufferSize(m_handle, kSendBufferBytes);
  }
}

CSocket::~CSocket() { close(); }

int CSocket::release() {
  std::lock_guard<std::mutex> g(m_handleLock);
  return m_handle.exchange(kNone);
}

std::string CSocket::errorText() const {
  if (m_lastError == 0) return "";
  return std::string(m_failedOp) + ": " + std::strerror(m_lastError);
}

int CSocket::create() {
  m_lastError = 0;
  if (isOpen()) return 0;
  int err = 0;
  int fd = platform::tcpSocket(&err);
  if (fd < 0) return keepError("socket", err);
  {
    std::lock_guard<std::mutex> g(m_handleLock);
    m_handle = fd;
  }
  m_readAhead = true;
  m_blocking = true;
  m_kernelRecvTimeoutNs = 0;
  return 0;
}

int CSocket::bind(const std::string& ip, uint16_t port) {
  in_addr a{};
  if (!is_valid_ip(ip) || inet_aton(ip.c_str(), &a) == 0) return keepError("bind", EAFNOSUPPORT);
  return keepError("bind", platform::bindIPv4(handle(), a, port));
}

int CSocket::listen(int backlog) { return keepError("listen", platform::listenSocket(handle(), backlog)); }

int CSocket::accept(int timeoutMs, CNetAddr* peer) {
  sockaddr_in a{};
  int err = 0;
  int fd = platform::acceptTimed(handle(), timeoutMs, &a, &err);
  if (fd < 0) {
    keepError("accept", err);
    return -1;
  }
  m_lastError = 0;
  if (peer) *peer = toNetAddr(a);
  return fd;
}

int CSocket::connect(const sockaddr_in& addr, int timeoutMs) {
  return keepError("connect", platform::connectTimed(handle(), addr, timeoutMs));
}

void CSocket::setTransport(std::unique_ptr<SocketTransport> t) {
  assert(buffered() == 0 && "a layer is set before the first read");
  m_transport = std::move(t);
  if (m_transport) m_readAhead = true;
}

int CSocket::waitWritable(int64_t timeoutNs) {
  const int w = m_transport ? m_transport->waitSendable(timeoutNs) : platform::waitWritable(handle(), timeoutNs);
  keepError("wait", w < 0 ? errno : w == 0 ? ETIMEDOUT : 0);
  return w;
}

void CSocket::close() {
  m_transport.reset();  // before the handle goes: the layer may still refer to it
  m_bufPos = m_bufLen = 0;
  m_kernelRecvTimeoutNs = -1;
  std::lock_guard<std::mutex> g(m_handleLock);
  int fd = m_handle.exchange(kNone);
  if (fd != kNone) platform::closeSocket(fd);
}

void CSocket::shutdown() {
  std::lock_guard<std::mutex> g(m_handleLock);
  int fd = m_handle.load();
  if (fd != kNone) platform::shutdownSocket(fd);
}

int CSocket::waitRead(int64_t timeoutNs) {
  if (m_transport && m_transport->pending()) return 1;
  if (m_deadlineNs != 0) {
    uint64_t now = platform::monotonicNs();
    if (now >= m_deadlineNs) return 0;
    int64_t left = int64_t(m_deadlineNs - now);
    if (timeoutNs < 0 || left < timeoutNs) timeoutNs = left;
  }
  int w = platform::waitReadable(handle(), timeoutNs);
  if (w < 0) keepError("wait", errno);
  if (w == 0) keepError("wait", ETIMEDOUT);
  return w;
}

bool CSocket::applyRecvTimeout(int64_t ns) {
  if (ns == m_kernelRecvTimeoutNs) return true;
  // 0 means "no limit" to the kernel, as it does here.
  if (!platform::setRecvTimeoutNs(handle(), ns)) {
    m_kernelRecvTimeoutNs = -1;
    return false;
  }
  m_kernelRecvTimeoutNs = ns;
  return true;
}

int CSocket::receiveTimed(void* buf, size_t len, int64_t timeoutNs, bool peek) {
  if (m_deadlineNs != 0) {
    uint64_t now = platform::monotonicNs();
    if (now >= m_deadlineNs) {
      keepError("receive", ETIMEDOUT);
      return 0;
    }
    int64_t left = int64_t(m_deadlineNs - now);
    if (timeoutNs < 0 || left < timeoutNs) timeoutNs = left;
  }
  if (m_transport) {
    const int got = m_transport->receive(buf, len, timeoutNs);
    if (got >= 0) return got;
    const int err = errno;
    keepError("receive", err == EAGAIN ? ETIMEDOUT : err);
    return err == EAGAIN ? 0 : -1;
  }
  ssize_t n;
  if (timeoutNs == 0) {
    n = platform::recvNow(handle(), buf, len, peek);
  } else if (m_blocking && applyRecvTimeout(timeoutNs < 0 ? 0 : timeoutNs)) {
    n = platform::recvOnce(handle(), buf, len, peek);
  } else {
    n = platform::recvNow(handle(), buf, len, peek);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int w = waitRead(timeoutNs);
      if (w <= 0) return w;
      n = platform::recvOnce(handle(), buf, len, peek);
    }
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    keepError("receive", ETIMEDOUT);
    return 0;
  }
  if (n < 0) keepError("receive", errno);
  return n > INT_MAX ? INT_MAX : int(n);
}

bool CSocket::waitReadable(int timeoutMs) {
  m_lastError = 0;
  return buffered() > 0 || waitRead(timeoutMs < 0 ? -1 : int64_t(timeoutMs) * 1000000) > 0;
}

int CSocket::receiveQueued(void* buf, size_t len, int timeoutMs, bool peek) {
  m_lastError = 0;
  const int n = receiveTimed(buf, len, timeoutMs < 0 ? -1 : int64_t(timeoutMs) * 1000000, peek);
  return n == 0 && m_lastError == ETIMEDOUT ? -1 : n;
}

size_t CSocket::queuedBytes() const { return isOpen() ? platform::queuedBytes(handle()) : 0; }

size_t blankLinesAt(const char* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    if (p[i] == '\n') {
      ++i;
    } else if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') {
      i += 2;
    } else {
      break;
    }
  }
  return i;
}

bool CSocket::unread(const void* data, size_t n) {
  assert(data || n == 0);
  if (buffered() > 0 || n > kReadAheadBytes) return false;
  if (n == 0) return true;
  if (!m_buf) m_buf.reset(new char[kReadAheadBytes]);
  std::memcpy(m_buf.get(), data, n);
  m_bufPos = 0;
  m_bufLen = n;
  return true;
}

size_t CSocket::takeBuffered(void* out, size_t len) {
  size_t n = std::min(len, buffered());
  if (n) {
    std::memcpy(out, m_buf.get() + m_bufPos, n);
    m_bufPos += n;
  }
  return n;
}

int CSocket::recv(void* buf, size_t len) {
  m_lastError = 0;
  if (buffered() > 0 && len > 0) return int(takeBuffered(buf, std::min(len, size_t(INT_MAX))));
  if (m_transport) return receiveTimed(buf, len, m_userRecvTimeoutNs == 0 ? -1 : m_userRecvTimeoutNs, false);
  if (m_kernelRecvTimeoutNs != m_userRecvTimeoutNs) applyRecvTimeout(m_userRecvTimeoutNs);
  ssize_t n = platform::recvOnce(handle(), buf, len);
  if (n < 0) keepError("receive", errno);
  return int(n);
}

int CSocket::recv_all(void* buf, size_t len, int sec, int usec) {
  int64_t timeoutNs = int64_t(sec) * 1000000000 + int64_t(usec) * 1000;
  if (timeoutNs < 0) timeoutNs = -1;
  m_lastError = 0;
  char* out = static_cast<char*>(buf);
  assert(out || len == 0);
  size_t got = takeBuffered(out, len);
  int last = 0;
  while (got < len) {
    // A short remainder goes through the read-ahead buffer, so the bytes behind it (the next
    // part head of a stream) arrive with the same receive; a long one goes straight to the caller.
    const bool viaBuffer = m_readAhead && len - got < kReadAheadBytes;
    if (viaBuffer && !m_buf) m_buf.reset(new char[kReadAheadBytes]);
    int n = viaBuffer ? receiveTimed(m_buf.get(), kReadAheadBytes, timeoutNs, false)
                      : receiveTimed(out + got, len - got, timeoutNs, false);
    if (n <= 0) {
      last = n;
      break;
    }
    if (viaBuffer) {
      m_bufPos = 0;
      m_bufLen = size_t(n);
      got += takeBuffered(out + got, len - got);
    } else {
      got += size_t(n);
    }
  }
  if (got > 0) return got > size_t(INT_MAX) ? INT_MAX : int(got);
  return last;
}

namespace {

// The line-reading rules over one piece of input: a line feed ends the line (true, with the
// terminating zero written), carriage returns vanish, other bytes are stored; filling the buffer
// is an error. *used tells how many input bytes were consumed.
enum class LineStep { More, Done, Full };

// The line goes to buf, or when buf is null, is appended to str.
LineStep feedLine(const char* in, size_t n, char* buf, std::string* str, size_t capacity, size_t& stored,
                  size_t* used) {
  for (size_t i = 0; i < n; ++i) {
    char c = in[i];
    if (c == '\n') {
      if (buf) buf[stored] = '\0';
      *used = i + 1;
      return LineStep::Done;
    }
    if (c == '\r') continue;
    if (buf) {
      buf[stored] = c;
    } else {
      str->push_back(c);
    }
    ++stored;
    if (stored == capacity) {
      *used = i + 1;
      return LineStep::Full;
    }
  }
  *used = n;
  return LineStep::More;
}

}  // namespace

bool CSocket::read_line(char* buf, size_t& len, int timeoutSec) {
  if (!buf) return false;
  return readLine(buf, nullptr, len, timeoutSec);
}

bool CSocket::read_line(std::string& line, size_t capacity, int timeoutSec) {
  // Appends as it goes: a large capacity costs nothing up front.
  line.clear();
  size_t len = capacity;
  if (readLine(nullptr, &line, len, timeoutSec)) return true;
  line.clear();
  return false;
}

bool CSocket::readLine(char* buf, std::string* str, size_t& len, int timeoutSec) {
  assert(buf || str);
  const size_t capacity = len;
  m_lastError = 0;
  if (capacity == 0) return false;
  const int64_t timeoutNs = secondsToNs(timeoutSec);
  size_t stored = 0;
  for (;;) {
    LineStep step;
    size_t used = 0;
    if (buffered() > 0) {
      step = feedLine(m_buf.get() + m_bufPos, buffered(), buf, str, capacity, stored, &used);
      m_bufPos += used;
    } else if (m_readAhead) {
      if (!m_buf) m_buf.reset(new char[kReadAheadBytes]);
      int n = receiveTimed(m_buf.get(), kReadAheadBytes, timeoutNs, false);
      if (n <= 0) return false;
      m_bufPos = 0;
      m_bufLen = size_t(n);
      continue;
    } else {
      // Look at what is waiting, then take exactly the bytes that belong to this line.
      char peeked[kPeekWindow];
      int n = receiveTimed(peeked, std::min(kPeekWindow, capacity - stored), timeoutNs, true);
      if (n <= 0) return false;
      step = feedLine(peeked, size_t(n), buf, str, capacity, stored, &used);
      ssize_t taken = platform::recvOnce(handle(), peeked, used);
      if (taken != ssize_t(used)) {
        if (taken < 0) keepError("receive", errno);
        return false;
      }
    }
    if (step == LineStep::Done) {
      len = stored;
      return true;
    }
    if (step == LineStep::Full) return false;
  }
}

int CSocket::send(const char* text) { return send(text, text ? std::strlen(text) : 0); }

int CSocket::send(const void* data, size_t len) {
  ssize_t n = m_transport ? m_transport->send(data, len) : platform::sendOnce(handle(), data, len);
  keepError("send", n < 0 ? errno : 0);
  return n > INT_MAX ? INT_MAX : int(n);
}

int CSocket::sendv(const iovec* pieces, int count) {
  assert(count >= 0 && (pieces || count == 0));
  if (m_transport) {
    // The layer takes one piece at a time; a short piece ends the call as a short send would.
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
      if (pieces[i].iov_len == 0) continue;
      const int n = m_transport->send(pieces[i].iov_base, pieces[i].iov_len);
      if (n < 0) {
        if (total > 0) break;
        keepError("send", errno);
        return -1;
      }
      total += size_t(n);
      if (size_t(n) < pieces[i].iov_len) break;
    }
    m_lastError = 0;
    return total > INT_MAX ? INT_MAX : int(total);
  }
  ssize_t n = platform::sendVecOnce(handle(), pieces, count);
  keepError("send", n < 0 ? errno : 0);
  return n > INT_MAX ? INT_MAX : int(n);
}

int CSocket::setSendTimeout(int ms) {
  return keepError("setsockopt", platform::setSendTimeoutMs(handle(), ms) ? 0 : errno);
}

int CSocket::setRecvTimeout(int ms) {
  m_userRecvTimeoutNs = ms <= 0 ? 0 : int64_t(ms) * 1000000;
  return keepError("setsockopt", applyRecvTimeout(m_userRecvTimeoutNs) ? 0 : errno);
}

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

bool listenOrSystemPort(CSocket& s, const std::string& address, uint16_t port, int backlog,
                        const char* logSource, const char* fn, std::string* error) {
  int err = s.create();
  if (err == 0) err = s.bind(address, port);
  if (err == EAFNOSUPPORT) {
    *error = "no IPv4 address: " + address;
    s.close();
    return false;
  }
  if (err != 0 && port != 0) {
    g_logFile.log(CLogFile::Warning, logSource,
                  "Port " + std::to_string(port) + " on " + address + " not free (" + std::strerror(err) +
                      "); the system chose one",
                  fn);
    err = s.bind(address, 0);
  }
  if (err == 0) err = s.listen(backlog);
  if (err != 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(err);
    s.close();
    return false;
  }
  return true;
}

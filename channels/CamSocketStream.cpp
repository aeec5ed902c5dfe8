#include "channels/CamSocketStream.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "base/CSocket.h"

void CamSocketStream::reset() {
  m_back.clear();
  m_backPos = 0;
  m_patienceMs = 0;
  m_err = 0;
  m_ended = false;
}

size_t CamSocketStream::fromBack(uint8_t* out, size_t n, bool consume) {
  const size_t k = std::min(n, m_back.size() - m_backPos);
  if (k == 0) return 0;
  std::memcpy(out, m_back.data() + m_backPos, k);
  if (consume && (m_backPos += k) == m_back.size()) {
    m_back.clear();
    m_backPos = 0;
  }
  return k;
}

size_t CamSocketStream::fromSocketBuffer(uint8_t* out, size_t n, bool consume) {
  const size_t k = std::min(n, m_sock.buffered());
  if (k == 0) return 0;
  std::memcpy(out, m_sock.bufferedData(), k);
  if (consume) m_sock.skipBuffered(k);
  return k;
}

int CamSocketStream::receive(uint8_t* out, size_t n, int timeoutMs, bool peek, bool first) {
  int r = m_sock.receiveQueued(out, n, first ? timeoutMs : 0, peek);
  if (r < 0 && first && timeoutMs > 0 && m_patienceMs > 0 && m_sock.lastError() == ETIMEDOUT) {
    // A camera asked for one picture per period may still be within it.
    const int more = m_patienceMs;
    m_patienceMs = 0;
    r = m_sock.receiveQueued(out, n, more, peek);
  }
  if (r > 0) {
    m_patienceMs = 0;
  } else if (r == 0) {
    m_ended = true;
  } else {
    m_err = m_sock.lastError();
  }
  return r;
}

size_t CamSocketStream::ready() { return m_back.size() - m_backPos + m_sock.buffered() + m_sock.queuedBytes(); }

size_t CamSocketStream::look(uint8_t* out, size_t n, int timeoutMs) {
  m_ended = false;
  m_err = 0;
  // Bytes put back come first, then those in the socket's own buffer, then the kernel's.
  size_t got = fromBack(out, n, false);
  if (got < n) got += fromSocketBuffer(out + got, n - got, false);
  if (got < n) {
    const int r = receive(out + got, n - got, timeoutMs, true, got == 0);
    if (r > 0) got += size_t(r);
  }
  return got;
}

size_t CamSocketStream::takeSome(uint8_t* out, size_t n, int timeoutMs) {
  m_ended = false;
  m_err = 0;
  if (size_t k = fromBack(out, n, true)) return k;
  if (size_t k = fromSocketBuffer(out, n, true)) return k;
  const int r = receive(out, n, timeoutMs, false, true);
  return r > 0 ? size_t(r) : 0;
}

size_t CamSocketStream::take(uint8_t* out, size_t n, int timeoutMs) {
  m_ended = false;
  m_err = 0;
  size_t got = fromBack(out, n, true);
  if (got < n) got += fromSocketBuffer(out + got, n - got, true);
  while (got < n) {
    const int r = receive(out + got, n - got, timeoutMs, false, true);
    if (r <= 0) break;
    got += size_t(r);
  }
  return got;
}

void CamSocketStream::putBack(const uint8_t* p, size_t n) {
  assert(p || n == 0);
  m_back.erase(m_back.begin(), m_back.begin() + ptrdiff_t(m_backPos));
  m_back.insert(m_back.begin(), p, p + n);
  m_backPos = 0;
}

std::string CamSocketStream::failure() const {
  if (m_ended) return "connection closed by the camera";
  if (m_err == ETIMEDOUT || m_err == EAGAIN) return "no data in time";
  if (m_err == ECONNRESET) return std::string("connection reset (") + std::strerror(m_err) + ")";
  return m_err ? std::strerror(m_err) : "no data";
}

#include "base/TlsStream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <climits>

#include "base/TlsContext.h"
#include "platform/Clock.h"
#include "platform/Net.h"

TlsStream::TlsStream(const std::shared_ptr<const TlsContext>& ctx, int fd) : m_ctx(ctx), m_fd(fd) {
  m_ssl = SSL_new(ctx->ctx());
  if (m_ssl && SSL_set_fd(m_ssl, fd) != 1) {
    SSL_free(m_ssl);
    m_ssl = nullptr;
  }
  if (!m_ssl) {
    ERR_clear_error();
    m_closed = true;
  }
}

TlsStream::~TlsStream() { SSL_free(m_ssl); }

bool TlsStream::waitFor(int sslError, uint64_t deadlineNs) {
  int64_t left = -1;
  if (deadlineNs != 0) {
    const uint64_t now = platform::monotonicNs();
    if (now >= deadlineNs) return false;
    left = int64_t(deadlineNs - now);
  }
  const int r = sslError == SSL_ERROR_WANT_WRITE ? platform::waitWritable(m_fd, left)
                                                 : platform::waitReadable(m_fd, left);
  return r > 0;
}

bool TlsStream::accept(uint64_t deadlineNs) {
  while (!m_closed) {
    ERR_clear_error();
    const int r = SSL_accept(m_ssl);
    if (r == 1) return true;
    const int e = SSL_get_error(m_ssl, r);
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && waitFor(e, deadlineNs)) continue;
    m_closed = true;  // also a peer that speaks plain HTTP or sends garbage
  }
  ERR_clear_error();
  return false;
}

void TlsStream::closeNotify(int64_t timeoutNs) {
  if (m_closed || !SSL_is_init_finished(m_ssl)) return;
  const uint64_t deadline = platform::monotonicNs() + uint64_t(timeoutNs > 0 ? timeoutNs : 1);
  for (;;) {
    ERR_clear_error();
    const int r = SSL_shutdown(m_ssl);
    const int e = r < 0 ? SSL_get_error(m_ssl, r) : SSL_ERROR_NONE;
    if (e != SSL_ERROR_WANT_WRITE || !waitFor(e, deadline)) break;
  }
  ERR_clear_error();
  m_closed = true;
}

void TlsStream::keepBuffers() {
  if (m_ssl) SSL_clear_mode(m_ssl, SSL_MODE_RELEASE_BUFFERS);
}

std::string TlsStream::protocol() const { return m_ssl ? SSL_get_version(m_ssl) : ""; }

int TlsStream::receive(void* buf, size_t len, int64_t timeoutNs) {
  if (!m_ssl) {
    errno = ENOTCONN;
    return -1;
  }
  const uint64_t deadline = timeoutNs <= 0 ? 0 : platform::monotonicNs() + uint64_t(timeoutNs);
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(m_ssl, buf, len > size_t(INT_MAX) ? INT_MAX : int(len));
    if (n > 0) return n;
    const int e = SSL_get_error(m_ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      if (timeoutNs != 0 && waitFor(e, deadline)) continue;
      errno = EAGAIN;
      return -1;
    }
    const int sysErr = errno;
    ERR_clear_error();
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    errno = e == SSL_ERROR_SYSCALL && sysErr != 0 ? sysErr : ECONNRESET;
    return -1;
  }
}

int TlsStream::send(const void* data, size_t len) {
  if (m_closed) {
    errno = EPIPE;
    return -1;
  }
  ERR_clear_error();
  const int n = SSL_write(m_ssl, data, len > size_t(INT_MAX) ? INT_MAX : int(len));
  if (n > 0) {
    m_sendWantsRead = false;
    return n;
  }
  const int e = SSL_get_error(m_ssl, n);
  if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
    m_sendWantsRead = e == SSL_ERROR_WANT_READ;
    errno = EAGAIN;
    return -1;
  }
  ERR_clear_error();
  m_closed = true;
  errno = EPIPE;
  return -1;
}

bool TlsStream::pending() const { return m_ssl && SSL_pending(m_ssl) > 0; }

int TlsStream::waitSendable(int64_t timeoutNs) {
  return m_sendWantsRead ? platform::waitReadable(m_fd, timeoutNs) : platform::waitWritable(m_fd, timeoutNs);
}

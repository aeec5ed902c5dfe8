#include "base/TlsStream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "base/TlsContext.h"
#include "platform/Clock.h"
#include "platform/Net.h"

// The session reads from the socket and writes into its TlsStream, which gathers the records
// (see send()).
struct TlsStream::OutBio {
  static int write(BIO* b, const char* data, int len) {
    BIO_clear_retry_flags(b);
    TlsStream* s = static_cast<TlsStream*>(BIO_get_data(b));
    const int n = s->gather(data, len);
    if (n < 0 && !s->m_closed) BIO_set_retry_write(b);  // room comes when the socket drains
    return n;
  }
  static long ctrl(BIO* b, int cmd, long, void*) {
    TlsStream* s = static_cast<TlsStream*>(BIO_get_data(b));
    switch (cmd) {
      case BIO_CTRL_FLUSH:  // the end of a handshake flight or an alert
        BIO_clear_retry_flags(b);
        if (s->flushOut()) return 1;
        if (!s->m_closed) BIO_set_retry_write(b);
        return -1;
      case BIO_CTRL_WPENDING:
        return long(s->m_out.size() - s->m_outOff);
      case BIO_CTRL_DUP:
        return 1;
      default:
        return 0;
    }
  }
  static int create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
  }
  static const BIO_METHOD* method() {
    static BIO_METHOD* const m = [] {
      BIO_METHOD* x = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "TelvGate TLS output");
      if (x) {
        BIO_meth_set_write(x, write);
        BIO_meth_set_ctrl(x, ctrl);
        BIO_meth_set_create(x, create);
      }
      return x;
    }();
    return m;
  }
};

TlsStream::TlsStream(const std::shared_ptr<const TlsContext>& ctx, int fd) : m_ctx(ctx), m_fd(fd) {
  m_ssl = SSL_new(ctx->ctx());
  BIO* in = m_ssl ? BIO_new_socket(fd, BIO_NOCLOSE) : nullptr;
  BIO* out = in && OutBio::method() ? BIO_new(OutBio::method()) : nullptr;
  if (out) {
    BIO_set_data(out, this);
    SSL_set_bio(m_ssl, in, out);  // the session owns both from here
  } else {
    BIO_free(in);
    SSL_free(m_ssl);
    m_ssl = nullptr;
  }
  if (!m_ssl) {
    ERR_clear_error();
    m_closed = true;
  }
}

int TlsStream::gather(const char* data, int len) {
  if (m_closed) return -1;
  if (m_out.size() - m_outOff >= kOutLimit && !flushOut()) return -1;
  if (m_outOff == m_out.size()) {
    m_out.clear();
    m_outOff = 0;
  }
  m_out.append(data, size_t(len));
  return len;
}

bool TlsStream::flushOut() {
  while (m_outOff < m_out.size()) {
    const ssize_t n = ::send(m_fd, m_out.data() + m_outOff, m_out.size() - m_outOff, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      m_outOff += size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    m_closed = true;  // the peer went away: nothing more goes out
    return false;
  }
  m_outOff = 0;
  m_out.clear();
  if (!m_keepBuffers && m_out.capacity() > TlsStream::kRecordBytes) std::string().swap(m_out);
  return true;
}

bool TlsStream::flushOutBy(uint64_t deadlineNs) {
  while (!flushOut()) {
    if (m_closed || !waitFor(SSL_ERROR_WANT_WRITE, deadlineNs)) return false;
  }
  return true;
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
    if (r == 1) return flushOutBy(deadlineNs);
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
  // What the answer left for the socket goes before the alert.
  for (bool out = flushOutBy(deadline); out && !m_closed;) {
    ERR_clear_error();
    const int r = SSL_shutdown(m_ssl);
    const int e = r < 0 ? SSL_get_error(m_ssl, r) : SSL_ERROR_NONE;
    if (e != SSL_ERROR_WANT_WRITE || !waitFor(e, deadline)) break;
  }
  flushOutBy(deadline);
  ERR_clear_error();
  m_closed = true;
}

void TlsStream::keepBuffers() {
  if (m_ssl) SSL_clear_mode(m_ssl, SSL_MODE_RELEASE_BUFFERS);
  m_keepBuffers = true;
}

std::string TlsStream::protocol() const { return m_ssl ? SSL_get_version(m_ssl) : ""; }

int TlsStream::receive(void* buf, size_t len, int64_t timeoutNs) {
  if (!m_ssl) {
    errno = ENOTCONN;
    return -1;
  }
  const uint64_t deadline = timeoutNs <= 0 ? 0 : platform::monotonicNs() + uint64_t(timeoutNs);
  // The last answer's records go out before the next request is waited for.
  if (m_outOff < m_out.size() && timeoutNs != 0) flushOutBy(deadline);
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(m_ssl, buf, len > size_t(INT_MAX) ? INT_MAX : int(len));
    flushOut();  // a reply the read made (a key update)
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
  const iovec piece{const_cast<void*>(data), len};
  return sendv(&piece, 1);
}

int TlsStream::sendv(const iovec* pieces, int count) {
  if (m_closed) {
    errno = EPIPE;
    return -1;
  }
  // Records of an earlier send first.
  if (!flushOut() && (m_closed || m_out.size() - m_outOff >= kOutLimit)) {
    errno = m_closed ? EPIPE : EAGAIN;
    return -1;
  }
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (pieces[i].iov_len == 0) continue;
    const int n = writeRecords(pieces[i].iov_base, pieces[i].iov_len);
    if (n < 0) {
      if (total > 0) break;
      return -1;
    }
    total += size_t(n);
    if (size_t(n) < pieces[i].iov_len) break;
  }
  // A send that reports success leaves nothing behind unless the peer is slow: the caller may
  // not send again for a while.
  flushOutBy(platform::monotonicNs() + uint64_t(kOutWaitNs));
  if (m_closed) {
    errno = EPIPE;
    return -1;
  }
  return total > INT_MAX ? INT_MAX : int(total);
}

int TlsStream::writeRecords(const void* data, size_t len) {
  ERR_clear_error();
  const int n = SSL_write(m_ssl, data, len > size_t(INT_MAX) ? INT_MAX : int(len));
  if (n > 0) {
    m_sendWantsRead = false;
    return n;
  }
  const int e = SSL_get_error(m_ssl, n);
  if ((e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) && !m_closed) {
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

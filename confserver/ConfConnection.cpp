#include "confserver/ConfConnection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/TlsStream.h"
#include "confserver/ConfSubmit.h"
#include "platform/Clock.h"
#include "platform/Net.h"

namespace {
// Longest single wait while sending, so a drop or the deadline is noticed promptly.
constexpr int64_t kSendWaitSliceNs = 200000000;
// Longest TLS handshake: the silence a client may keep before its request line.
constexpr uint64_t kHandshakeLimitNs = uint64_t(CHTTPSocket::kRequestLineTimeoutSec) * 1000000000ull;
// Longest wait for room for the TLS closing alert after an answer.
constexpr int64_t kCloseNotifyWaitNs = 1000000000;
}  // namespace

ConfConnection::ConfConnection(int handle, ConfConnectionHost& host,
                               std::shared_ptr<const TlsContext> tls)
    : m_host(host), m_tlsCtx(std::move(tls)), m_sock(handle, false) {
  touch();
}

ConfConnection::~ConfConnection() { join(); }

void ConfConnection::touch() { m_lastActivity = platform::monotonicNs(); }

bool ConfConnection::droppable() const {
  const State s = m_state.load();
  return s == State::Reading || s == State::Sending || s == State::Lingering;
}

void ConfConnection::answer(ConfAnswer&& a) {
  std::lock_guard<std::mutex> g(m_lock);
  m_answer = std::move(a);
  m_answered = true;
  m_wake.notify_all();
}

void ConfConnection::drop() {
  std::lock_guard<std::mutex> g(m_lock);
  m_dropped = true;
  if (m_open) m_sock.shutdown();
  m_wake.notify_all();
}

void ConfConnection::finish() {
  std::lock_guard<std::mutex> g(m_lock);
  m_tls = nullptr;
  m_sock.close();
  m_open = false;
  m_state = State::Done;
}

bool ConfConnection::startTls(uint64_t deadlineNs) {
  std::unique_ptr<TlsStream> s(new TlsStream(m_tlsCtx, m_sock.handle()));
  m_tls = s.get();
  m_sock.setTransport(std::move(s));
  return m_tls->accept(deadlineNs);
}

int ConfConnection::run() {
  // The TLS handshake gets the silence allowed before a request line, and the whole request
  // (handshake included) the request deadline: a client that stalls in either, speaks plain
  // HTTP to the TLS port or sends garbage holds this thread no longer than that.
  const uint64_t deadline = platform::monotonicNs() + uint64_t(m_host.requestDeadlineMs()) * 1000000ull;
  m_sock.setDeadline(deadline);
  const uint64_t handshakeEnd = std::min(deadline, platform::monotonicNs() + kHandshakeLimitNs);
  bool ok = (!m_tlsCtx || startTls(handshakeEnd)) && m_sock.read_request();
  if (ok && m_sock.method == HTTP_POST && m_sock.path == "/submitConfig")
    m_body.ok = readFormBody(m_sock, m_body.text);
  if (!ok || m_dropped) {
    finish();
    return 0;
  }
  m_peerIp = m_sock.peerAddress().ip;
  m_state = State::Queued;
  touch();
  ConfAnswer a;
  if (m_host.enqueue(this)) {
    std::unique_lock<std::mutex> l(m_lock);
    m_wake.wait(l, [this] { return m_answered; });
    a = std::move(m_answer);
  }
  touch();
  if ((a.handOver || a.stream) && m_tls) m_tls->keepBuffers();
  if (a.handOver) {
    int handle = -1;
    std::unique_ptr<SocketTransport> layer;
    {
      std::lock_guard<std::mutex> g(m_lock);
      // Over TLS the job gets the session with the handle and sends through it.
      if (!m_dropped) {
        layer = m_sock.releaseTransport();
        handle = m_sock.release();
      }
      m_tls = nullptr;
      m_open = false;
    }
    a.handOver(handle, std::move(layer));
    finish();
    return 0;
  }
  if (a.stream) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_dropped) {
      a.stream->take(m_sock);  // the socket, with its TLS session, is the stream's from now on
      m_tls = nullptr;
    }
    a = ConfAnswer();
  }
  if (a.complete && !m_dropped) {
    a.complete(a.bytes);
    a.complete = nullptr;  // lets go of what it held (a channel waits for it)
  }
  bool sent = false;
  if (a.send && !m_dropped) {
    m_state = State::Sending;
    sent = sendAnswer(a.bytes);
    if (!sent) {
      // Dropped: what is still queued for this peer must not keep the connection alive.
      platform::setAbortiveClose(m_sock.handle());
      a.linger = false;
    }
  }
  // The closing alert tells a TLS client that the answer (which carries no length) is whole.
  if (sent && m_tls && m_sock.isOpen()) m_tls->closeNotify(kCloseNotifyWaitNs);
  if (a.linger && !m_dropped) {
    // The answers carry no length: ending the stream ends the page at once for the browser,
    // while the pause before closing still paces this client.
    m_sock.shutdown();
    m_state = State::Lingering;
    touch();
    std::unique_lock<std::mutex> l(m_lock);
    m_wake.wait_for(l, std::chrono::milliseconds(m_host.lingerMs()), [this] { return m_dropped.load(); });
  }
  finish();
  return 0;
}

bool ConfConnection::sendAnswer(const std::string& bytes) {
  const uint64_t start = platform::monotonicNs();
  const uint64_t deadline = start + uint64_t(m_host.sendDeadlineMs()) * 1000000ull;
  const uint64_t stallLimit = uint64_t(m_host.sendTimeoutMs()) * 1000000ull;
  uint64_t lastProgress = start;
  size_t done = 0;
  while (done < bytes.size()) {
    if (m_dropped) return false;
    const ssize_t n = m_sock.send(bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += size_t(n);
      lastProgress = platform::monotonicNs();
      touch();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const uint64_t now = platform::monotonicNs();
    if (now >= deadline || (stallLimit != 0 && now - lastProgress >= stallLimit)) return false;
    const int64_t left = int64_t(deadline - now);
    m_sock.waitWritable(left < kSendWaitSliceNs ? left : kSendWaitSliceNs);
  }
  return true;
}

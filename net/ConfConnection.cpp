#include "net/ConfConnection.h"

#include <cerrno>
#include <chrono>

#include "net/ConfSubmit.h"
#include "platform/Clock.h"
#include "platform/Net.h"

namespace {
// Longest single wait while sending, so a drop or the deadline is noticed promptly.
constexpr int64_t kSendWaitSliceNs = 200000000;
}  // namespace

ConfConnection::ConfConnection(int handle, ConfConnectionHost& host)
    : m_host(host), m_sock(handle, false) {
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
  m_sock.close();
  m_open = false;
  m_state = State::Done;
}

int ConfConnection::run() {
  m_sock.setDeadline(platform::monotonicNs() + uint64_t(m_host.requestDeadlineMs()) * 1000000ull);
  bool ok = m_sock.read_request();
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
  if (a.handOver) {
    int handle = -1;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (!m_dropped) handle = m_sock.release();
      m_open = false;
    }
    a.handOver(handle);
    finish();
    return 0;
  }
  if (a.send && !m_dropped) {
    m_state = State::Sending;
    if (!sendAnswer(a.bytes)) {
      // Dropped: what is still queued for this peer must not keep the connection alive.
      platform::setAbortiveClose(m_sock.handle());
      a.linger = false;
    }
  }
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
    const ssize_t n = platform::sendOnce(m_sock.handle(), bytes.data() + done, bytes.size() - done);
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
    platform::waitWritable(m_sock.handle(), left < kSendWaitSliceNs ? left : kSendWaitSliceNs);
  }
  return true;
}

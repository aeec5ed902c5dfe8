#include "base/HeadReader.h"

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "base/ConnectionRoom.h"
#include "platform/Net.h"

namespace {
// Silence allowed before each byte, as CHTTPSocket::read_request allows it.
constexpr uint64_t kRequestLineSilenceNs = uint64_t(CHTTPSocket::kRequestLineTimeoutSec) * 1000000000ull;
constexpr uint64_t kHeaderLineSilenceNs = uint64_t(CHTTPSocket::kHeaderLineTimeoutSec) * 1000000000ull;
// Looked at per receive: a viewer's whole head, usually.
constexpr size_t kPeekBytes = 2048;
}  // namespace

void HeadReader::admit(int handle, uint32_t peer, uint64_t nowNs) {
  assert(handle >= 0);
  auto victim = entryToDrop(m_waiting.begin(), m_waiting.end(), peer, m_capacity, m_share,
                            [](const Waiting& w) {
                              RoomEntry e;
                              e.idleSinceNs = w.lastNs;
                              e.peer = w.peer;
                              return e;
                            });
  if (victim != m_waiting.end()) {
    ++m_dropped;
    close(victim);
  }
  m_waiting.emplace_front(kMaxHeadBytes);
  Waiting& w = m_waiting.front();
  w.self = m_waiting.begin();
  w.handle = handle;
  w.peer = peer;
  w.acceptedNs = w.lastNs = nowNs;
  assert(m_waiting.size() <= std::max<size_t>(m_capacity, 1) && "a newcomer makes room first");
  if (!m_events.watchReadable(handle, &w)) close(w.self);
}

void HeadReader::readable(void* tag, uint64_t nowNs) {
  Waiting& w = *static_cast<Waiting*>(tag);
  if (w.complete) return;
  // Looked at first and then taken as far as the head goes, so that what follows the head
  // stays in the socket for the consumer that takes the connection over.
  char buf[kPeekBytes];
  const ssize_t n = platform::recvNow(w.handle, buf, sizeof buf, true);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) return close(w.self);  // closed or reset before the head was complete
  size_t used = 0;
  const http::RequestHeadScan::Result r = w.scan.feed(buf, size_t(n), &used);
  if (used > 0 && platform::recvNow(w.handle, buf, used, false) != ssize_t(used)) return close(w.self);
  w.lastNs = nowNs;
  if (r == http::RequestHeadScan::Result::Bad) return close(w.self);
  if (r == http::RequestHeadScan::Result::Complete) {
    m_events.forget(w.handle);
    w.complete = true;
    m_ready.push_back(w.self);
  }
}

uint64_t HeadReader::dueNs(const Waiting& w) const {
  const uint64_t whole = w.acceptedNs + m_deadlineNs;
  if (w.complete) return whole;
  const uint64_t silence = w.lastNs + (w.scan.requestLineRead() ? kHeaderLineSilenceNs : kRequestLineSilenceNs);
  return std::min(whole, silence);
}

uint64_t HeadReader::expire(uint64_t nowNs) {
  uint64_t next = UINT64_MAX;
  for (auto it = m_waiting.begin(); it != m_waiting.end();) {
    auto here = it++;
    const uint64_t due = dueNs(*here);
    if (due <= nowNs)
      close(here);
    else
      next = std::min(next, due);
  }
  return next;
}

bool HeadReader::dropIdlest() {
  auto victim = entryToDrop(m_waiting.begin(), m_waiting.end(), 0, 0, SIZE_MAX,
                            [](const Waiting& w) {
                              RoomEntry e;
                              e.idleSinceNs = w.lastNs;
                              return e;
                            });
  if (victim == m_waiting.end()) return false;
  ++m_dropped;
  close(victim);
  return true;
}

bool HeadReader::takeReady(Ready* out) {
  if (m_ready.empty()) return false;
  auto it = m_ready.front();
  m_ready.pop_front();
  out->handle = it->handle;
  out->head = it->scan.bytes();
  out->acceptedNs = it->acceptedNs;
  m_waiting.erase(it);
  return true;
}

void HeadReader::close(std::list<Waiting>::iterator it) {
  if (it->complete) {
    m_ready.erase(std::find(m_ready.begin(), m_ready.end(), it));
  } else {
    m_events.forget(it->handle);
  }
  platform::closeSocket(it->handle);
  m_waiting.erase(it);
}

void HeadReader::clear() {
  while (!m_waiting.empty()) close(m_waiting.begin());
}

#include "recordings/RecordingJobs.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/CHTTPSocket.h"
#include "base/TlsStream.h"
#include "platform/Clock.h"
#include "platform/Net.h"

namespace {
// Longest single wait, so that a stop or a client that goes away is noticed promptly.
constexpr int64_t kWaitSliceNs = 200000000;
}  // namespace

RecordingJob::RecordingJob(std::string section, std::string treeDir)
    : m_section(std::move(section)), m_tree(std::move(treeDir)) {}

RecordingJob::~RecordingJob() {
  join();
  if (m_fd >= 0) close(m_fd);
}

void RecordingJob::begin(int handle, std::unique_ptr<SocketTransport> layer) {
  m_layer = std::move(layer);
  {
    std::lock_guard<std::mutex> g(m_fdLock);
    m_fd = handle;
    // Stopped while it waited for its socket (a removed channel, the server ending).
    if (m_stop.load() && m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
  }
  if (handle < 0 || !start()) m_done = true;
}

void RecordingJob::stop() {
  std::lock_guard<std::mutex> g(m_fdLock);
  m_stop = true;
  if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

int RecordingJob::run() {
  work();
  if (m_layer) m_layer->closeNotify(kWaitSliceNs);
  m_layer.reset();  // before the handle it uses is closed
  {
    std::lock_guard<std::mutex> g(m_fdLock);
    close(m_fd);
    m_fd = -1;
  }
  m_done = true;
  return 0;
}

bool RecordingJob::clientGone() {
  char buf[512];
  for (;;) {
    const ssize_t n = m_layer ? m_layer->receive(buf, sizeof buf, 0) : platform::recvNow(m_fd, buf, sizeof buf);
    if (n == 0) return true;  // orderly close
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    // Anything a client sends after its request is not for us: dropped.
  }
}

bool RecordingJob::waitUntil(uint64_t untilNs) {
  for (;;) {
    if (m_stop.load() || clientGone()) return false;
    const uint64_t now = platform::monotonicNs();
    if (now >= untilNs) return true;
    const int64_t left = int64_t(untilNs - now);
    platform::waitReadable(m_fd, left < kWaitSliceNs ? left : kWaitSliceNs);
  }
}

bool RecordingJob::sendPair(const void* a, size_t alen, const void* b, size_t blen) {
  // Through TLS every send is a record of its own: a short first piece (a part's head) goes out
  // in one full record with the start of the second, which saves a record and a write per part
  // for a copy of that record's bytes.
  if (m_layer && alen > 0 && alen < TlsStream::kRecordBytes && blen > 0) {
    const uint8_t* pa = static_cast<const uint8_t*>(a);
    const uint8_t* pb = static_cast<const uint8_t*>(b);
    const size_t lead = std::min(blen, TlsStream::kRecordBytes - alen);
    m_firstRecord.assign(pa, pa + alen);
    m_firstRecord.insert(m_firstRecord.end(), pb, pb + lead);
    return sendPair(m_firstRecord.data(), m_firstRecord.size(), pb + lead, blen - lead);
  }
  iovec v[2] = {{const_cast<void*>(a), alen}, {const_cast<void*>(b), blen}};
  int first = 0;
  uint64_t lastProgress = platform::monotonicNs();
  while (first < 2) {
    if (m_stop.load()) return false;
    if (v[first].iov_len == 0) {  // an empty piece: nothing to send for it
      ++first;
      continue;
    }
    const ssize_t n = sendSome(v + first, 2 - first);
    if (n > 0) {
      size_t left = size_t(n);
      while (first < 2 && left >= v[first].iov_len) left -= v[first++].iov_len;
      if (first < 2) {
        v[first].iov_base = static_cast<char*>(v[first].iov_base) + left;
        v[first].iov_len -= left;
      }
      lastProgress = platform::monotonicNs();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (platform::monotonicNs() - lastProgress > kStallLimitNs) return false;
    if (m_layer) m_layer->waitSendable(kWaitSliceNs);
    else platform::waitWritable(m_fd, kWaitSliceNs);
  }
  return true;
}

ssize_t RecordingJob::sendSome(const iovec* pieces, int count) {
  if (!m_layer) return platform::sendVecOnce(m_fd, pieces, count);
  // A TLS record per piece: the session has no gathering write.
  return m_layer->send(pieces[0].iov_base, pieces[0].iov_len);
}

bool RecordingJob::sendAll(const void* data, size_t len) { return sendPair(data, len, "", 0); }

void RecordingJob::sendShortAnswer(int status, const std::string& reason, const std::string& text) {
  const std::string answer =
      http::buildResponseHead(status, reason,
                              {{"Content-Type:", "text/plain; charset=utf-8"},
                               {"Connection:", "close"}}) + text + "\n";
  sendAll(answer.data(), answer.size());
}

RecordingJob* RecordingJobs::admit(std::unique_ptr<RecordingJob> job) {
  std::lock_guard<std::mutex> g(m_lock);
  reapLocked();
  if (m_jobs.size() >= kMaxJobs) return nullptr;
  m_jobs.push_back(std::move(job));
  return m_jobs.back().get();
}

void RecordingJobs::keepSections(const std::set<std::string>& sections) {
  std::lock_guard<std::mutex> g(m_lock);
  for (const auto& j : m_jobs)
    if (!sections.count(j->section())) j->stop();
}

void RecordingJobs::stopAll() {
  std::list<std::unique_ptr<RecordingJob>> all;
  {
    std::lock_guard<std::mutex> g(m_lock);
    all.swap(m_jobs);
  }
  for (const auto& j : all) j->stop();
  all.clear();  // each destructor joins
}

size_t RecordingJobs::count() {
  std::lock_guard<std::mutex> g(m_lock);
  reapLocked();
  return m_jobs.size();
}

void RecordingJobs::reapLocked() {
  for (auto it = m_jobs.begin(); it != m_jobs.end();) {
    if ((*it)->done()) it = m_jobs.erase(it);  // the destructor joins a thread that has ended
    else ++it;
  }
}

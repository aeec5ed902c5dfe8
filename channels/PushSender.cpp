#include "channels/PushSender.h"

#include <cassert>
#include <cerrno>
#include <cstring>

#include "base/CLogFile.h"
#include "channels/CNetVideoClient.h"
#include "channels/CVideoCnl.h"
#include "platform/Clock.h"

namespace {
const char* const kLogSource = "Net client ";
constexpr uint64_t kMaxIdleNs = 1000000000ull;  // look at least once a second
}  // namespace

struct PushSender::Stream {
  CNetVideoClient* viewer = nullptr;
  int fd = -1;
  bool known = false;  // fd is in the writable set
  bool armed = false;  // a send found the socket full; waiting until it takes data
  uint64_t lastTs = 0;          // time stamp of the last picture sent
  uint64_t dueNs = 0;           // monotonic: the slot of the next picture; 0: at once
  uint64_t waitSinceNs = 0;     // monotonic: since when it waits for a newer picture; 0: not
  uint64_t pauseUntilNs = 0;    // monotonic: after a failed wait
  uint64_t lastProgressNs = 0;  // monotonic: the last send that moved bytes
  int failedWaits = 0;
  std::shared_ptr<const SharedPicture> pic;  // held while it is being sent
  char header[CNetVideoClient::kPartHeaderSize];
  iovec iov[2];
  int next = 0;  // the first piece not yet sent whole
};

PushSender::PushSender(CVideoCnl* cnl) : m_cnl(cnl) {}

PushSender::~PushSender() {
  stop();
  join();
}

bool PushSender::begin() {
  if (!m_wake.ok() || !m_wait.ok() || !m_wait.watchReadable(m_wake.readFd(), &m_wake))
    return false;
  return start();
}

bool PushSender::attach(CNetVideoClient* viewer) {
  assert(viewer);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_ended) return false;
    m_incoming.push_back(viewer);
  }
  wake();
  return true;
}

void PushSender::stop() {
  m_stop = true;
  wake();
}

void PushSender::fetchCurrent() {
  assert(isCurrent());
  if (m_haveCurrent) return;
  m_wantsPicture = true;
  m_currentTs = m_cnl->currentPicture(m_currentPic);
  m_haveCurrent = true;
}

bool PushSender::failedWait(Stream& s, uint64_t monoNs, uint64_t& nextNs) {
  s.waitSinceNs = 0;
  ++s.failedWaits;
  g_logFile.log(CLogFile::Info, kLogSource, "waitNewFrame() failed!", "CNetVideoClient::run");
  // The pause follows every failed wait, the last one included, as a viewer of its own would.
  s.pauseUntilNs = monoNs + s.viewer->failPauseNs();
  if (s.pauseUntilNs < nextNs) nextNs = s.pauseUntilNs;
  return true;
}

bool PushSender::startSend(Stream& s, uint64_t monoNs, uint64_t& nextNs) {
  assert(isCurrent() && m_currentPic && "a send starts only with a current picture");
  std::memcpy(s.header, CNetVideoClient::kPartHeader, sizeof s.header);
  if (!CNetVideoClient::patchLength(s.header, m_currentPic->length)) return false;
  s.pic = m_currentPic;
  s.lastTs = s.pic->timestamp;
  s.dueNs = pushSlotNs(s.lastTs, s.viewer->periodNs());  // see there: the viewer's own rate
  s.failedWaits = 0;
  s.waitSinceNs = 0;
  s.lastProgressNs = monoNs;
  s.iov[0] = {s.header, sizeof s.header};
  s.iov[1] = {s.pic->data.get(), s.pic->length};
  s.next = 0;
  return continueSend(s, monoNs, nextNs);
}

bool PushSender::continueSend(Stream& s, uint64_t monoNs, uint64_t& nextNs) {
  // The part goes out whole: a short send followed by the next part would corrupt the stream
  // for the viewer, so a full socket is waited for, never skipped.
  while (s.next < 2) {
    const ssize_t sent = platform::sendVecNow(s.fd, s.iov + s.next, 2 - s.next);
    if (sent < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;  // peer gone or shut down
      if (!m_wait.armWritable(s.fd, &s, &s.known)) return false;
      s.armed = true;
      const uint64_t giveUp = s.lastProgressNs + s.viewer->sendTimeoutNs();
      if (giveUp < nextNs) nextNs = giveUp;
      return true;
    }
    s.lastProgressNs = monoNs;
    size_t done = static_cast<size_t>(sent);
    while (s.next < 2 && done >= s.iov[s.next].iov_len) {
      done -= s.iov[s.next].iov_len;
      ++s.next;
    }
    if (s.next < 2) {
      s.iov[s.next].iov_base = static_cast<char*>(s.iov[s.next].iov_base) + done;
      s.iov[s.next].iov_len -= done;
    }
  }
  ChannelCounters::add(m_cnl->counters().viewerBytes,
                       CNetVideoClient::kPartHeaderSize + s.pic->length);
  s.pic.reset();  // the channel frees old pictures as soon as nobody sends them
  return serve(s, monoNs, nextNs);  // paced from here
}

bool PushSender::serve(Stream& s, uint64_t monoNs, uint64_t& nextNs) {
  if (s.viewer->stopping()) return false;
  if (s.pic) {
    if (!s.armed) return continueSend(s, monoNs, nextNs);
    const uint64_t giveUp = s.lastProgressNs + s.viewer->sendTimeoutNs();
    if (monoNs >= giveUp) return false;  // no progress within the send time-out
    if (giveUp < nextNs) nextNs = giveUp;
    return true;
  }
  if (s.pauseUntilNs != 0) {
    if (monoNs < s.pauseUntilNs) {
      if (s.pauseUntilNs < nextNs) nextNs = s.pauseUntilNs;
      return true;
    }
    s.pauseUntilNs = 0;
    if (s.failedWaits >= CNetVideoClient::kMaxFailedWaits) return false;
  }
  // The clock is read again only when the round began before the slot: a send earlier in
  // this round may have taken it past, and waiting for it then costs one more wake-up.
  if (monoNs < s.dueNs && platform::monotonicNs() < s.dueNs) {
    if (s.dueNs < nextNs) nextNs = s.dueNs;
    return true;
  }
  fetchCurrent();
  if (m_currentTs != s.lastTs) {
    if (m_currentPic) return startSend(s, monoNs, nextNs);
    return failedWait(s, monoNs, nextNs);  // the channel emptied its picture
  }
  if (s.waitSinceNs == 0) s.waitSinceNs = monoNs;
  const uint64_t giveUp = s.waitSinceNs + m_cnl->waitTimeoutNs();
  if (monoNs >= giveUp) return failedWait(s, monoNs, nextNs);
  m_wantFrame = true;
  if (giveUp < nextNs) nextNs = giveUp;
  return true;
}

void PushSender::endStream(Stream& s) {
  if (s.known) m_wait.forget(s.fd);
  s.pic.reset();
  s.viewer->streamEnded();  // the viewer may be gone from here on
}

int PushSender::run() {
  std::vector<std::unique_ptr<Stream>> streams;
  std::vector<CNetVideoClient*> incoming;
  void* ready[64];
  for (;;) {
    const bool ending = m_stop.load() || m_cnl->stopping();
    {
      std::lock_guard<std::mutex> guard(m_lock);
      incoming.swap(m_incoming);
      if (ending) m_ended = true;
    }
    for (CNetVideoClient* v : incoming) {
      auto s = std::make_unique<Stream>();
      s->viewer = v;
      s->fd = v->streamHandle();
      streams.push_back(std::move(s));
    }
    incoming.clear();
    if (ending) break;

    const uint64_t monoNs = platform::monotonicNs();
    uint64_t nextNs = monoNs + kMaxIdleNs;
    m_haveCurrent = false;
    m_wantFrame = false;
    for (size_t i = 0; i < streams.size();) {
      if (serve(*streams[i], monoNs, nextNs)) {
        ++i;
        continue;
      }
      endStream(*streams[i]);
      streams[i] = std::move(streams.back());
      streams.pop_back();
    }
    m_currentPic.reset();
    if (m_wantFrame)
      m_cnl->signalFrameWanted();
    else
      m_wantsPicture = false;

    const uint64_t now = platform::monotonicNs();
    const int n = m_wait.wait(nextNs > now ? int64_t(nextNs - now) : 0, ready, 64);
    for (int i = 0; i < n; ++i) {
      if (ready[i] == &m_wake)
        m_wake.drain();
      else
        static_cast<Stream*>(ready[i])->armed = false;  // one-shot: it fired and is off now
    }
  }
  for (auto& s : streams) endStream(*s);
  return 0;
}

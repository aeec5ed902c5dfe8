#include "channels/CMXClient.h"

#include "channels/CVideoCnl.h"
#include "platform/Clock.h"

namespace {
constexpr uint64_t kMsNs = 1000000ull;
constexpr uint64_t kStopCheckNs = 50 * kMsNs;  // how often a sleeping consumer looks at stop
constexpr uint32_t kMinPeriodMs = 50;
constexpr uint32_t kMaxPeriodMs = 1000;
}  // namespace

CMXClient::CMXClient(CVideoCnl* cnl) : m_cnl(cnl) {
  if (m_cnl) m_cnl->clientCreated();
}

CMXClient::~CMXClient() {
  if (m_cnl && !m_attached) m_cnl->unattachedClientGone();
}

void CMXClient::sleepUnlessStopped(uint64_t ns) {
  const uint64_t end = platform::monotonicNs() + ns;
  for (;;) {
    if (m_stop) return;
    const uint64_t now = platform::monotonicNs();
    if (now >= end) return;
    const uint64_t left = end - now;
    platform::sleepNs(left < kStopCheckNs ? left : kStopCheckNs);
  }
}

CVideoClient::CVideoClient(CVideoCnl* cnl, uint32_t periodMs) : CMXClient(cnl) {
  if (periodMs < kMinPeriodMs) periodMs = kMinPeriodMs;
  if (periodMs > kMaxPeriodMs) periodMs = kMaxPeriodMs;
  m_periodNs = periodMs * kMsNs;
}

void CVideoClient::paceAfter(uint64_t lastTimestamp) {
  // Pacing is relative to the source time of the previous picture. The wait is capped at one
  // period so that a picture stamped in the future (wall clock set back) cannot stall us.
  if (lastTimestamp == 0) return;
  const uint64_t period = m_periodNs.load();
  const uint64_t due = lastTimestamp + period;
  const uint64_t now = platform::nowNs();
  if (due > now) {
    const uint64_t wait = due - now;
    sleepUnlessStopped(wait < period ? wait : period);
  } else {
    platform::sleepNs(0);
  }
}

uint64_t pushSlotNs(uint64_t pictureTs, uint64_t period) {
  const uint64_t wallNow = platform::nowNs(), monoNow = platform::monotonicNs();
  const uint64_t ahead = pictureTs + period > wallNow ? pictureTs + period - wallNow : 0;
  const uint64_t bySource = monoNow + (ahead < period ? ahead : period);
  const uint64_t byGrid = (monoNow / period + 1) * period;
  return bySource > byGrid ? bySource : byGrid;
}

bool CVideoClient::waitNewPictureInSlot(std::shared_ptr<const SharedPicture>& pic) {
  const uint64_t now = platform::monotonicNs();
  if (m_slotNs > now) sleepUnlessStopped(m_slotNs - now);
  if (m_stop || !m_cnl->getNewPicture(pic, pic ? pic->timestamp : 0)) return false;
  m_slotNs = pushSlotNs(pic->timestamp, m_periodNs.load());
  return true;
}

bool CVideoClient::waitNewFrame() {
  paceAfter(m_picture.timestamp);
  if (m_stop) return false;
  return m_cnl->getNewFrame(m_picture);
}

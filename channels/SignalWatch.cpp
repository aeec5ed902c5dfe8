#include "channels/SignalWatch.h"

#include <chrono>

#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "platform/Clock.h"

bool noSignalPictureEnabled() { return readSettingBool(syssettings::kSection, syssettings::kNoSignal); }

SignalWatch::~SignalWatch() { end(); }

bool SignalWatch::begin() {
  {
    std::lock_guard<std::mutex> g(m_stopLock);
    m_stop = false;
  }
  return start();
}

void SignalWatch::end() {
  {
    std::lock_guard<std::mutex> g(m_stopLock);
    m_stop = true;
  }
  m_stopped.notify_all();
  join();
}

int SignalWatch::run() {
  std::unique_lock<std::mutex> lock(m_stopLock);
  while (!m_stop) {
    lock.unlock();
    {
      std::lock_guard<std::mutex> use(g_cnlUseLock);
      round(snapshotChannels(), platform::monotonicNs(), platform::nowNs());
    }
    lock.lock();
    m_stopped.wait_for(lock, std::chrono::nanoseconds(kRoundNs), [this] { return m_stop; });
  }
  return 0;
}

void SignalWatch::round(const std::vector<CVideoCnl*>& channels, uint64_t monoNs,
                        uint64_t wallNs) {
  // Channels that are gone (or were replaced by one at the same address) lose their track.
  std::map<CVideoCnl*, Track> kept;
  const bool pictures = noSignalPictureEnabled();
  for (CVideoCnl* c : channels) {
    if (!c->running() || c->stopping()) continue;
    auto it = m_tracks.find(c);
    Track& t = kept[c];
    if (it != m_tracks.end())
      t = std::move(it->second);
    else
      t.firstSeenWallNs = wallNs;
    if (c->typeCode() != 0) judgeCamera(c, t, monoNs, wallNs);
    if (pictures && c->signalState() != SignalState::Ok) publishNoSignal(c, t, monoNs, wallNs);
    else t.lastGeneratedNs = 0;
  }
  m_tracks.swap(kept);
}

void SignalWatch::judgeCamera(CVideoCnl* c, Track& t, uint64_t monoNs, uint64_t wallNs) {
  int64_t periodNs = 0;
  if (!c->cameraPeriodNs(&periodNs)) return;
  const uint64_t published = c->counters().lastPictureNs.load(std::memory_order_relaxed);
  // A reconnection lasts until a picture comes: the channel clears its flag for every attempt.
  if (c->reconnectPending()) {
    if (t.reconnectSinceNs == 0) t.reconnectSinceNs = monoNs;
  } else if (published != t.lastPictureNs) {
    t.reconnectSinceNs = 0;
  }
  t.lastPictureNs = published;
  const bool reconnecting = t.reconnectSinceNs != 0 && monoNs - t.reconnectSinceNs >= kReconnectGraceNs;
  const uint64_t last = published != 0 ? published : t.firstSeenWallNs;
  const uint64_t period = uint64_t(periodNs > 0 ? periodNs : 0);
  const bool silent = period > 0 && wallNs > last && wallNs - last > kOfflinePeriods * period;
  const bool wasOffline = c->signalState() == SignalState::Offline;
  // Back only with a picture published since the camera went offline.
  const bool offline = reconnecting || silent || (wasOffline && published <= t.offlineAtNs);
  if (offline && !wasOffline) t.offlineAtNs = wallNs;
  c->setSignalState(offline ? SignalState::Offline : SignalState::Ok);
}

void SignalWatch::publishNoSignal(CVideoCnl* c, Track& t, uint64_t monoNs, uint64_t wallNs) {
  // A little under the interval, so a round's lateness never stretches the gap past a
  // viewer's one-second wait for a newer picture.
  if (t.lastGeneratedNs != 0 && monoNs - t.lastGeneratedNs + kRoundNs / 2 < kPictureIntervalNs)
    return;
  if (!t.picture) t.picture = std::make_unique<NoSignalPicture>();
  const std::string name = c->name().empty() ? c->sectionName() : c->name();
  uint32_t sequence = 0;
  if (!t.picture->make(name, wallNs, t.jpeg, &sequence)) return;
  if (c->publishGenerated(t.jpeg.data(), uint32_t(t.jpeg.size()), wallNs, sequence))
    t.lastGeneratedNs = monoNs;
}

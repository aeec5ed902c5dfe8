#pragma once
// The signal watch: one thread that looks at every channel four times a second. It judges the
// IP cameras (offline while a reconnection has lasted kReconnectGraceNs, or when no picture was
// published for kOfflinePeriods frame periods) and, while the System setting "NoSignalPicture"
// is on, publishes the no-signal picture once a second on every channel whose source is not ok
// (the analog channels judge their own pictures and then stop publishing them).
//
// Threads: begin() and end() are the owner's (start-up and shutdown on the GUI thread); the
// rounds are the watch's own thread, each under g_cnlUseLock so no channel it looks at is
// destroyed meanwhile. round() is also called directly by tests (then without the thread).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "channels/NoSignalPicture.h"
#include "platform/Thread.h"

class CVideoCnl;

// The System setting "NoSignalPicture" (default off). Any thread.
bool noSignalPictureEnabled();

class SignalWatch : public CThread {
 public:
  static constexpr uint64_t kRoundNs = 250000000ull;
  static constexpr uint64_t kPictureIntervalNs = 1000000000ull;
  static constexpr uint64_t kReconnectGraceNs = 2000000000ull;
  static constexpr int kOfflinePeriods = 3;

  SignalWatch() = default;
  ~SignalWatch() override;  // ends the thread
  bool begin();
  void end();

  // One look at the channels, at the monotonic time monoNs and the wall clock wallNs.
  void round(const std::vector<CVideoCnl*>& channels, uint64_t monoNs, uint64_t wallNs);

 protected:
  int run() override;

 private:
  struct Track {
    uint64_t firstSeenWallNs = 0;
    uint64_t reconnectSinceNs = 0;  // monotonic; 0: no reconnection pending
    uint64_t lastPictureNs = 0;     // the channel's last publication as seen by the last round
    uint64_t offlineAtNs = 0;       // wall clock of the change to offline
    uint64_t lastGeneratedNs = 0;   // monotonic; 0: none yet
    std::unique_ptr<NoSignalPicture> picture;
    std::vector<uint8_t> jpeg;
  };
  void judgeCamera(CVideoCnl* c, Track& t, uint64_t monoNs, uint64_t wallNs);
  void publishNoSignal(CVideoCnl* c, Track& t, uint64_t monoNs, uint64_t wallNs);

  std::map<CVideoCnl*, Track> m_tracks;  // the watch's thread (or the test calling round)
  std::mutex m_stopLock;
  std::condition_variable m_stopped;
  bool m_stop = false;  // guarded by m_stopLock
};

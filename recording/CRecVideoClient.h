#pragma once
// The recording consumer of one channel: takes frames at the configured pace and stores them
// as events below the channel directory, with the ".erdinfo" index; embeds the cleaner thread.
//
// Created by the channel's constructor (CVideoCnl::createRecorder, through the maker that
// installChannelRecorder installs at start-up), started by the channel's
// run thread, stopped/joined/destroyed by the channel's destructor. init() runs on the
// configuration server's thread (or the GUI thread at start-up); run()
// and everything it calls (reconf, the event writing, the index file) on the recording thread;
// the cleaner on its own thread.
//
// Hand-over between the threads: the settings (active flag, quota, age, period) are atomics
// written by apply(); the configured directory is guarded by m_dirLock and reaches the
// recording thread through the reconfiguration flag (reconf takes a copy, m_recDir, which
// only changes while the cleaner is stopped). apply() changes the directory, the active flag
// and the reconfiguration flag together under m_dirLock, and the thread clears the flag (or
// gives up an activation) under it too, so no activation is lost in between. The in-memory
// index record is guarded by m_indexLock; the used-space counter changes only by atomic
// operations.
//
// After an unclean end (no clean-close mark beside the index) the counter lags behind the
// tree. Recording starts at once all the same; the cleaner's thread measures the tree
// (measureUsedSpace) leaving out the events recorded since the start, which the counter
// already holds, then corrects the counter, and only then applies the limits.
// Lock order: m_dirLock, then the cleaner's wait lock; m_indexLock, then the log's lock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "channels/CMXClient.h"
#include "channels/ChannelRecorder.h"
#include "channels/CVideoCnl.h"
#include "recording/CRecCleaner.h"
#include "recording/ErdInfo.h"
#include "recording/IndexFile.h"
#include "recording/RecSettings.h"

class CRecVideoClient : public CVideoClient, public RecCleanerOwner, public ChannelRecorder {
 public:
  static constexpr uint32_t kDefaultPeriodMs = 80;
  static constexpr uint32_t kMinPeriodMs = 40;
  static constexpr uint32_t kMaxPeriodMs = 10000;
  static constexpr uint32_t kMaxQuotaMB = 4194303;  // x 1024 still fits the 32-bit KB counter
  static constexpr size_t kMaxRootPathLength = 256;
  static constexpr int kSequenceFiles = 6;
  static constexpr uint64_t kSequenceSpanNs = 10000000000ull;  // one sequence file: 10 s
  static constexpr uint64_t kErrorPauseNs = 1000000000ull;     // after a file error
  static constexpr uint64_t kIdlePauseNs = 2000000000ull;      // inactive, or no frame came
  static constexpr uint64_t kReconfRetryNs = 10000000000ull;   // a failed set-up is retried

  // *cnl must outlive this recorder.
  explicit CRecVideoClient(CVideoCnl* cnl);
  // Stops and joins the cleaner. The recording thread must already be joined.
  ~CRecVideoClient() override;

  // Reads the recording settings of the channel's section (load) and applies them. False when
  // recording cannot be configured.
  bool init() override;
  // The settings as stored (refusals logged).
  RecConfig load();
  // Makes c the settings in force and arms reconfiguration when the active flag or the
  // directory changed (or the set-up was refused).
  void apply(const RecConfig& c);
  // Starts the recording thread (CThread::start).
  bool start() override { return CThread::start(); }
  // Sets the stop flag and wakes the recording thread's pauses; returns at once.
  void stop() override;
  // Waits for the recording thread (CThread::join).
  bool join() override { return CThread::join(); }
  void countInto(ChannelTotals& t) const override;

  // ---- Read access (status page, tests) ----
  bool active() const { return m_active.load(); }
  std::string channelDir() const;
  // "Rec. cli. on cnl. " and the channel's log source.
  std::string logSource();
  uint32_t diskQuotaKB() const { return m_quotaKB.load(); }
  uint64_t maxAge() const { return m_maxAgeNs.load(); }
  erdinfo::Record recordCopy();
  CRecCleaner& cleaner() { return m_cleaner; }

  // Tests shorten the sequence span and the pauses; the system uses the constants above.
  void setTimings(uint64_t sequenceSpanNs, uint64_t errorPauseNs, uint64_t idlePauseNs,
                  uint64_t reconfRetryNs);

  // ---- RecCleanerOwner ----
  bool cleanerActive() const override { return m_active.load(); }
  uint32_t quotaKB() const override { return m_quotaKB.load(); }
  uint64_t maxAgeNs() const override { return m_maxAgeNs.load(); }
  uint32_t usedKB() const override { return m_usedKB.load(); }
  // What this recorder has written since it was created (for the metrics page); they only
  // grow. Any thread may read them.
  uint64_t eventsWritten() const { return m_eventsWritten.load(std::memory_order_relaxed); }
  uint64_t filesWritten() const { return m_filesWritten.load(std::memory_order_relaxed); }
  uint64_t bytesWritten() const { return m_bytesWritten.load(std::memory_order_relaxed); }
  void subtractUsedKB(uint32_t kb) override;
  std::string cleanerDir() const override { return m_recDir; }
  std::mutex& indexLock() override { return m_indexLock; }
  erdinfo::Record& indexRecord() override { return m_record; }
  bool usedSpaceKnown() const override { return m_usedKnown.load(); }
  void measureUsedSpace(const std::atomic<bool>& stop) override;

 protected:
  int run() override;

 private:
  // ---- Recording thread ----
  bool reconf();
  bool loadOrRebuildIndex();
  bool rebuildIndex();
  // Starts the cleaner unless it runs; logs a failure at Error (once until it starts).
  void startCleaner();
  void stopCleaner();
  // Writes the record; with closing, also the clean-close mark when the count is known.
  void update_erdinfo(bool closing = false);
  // Saves the record, with the clean-close mark when the count is known, and closes the index
  // (no-op when closed).
  void closeIndex();
  // Adds the events of the tree that follow rec's newest one and are newer (the index was not
  // written after they began). True when there were any.
  bool catchUpNewest(erdinfo::Record& rec);
  // One event: E00000.jpg, the sequence files and INFO.jpg.
  void recordEvent();
  // Writes E00000.jpg; false (number taken back) on failure.
  bool beginEvent(uint32_t* eventOut, std::string* dirOut);
  // Fills one sequence file; false when it could not be created.
  bool writeSequenceFile(const std::string& path);
  void writeInfoFile(const std::string& dir, uint32_t files, uint32_t firstFrame,
                     uint64_t firstTimeNs);
  // waitNewFrame, pausing while none comes; false when the frame is not to be stored.
  bool takeFrame();
  void takeBackEvent();
  void addWritten(uint32_t bytes);
  void transferPending();
  bool interrupted() const { return stopping() || m_reconf.load(); }
  // Sleeps up to ns or until stop(); true when stopping.
  bool pause(uint64_t ns);
  // A warning of the recording thread, at most one per second (a full disk fails every file).
  void warnLimited(const std::string& message, const char* function,
                   int level = 2 /* CLogFile::Warning */);
  // An error of the set-up, logged only when the previous set-up did not fail the same way.
  void logSetupError(int level, const std::string& message, const char* function);

  // ---- Settings, written by init() ----
  std::atomic<bool> m_active{false};
  std::atomic<bool> m_reconf{true};
  std::atomic<uint32_t> m_quotaKB{0};
  std::atomic<uint64_t> m_maxAgeNs{0};
  std::atomic<bool> m_retryReconf{false};  // a set-up failed for a reason that may pass

  mutable std::mutex m_dirLock;
  std::string m_cnlDir;  // guarded by m_dirLock: the configured directory, ends with "/"

  // ---- Recording thread state ----
  std::string m_recDir;  // the directory in use; changes only while the cleaner is stopped
  IndexFile m_index;
  uint32_t m_pending = 0;  // bytes written and not yet moved to m_usedKB
  uint64_t m_lastWarnNs = 0;
  // The last picture taken from the source (never a generated one), for the event's INFO.jpg.
  uint32_t m_lastTakenFrame = 0;
  uint64_t m_lastTakenNs = 0;
  bool m_cleanerStarted = false;
  bool m_cleanerFailing = false;  // the last start of the cleaner failed (logged once)
  bool m_setupFailing = false;  // set-up failed last time: retries stay quiet until it works
  std::atomic<uint64_t> m_sequenceSpanNs{kSequenceSpanNs};
  std::atomic<uint64_t> m_errorPauseNs{kErrorPauseNs};
  std::atomic<uint64_t> m_idlePauseNs{kIdlePauseNs};
  std::atomic<uint64_t> m_reconfRetryNs{kReconfRetryNs};

  std::mutex m_indexLock;
  erdinfo::Record m_record;  // guarded by m_indexLock
  std::atomic<uint32_t> m_usedKB{0};
  // False from loading an index not closed cleanly until the tree is measured; set together
  // with the counter's correction under m_indexLock, so that the clean-close mark is written
  // only with a measured figure.
  std::atomic<bool> m_usedKnown{true};
  // The newest event and the stored used space of that index, written before the cleaner
  // starts: the events after it are the recorder's own, already counted.
  uint32_t m_measureAfter = 0;
  uint32_t m_measureBaseKB = 0;
  // Written by the recorder's thread only; relaxed: nothing else is ordered by them.
  std::atomic<uint64_t> m_eventsWritten{0};
  std::atomic<uint64_t> m_filesWritten{0};
  std::atomic<uint64_t> m_bytesWritten{0};
  void countFile() { m_filesWritten.fetch_add(1, std::memory_order_relaxed); }

  std::mutex m_pauseLock;  // only for the interruptible pauses
  std::condition_variable m_pauseWake;

  CRecCleaner m_cleaner;
};

// Installs the maker that gives every channel created afterwards its CRecVideoClient
// (setChannelRecorderMaker). Start-up, before the first channel is made.
void installChannelRecorder();
// The recorder of cnl when it is a CRecVideoClient (tests and benchmarks reach its own
// operations through this), else null.
CRecVideoClient* recorderOf(CVideoCnl& cnl);

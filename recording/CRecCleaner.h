#pragma once
// The recording cleaner: a small thread per recorder that keeps the channel's tree within its
// maximum age and disk quota. Every cycle (2 s) it looks at the oldest event named in the
// owner's index record and, when a limit is exceeded, deletes that one event directory, lowers
// the owner's used-space counter and moves the record's oldest entry on to the next event that
// still exists. The newest event is never deleted. When the owner's used-space figure is not
// known yet (the index was not closed cleanly), the thread first has the owner measure the
// tree, and applies no limit before that figure is in.
//
// Threads: run() is the cleaner's own thread. requestStop() may be called from any thread;
// the owner joins. clearStop() and start() only while the thread is not running.
// cleanOnce() is the body of one cycle (public so that tests can drive it step by step).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Thread.h"
#include "recording/ErdInfo.h"

// What the cleaner needs from its owner. The limits and the active flag are read without a
// lock; the record is read and changed only while holding indexLock(); the used-space counter
// changes only by atomic operations. channelDir() must not change while the cleaner runs (the
// owner stops and joins it first).
class RecCleanerOwner {
 public:
  virtual ~RecCleanerOwner() = default;
  virtual bool cleanerActive() const = 0;
  virtual uint32_t quotaKB() const = 0;     // 0: no limit
  virtual uint64_t maxAgeNs() const = 0;    // 0: no limit
  virtual uint32_t usedKB() const = 0;
  virtual void subtractUsedKB(uint32_t kb) = 0;  // never below 0
  virtual std::string cleanerDir() const = 0;    // ends with "/"
  virtual std::mutex& indexLock() = 0;
  virtual erdinfo::Record& indexRecord() = 0;  // guarded by indexLock()
  // False while the used-space counter may lag behind the tree.
  virtual bool usedSpaceKnown() const { return true; }
  // Measures the tree and corrects the counter, on the cleaner's thread; returns early, with
  // the figure still unknown, once stop is set.
  virtual void measureUsedSpace(const std::atomic<bool>& stop) { (void)stop; }
};

class CRecCleaner : public CThread {
 public:
  static constexpr uint64_t kCyclePeriodNs = 2000000000ull;

  // *owner must outlive the cleaner's thread.
  explicit CRecCleaner(RecCleanerOwner* owner) : m_owner(owner) {}
  ~CRecCleaner() override = default;
  CRecCleaner(const CRecCleaner&) = delete;
  CRecCleaner& operator=(const CRecCleaner&) = delete;

  // Sets the stop flag and wakes the thread from its cycle wait.
  void requestStop();
  void clearStop() { m_stop = false; }
  bool stopRequested() const { return m_stop.load(); }
  // Tests shorten the cycle; the system uses 2 s.
  void setCyclePeriodNs(uint64_t ns) { m_periodNs = ns; }

  // One cycle's decision and deletion at wall-clock time nowNs. True when an event was deleted.
  bool cleanOnce(uint64_t nowNs);
  // Events deleted since construction (for the metrics page); any thread may read it.
  uint64_t deletions() const { return m_deletions.load(std::memory_order_relaxed); }

 protected:
  int run() override;

 private:
  // True when the oldest event must go (age first, then quota).
  bool limitExceeded(uint64_t nowNs, const erdinfo::Record& rec) const;
  // Finds the first event after n (up to the newest) with a readable time and makes it the
  // oldest in the record.
  void advanceOldest(uint32_t n, uint32_t newest);

  RecCleanerOwner* const m_owner;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_periodNs{kCyclePeriodNs};
  std::atomic<uint64_t> m_deletions{0};  // written by the cleaner's thread only
  uint32_t m_freedRemainder = 0;  // bytes freed, not yet whole KB; cleaner thread only

  std::mutex m_waitLock;  // only for the cycle wait
  std::condition_variable m_wake;
};

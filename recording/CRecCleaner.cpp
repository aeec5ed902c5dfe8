#include "recording/CRecCleaner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>

#include "platform/Clock.h"
#include "recording/EventTree.h"

void CRecCleaner::requestStop() {
  {
    std::lock_guard<std::mutex> g(m_waitLock);
    m_stop = true;
  }
  m_wake.notify_all();
}

int CRecCleaner::run() {
  m_freedRemainder = 0;
  if (!m_stop.load() && !m_owner->usedSpaceKnown()) m_owner->measureUsedSpace(m_stop);
  while (!m_stop.load()) {
    {
      std::unique_lock<std::mutex> g(m_waitLock);
      m_wake.wait_for(g, std::chrono::nanoseconds(m_periodNs.load()),
                      [this] { return m_stop.load(); });
    }
    if (m_stop.load()) break;
    cleanOnce(platform::nowNs());
  }
  return 0;
}

bool CRecCleaner::limitExceeded(uint64_t nowNs, const erdinfo::Record& rec) const {
  uint64_t maxAge = m_owner->maxAgeNs();
  uint64_t oldestNs = uint64_t(rec.oldestStamp.seconds) * 1000000000ull;
  if (maxAge > 0 && nowNs > oldestNs && nowNs - oldestNs > maxAge) return true;
  uint32_t quota = m_owner->quotaKB();
  return quota != 0 && m_owner->usedKB() > quota;
}

bool CRecCleaner::cleanOnce(uint64_t nowNs) {
  if (!m_owner->cleanerActive() || m_stop.load() || !m_owner->usedSpaceKnown()) return false;
  uint32_t oldest, newest;
  {
    std::lock_guard<std::mutex> g(m_owner->indexLock());
    const erdinfo::Record& rec = m_owner->indexRecord();
    oldest = rec.oldest;
    newest = rec.newest;
    if (oldest == newest || oldest >= erdinfo::kEventCount || newest >= erdinfo::kEventCount)
      return false;
    if (!limitExceeded(nowNs, rec)) return false;
  }
  std::string dir = m_owner->cleanerDir();
  std::string evDir = eventtree::eventDir(dir, oldest);
  uint64_t freed = eventtree::removeTree(evDir);
  uint64_t total = uint64_t(m_freedRemainder) + freed;
  if (total > 1023) m_owner->subtractUsedKB(uint32_t(std::min<uint64_t>(total / 1024, UINT32_MAX)));
  m_freedRemainder = uint32_t(total % 1024);
  // Succeeds only once the top-level directory has become empty.
  rmdir(eventtree::topDir(dir, oldest).c_str());
  advanceOldest(oldest, newest);
  m_deletions.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void CRecCleaner::advanceOldest(uint32_t n, uint32_t newest) {
  std::string dir = m_owner->cleanerDir();
  uint32_t m = erdinfo::nextEvent(n);
  while (m != newest && !m_stop.load()) {
    // A missing top-level directory holds none of its thousand events: skip it whole, but
    // never past the newest event.
    struct stat st;
    if (m % 1000 == 0 || m == erdinfo::nextEvent(n)) {
      if (lstat(eventtree::topDir(dir, m).c_str(), &st) != 0) {
        uint32_t nextTop = (m / 1000 + 1) * 1000 % erdinfo::kEventCount;
        bool newestInside = newest / 1000 == m / 1000 && newest > m;
        m = newestInside ? newest : nextTop;
        continue;
      }
    }
    uint64_t t;
    if (eventtree::readEventTime(eventtree::eventDir(dir, m) + "E00000.jpg", &t)) {
      std::lock_guard<std::mutex> g(m_owner->indexLock());
      erdinfo::Record& rec = m_owner->indexRecord();
      rec.oldest = m;
      rec.oldestStamp.event = m;
      rec.oldestStamp.frame = 0;
      erdinfo::setStampTimeUs(rec.oldestStamp, t);
      return;
    }
    m = erdinfo::nextEvent(m);
  }
}

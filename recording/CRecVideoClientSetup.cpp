// The recording thread's set-up of a channel directory: the index file accepted or rebuilt by
// measuring the tree, and the cleaner started on it; the measuring of the used space after an
// unclean end, on the cleaner's thread.
#include "recording/CRecVideoClient.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/CLogFile.h"
#include "platform/Clock.h"
#include "recording/EventTree.h"

namespace {

std::string shownDir(const std::string& dir, const char* none) { return dir.empty() ? none : dir; }

// A measured tree in whole KB (rounded), capped where the index's signed field ends.
uint32_t usedKBOf(const eventtree::ScanResult& scan) {
  const uint64_t kb = (scan.bytes + 512) / 1024;
  return uint32_t(kb > uint64_t(INT32_MAX) ? uint64_t(INT32_MAX) : kb);
}

}  // namespace

void CRecVideoClient::logSetupError(int level, const std::string& message, const char* function) {
  if (!m_setupFailing) g_logFile.log(level, logSource(), message, function);
}

void CRecVideoClient::startCleaner() {
  if (m_cleanerStarted) return;
  m_cleaner.clearStop();
  m_cleanerStarted = m_cleaner.start();
  if (!m_cleanerStarted && !m_cleanerFailing)
    g_logFile.log(CLogFile::Error, logSource(),
                  "Unable to start the cleaner thread (" + std::string(std::strerror(errno)) +
                      "); the disk quota and maximum age are not enforced until it starts.",
                  "CRecVideoClient::reconf");
  m_cleanerFailing = !m_cleanerStarted;
}

void CRecVideoClient::stopCleaner() {
  m_cleaner.requestStop();
  if (m_cleanerStarted) m_cleaner.join();
  m_cleanerStarted = false;
}

void CRecVideoClient::update_erdinfo(bool closing) {
  const char* fn = "CRecVideoClient::update_erdinfo";
  bool ok;
  {
    std::lock_guard<std::mutex> g(m_indexLock);
    // Above 2 TB the signed field would read as "inconsistent" and force a rebuild.
    uint32_t used = m_usedKB.load();
    m_record.usedKB = int32_t(used > uint32_t(INT32_MAX) ? uint32_t(INT32_MAX) : used);
    if (!m_index.isOpen()) return;
    ok = m_index.writeRecord(m_record);
    // Under the same lock as the measured figure's arrival: a mark never vouches for a count
    // that was still lagging.
    if (ok && closing && m_usedKnown.load()) m_index.writeCleanMark(m_record);
  }
  if (!ok)
    warnLimited("Error saving the '.erdinfo' file (" + std::string(std::strerror(errno)) + ")", fn,
                CLogFile::Error);
}

void CRecVideoClient::closeIndex() {
  if (!m_index.isOpen()) return;
  transferPending();
  update_erdinfo(true);
  m_index.close();
}

bool CRecVideoClient::reconf() {
  const char* fn = "CRecVideoClient::reconf";
  if (!m_active.load()) {
    // The cleaner, if running, keeps idling; the index is saved and closed.
    closeIndex();
    return true;
  }
  stopCleaner();
  closeIndex();
  m_recDir = channelDir();
  m_pending = 0;
  if (m_recDir.empty() || !eventtree::createPath(m_recDir)) {
    logSetupError(CLogFile::Error, "Unable to create the path: '" + shownDir(m_recDir, "<none>") + "' (" +
                      std::strerror(errno) + ")",
                  fn);
    // An unmounted disk or a missing permission may be mended without a new submission.
    m_retryReconf = !m_recDir.empty();
    return false;
  }
  if (!loadOrRebuildIndex()) {
    m_retryReconf = true;
    return false;
  }
  startCleaner();
  return true;
}

bool CRecVideoClient::catchUpNewest(erdinfo::Record& rec) {
  bool any = false;
  uint64_t t;
  for (uint32_t n = erdinfo::nextEvent(rec.newest), steps = 1; steps < erdinfo::kEventCount;
       n = erdinfo::nextEvent(n), ++steps) {
    // An older event under the next number is a leftover of the previous round, not a new one.
    if (!eventtree::readEventTime(eventtree::eventDir(m_recDir, n) + "E00000.jpg", &t) ||
        t / 1000000 < rec.newestStamp.seconds)
      break;
    rec.newest = n;
    rec.newestStamp.event = n;
    rec.newestStamp.frame = 0;
    erdinfo::setStampTimeUs(rec.newestStamp, t);
    any = true;
  }
  return any;
}

bool CRecVideoClient::loadOrRebuildIndex() {
  const char* fn = "CRecVideoClient::reconf";
  erdinfo::Record rec;
  bool clean = false;
  IndexFile::Load state = m_index.load(m_recDir, &rec, &clean);
  if (state == IndexFile::Load::Accepted &&
      (rec.oldest >= erdinfo::kEventCount || rec.newest >= erdinfo::kEventCount)) {
    m_index.close();
    state = IndexFile::Load::Inconsistent;  // event numbers the tree cannot have
  }
  if (state == IndexFile::Load::Accepted) {
    // The process may have died after an event began and before the index named it; then it
    // was not closed cleanly either.
    if (catchUpNewest(rec)) clean = false;
    {
      std::lock_guard<std::mutex> g(m_indexLock);
      m_record = rec;
      m_usedKB = uint32_t(rec.usedKB);
      // After an unclean end (a crash, a kill, a power cut) the count lags behind the tree:
      // the bytes written since the last index write were never counted, and the cleaner may
      // have subtracted files it freed. The cleaner measures the tree again first.
      m_usedKnown = clean;
      m_measureAfter = rec.newest;
      m_measureBaseKB = uint32_t(rec.usedKB);
    }
    // Written at once: the mark earlier versions kept in the record's reserved bytes goes.
    update_erdinfo();
    return true;
  }
  if (state == IndexFile::Load::Inconsistent)
    g_logFile.log(CLogFile::Warning, logSource(),
                  "Consistency error reading the '.erdinfo' file: " + shownDir(m_recDir, "<none>/") +
                      ".erdinfo'",
                  fn);
  return rebuildIndex();
}

void CRecVideoClient::measureUsedSpace(const std::atomic<bool>& stop) {
  const uint32_t after = m_measureAfter;
  // The events numbered after the loaded newest one up to the current newest one are the
  // recorder's own: their bytes are in the counter already.
  auto recordedSince = [&](uint32_t ev) {
    uint32_t newest;
    {
      std::lock_guard<std::mutex> g(m_indexLock);
      newest = m_record.newest;
    }
    const uint32_t own = (newest + erdinfo::kEventCount - after) % erdinfo::kEventCount;
    const uint32_t d = (ev + erdinfo::kEventCount - after) % erdinfo::kEventCount;
    return d >= 1 && d <= own;
  };
  const eventtree::ScanResult scan =
      eventtree::scanTree(m_recDir, nullptr, recordedSince, [&] { return stop.load(); });
  if (stop.load()) return;  // still unknown: the next start of the cleaner measures again
  const uint32_t measured = usedKBOf(scan);
  uint32_t now;
  {
    std::lock_guard<std::mutex> g(m_indexLock);
    now = m_usedKB.load();
    uint32_t fixed;
    do {
      // What the recorder added since the load stays; the stored figure gives way to the tree's.
      const int64_t v = int64_t(now) - int64_t(m_measureBaseKB) + int64_t(measured);
      fixed = uint32_t(std::min<int64_t>(std::max<int64_t>(v, 0), INT32_MAX));
    } while (!m_usedKB.compare_exchange_weak(now, fixed));
    now = fixed;
    m_usedKnown = true;
  }
  g_logFile.log(CLogFile::Info, logSource(),
                "The '.erdinfo' file was not closed cleanly: used space measured from the tree while "
                "recording (" + std::to_string(now) + " KB, was " + std::to_string(m_measureBaseKB) +
                    " KB).",
                "CRecVideoClient::measureUsedSpace");
}

bool CRecVideoClient::rebuildIndex() {
  const char* fn = "CRecVideoClient::reconf";
  erdinfo::Record rec = erdinfo::freshRecord(uint32_t(platform::nowNs() / 1000000000ull));
  std::string source = logSource();
  eventtree::ScanResult scan = eventtree::scanTree(m_recDir, [&](const std::string& path) {
    g_logFile.log(CLogFile::Warning, source,
                  "Unknown dir. found in the file server structure: '" + path + "'", fn);
  });
  if (scan.found) {
    rec.newest = scan.newestEvent;
    rec.newestStamp.event = scan.newestEvent;
    erdinfo::setStampTimeUs(rec.newestStamp, scan.newestUs);
    rec.oldest = scan.oldestEvent;
    rec.oldestStamp.event = scan.oldestEvent;
    erdinfo::setStampTimeUs(rec.oldestStamp, scan.oldestUs);
  }
  const uint32_t used = usedKBOf(scan);
  rec.usedKB = int32_t(used);
  IndexFile::Rebuild result = m_index.rebuild(m_recDir, rec);
  if (result != IndexFile::Rebuild::Written) {
    std::string why = std::strerror(errno);
    if (result == IndexFile::Rebuild::OpenFailed) {
      logSetupError(CLogFile::Error,
                    "Unable to open/create file '" + shownDir(m_recDir, "<none>/") + ".erdinfo' (" +
                        why + ")",
                    fn);
    } else {
      logSetupError(CLogFile::Error, "Error saving the '.erdinfo' file (" + why + ")", fn);
    }
    return false;
  }
  std::lock_guard<std::mutex> g(m_indexLock);
  m_record = rec;
  m_usedKB = used;
  m_usedKnown = true;
  return true;
}

// The recording thread's set-up of a channel directory: the index file accepted or rebuilt by
// measuring the tree, and the cleaner started on it.
#include "recording/CRecVideoClient.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "app/CLogFile.h"
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

void CRecVideoClient::update_erdinfo() {
  const char* fn = "CRecVideoClient::update_erdinfo";
  bool ok;
  {
    std::lock_guard<std::mutex> g(m_indexLock);
    // Above 2 TB the signed field would read as "inconsistent" and force a rebuild.
    uint32_t used = m_usedKB.load();
    m_record.usedKB = int32_t(used > uint32_t(INT32_MAX) ? uint32_t(INT32_MAX) : used);
    if (!m_index.isOpen()) return;
    ok = m_index.writeRecord(m_record);
  }
  if (!ok)
    warnLimited("Error saving the '.erdinfo' file (" + std::string(std::strerror(errno)) + ")", fn,
                CLogFile::Error);
}

void CRecVideoClient::closeIndex() {
  if (!m_index.isOpen()) return;
  transferPending();
  {
    std::lock_guard<std::mutex> g(m_indexLock);
    m_record.closedCleanly = true;
  }
  update_erdinfo();
  {
    std::lock_guard<std::mutex> g(m_indexLock);
    m_record.closedCleanly = false;
  }
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

bool CRecVideoClient::loadOrRebuildIndex() {
  const char* fn = "CRecVideoClient::reconf";
  erdinfo::Record rec;
  IndexFile::Load state = m_index.load(m_recDir, &rec);
  if (state == IndexFile::Load::Accepted) {
    // A record with event numbers out of range, or a tree that holds a newer event right
    // after the recorded newest one (the process died before the index caught up), is not
    // trusted: the tree is measured again.
    bool sane = rec.oldest < erdinfo::kEventCount && rec.newest < erdinfo::kEventCount;
    uint64_t t;
    if (sane && eventtree::readEventTime(
                    eventtree::eventDir(m_recDir, erdinfo::nextEvent(rec.newest)) + "E00000.jpg",
                    &t) &&
        t / 1000000 >= rec.newestStamp.seconds) {
      sane = false;
    }
    if (sane) {
      // After an unclean end (a crash, a kill, a power cut) the count lags behind the tree:
      // the bytes written since the last index write were never counted, and the cleaner may
      // have subtracted files it freed. Measure the tree again instead of trusting it.
      if (!rec.closedCleanly) {
        const uint32_t stored = uint32_t(rec.usedKB);
        rec.usedKB = int32_t(usedKBOf(eventtree::scanTree(m_recDir, nullptr)));
        g_logFile.log(CLogFile::Info, logSource(),
                      "The '.erdinfo' file was not closed cleanly: used space recounted from the "
                      "tree (" + std::to_string(rec.usedKB) + " KB, was " +
                          std::to_string(stored) + " KB).",
                      fn);
      }
      rec.closedCleanly = false;
      {
        std::lock_guard<std::mutex> g(m_indexLock);
        m_record = rec;
        m_usedKB = uint32_t(rec.usedKB);
      }
      // The file reads as not closed cleanly from now on, until closeIndex().
      update_erdinfo();
      return true;
    }
    m_index.close();
    state = IndexFile::Load::Inconsistent;
  }
  if (state == IndexFile::Load::Inconsistent)
    g_logFile.log(CLogFile::Warning, logSource(),
                  "Consistency error reading the '.erdinfo' file: " + shownDir(m_recDir, "<none>/") +
                      ".erdinfo'",
                  fn);
  return rebuildIndex();
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
  return true;
}

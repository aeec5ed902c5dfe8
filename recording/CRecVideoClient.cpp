#include "recording/CRecVideoClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "base/CLogFile.h"
#include "platform/Clock.h"
#include "recording/EventInfo.h"
#include "recording/EventTree.h"

namespace {

constexpr uint64_t kWarnIntervalNs = 1000000000ull;

// Creates (truncating) a file of the tree, of mode 0640 whatever the umask. Never follows a
// link and never blocks on a FIFO that happens to carry the name; only a regular file is
// accepted.
int createTreeFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                0640);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  if ((st.st_mode & 07777) != 0640) fchmod(fd, 0640);
  return fd;
}

// Bytes actually written (fewer on a full disk or another error).
uint32_t writeAll(int fd, const uint8_t* data, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    ssize_t r = write(fd, data + done, length - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += uint32_t(r);
  }
  return done;
}

std::string errnoText(int err) { return std::strerror(err); }

std::unique_ptr<ChannelRecorder> makeRecorder(CVideoCnl* cnl) {
  return std::make_unique<CRecVideoClient>(cnl);
}

}  // namespace

void installChannelRecorder() { setChannelRecorderMaker(makeRecorder); }

CRecVideoClient* recorderOf(CVideoCnl& cnl) { return dynamic_cast<CRecVideoClient*>(cnl.recorder()); }

CRecVideoClient::CRecVideoClient(CVideoCnl* cnl)
    : CVideoClient(cnl, kDefaultPeriodMs), m_cleaner(this) {
  m_record = erdinfo::freshRecord(uint32_t(platform::nowNs() / 1000000000ull));
}

CRecVideoClient::~CRecVideoClient() { stopCleaner(); }

std::string CRecVideoClient::logSource() { return "Rec. cli. on cnl. " + m_cnl->logSource(); }

std::string CRecVideoClient::channelDir() const {
  std::lock_guard<std::mutex> g(m_dirLock);
  return m_cnlDir;
}

erdinfo::Record CRecVideoClient::recordCopy() {
  std::lock_guard<std::mutex> g(m_indexLock);
  return m_record;
}

void CRecVideoClient::setTimings(uint64_t sequenceSpanNs, uint64_t errorPauseNs,
                                 uint64_t idlePauseNs, uint64_t reconfRetryNs) {
  m_sequenceSpanNs = sequenceSpanNs;
  m_errorPauseNs = errorPauseNs;
  m_idlePauseNs = idlePauseNs;
  m_reconfRetryNs = reconfRetryNs;
}

void CRecVideoClient::subtractUsedKB(uint32_t kb) {
  // Clamped at 0: freeing files that were never counted (written before a crash) must not
  // wrap the counter to 4 TB, which would make the cleaner empty the whole tree.
  uint32_t cur = m_usedKB.load();
  while (!m_usedKB.compare_exchange_weak(cur, cur > kb ? cur - kb : 0)) {
  }
}

void CRecVideoClient::countInto(ChannelTotals& t) const {
  t.recEvents = eventsWritten();
  t.recFiles = filesWritten();
  t.recBytes = bytesWritten();
  t.cleanerDeletions = m_cleaner.deletions();
}

void CRecVideoClient::stop() {
  {
    std::lock_guard<std::mutex> g(m_pauseLock);
    m_stop = true;
  }
  m_pauseWake.notify_all();
}

bool CRecVideoClient::pause(uint64_t ns) {
  std::unique_lock<std::mutex> g(m_pauseLock);
  m_pauseWake.wait_for(g, std::chrono::nanoseconds(ns), [this] { return m_stop.load(); });
  return m_stop.load();
}

void CRecVideoClient::warnLimited(const std::string& message, const char* function, int level) {
  uint64_t now = platform::monotonicNs();
  if (m_lastWarnNs != 0 && now - m_lastWarnNs < kWarnIntervalNs) return;
  m_lastWarnNs = now;
  g_logFile.log(level, logSource(), message, function);
}

void CRecVideoClient::addWritten(uint32_t bytes) {
  m_pending += bytes;
  m_bytesWritten.fetch_add(bytes, std::memory_order_relaxed);
}

void CRecVideoClient::transferPending() {
  m_usedKB.fetch_add(m_pending / 1024);
  m_pending %= 1024;
}

void CRecVideoClient::takeBackEvent() {
  assert(isCurrent());
  std::lock_guard<std::mutex> g(m_indexLock);
  m_record.newest = erdinfo::previousEvent(m_record.newest);
  m_record.newestStamp.event = m_record.newest;
}

int CRecVideoClient::run() {
  const char* fn = "CRecVideoClient::run";
  while (!stopping()) {
    if (m_reconf.load() || m_retryReconf.load()) {
      {
        std::lock_guard<std::mutex> g(m_dirLock);
        m_reconf = false;
        m_retryReconf = false;
      }
      if (!reconf()) {
        {
          // Back to inactive until the next init(), unless init() has just armed a new set-up
          // (which this failure must not cancel).
          std::lock_guard<std::mutex> g(m_dirLock);
          if (!m_retryReconf.load() && !m_reconf.load()) m_active = false;
        }
        if (!m_setupFailing)
          g_logFile.log(CLogFile::Warning, logSource(), "Error initializing the recording process.",
                        fn);
        m_setupFailing = true;
        // A missing mount or a full disk may pass: try again later without a new init().
        if (m_retryReconf.load()) {
          if (pause(m_reconfRetryNs.load())) break;
        } else if (pause(m_errorPauseNs.load())) {
          break;
        }
        continue;
      }
      m_setupFailing = false;
      std::string msg = "Configured recording thread. ";
      if (m_active.load()) {
        msg = "Configured recording thread. T=" + std::to_string(periodNs() / 1000000) +
              "ms, root path=" + m_recDir;
      } else {
        msg += "Recording deactivated.";
      }
      g_logFile.log(CLogFile::Info, logSource(), msg, fn);
    }
    if (!m_active.load()) {
      pause(m_idlePauseNs.load());
      continue;
    }
    if (!m_cleanerStarted) startCleaner();  // a cleaner that could not start is retried
    if (!takeFrame()) continue;
    recordEvent();
  }
  stopCleaner();
  closeIndex();
  g_logFile.log(CLogFile::Info, logSource(), "Stopped recording thread.", fn);
  return 0;
}

bool CRecVideoClient::takeFrame() {
  // A picture the gateway generated in place of a failed source is never recorded, nor named
  // as the last one taken.
  const auto taken = [this] {
    if (m_picture.generated) return false;
    m_lastTakenFrame = m_picture.sequence;
    m_lastTakenNs = m_picture.timestamp;
    return true;
  };
  if (waitNewFrame()) return taken();
  while (!interrupted()) {
    if (pause(m_idlePauseNs.load())) return false;
    if (interrupted()) return false;
    if (waitNewFrame()) {  // ends the pause; not stored
      taken();
      return false;
    }
  }
  return false;
}

bool CRecVideoClient::beginEvent(uint32_t* eventOut, std::string* dirOut) {
  const char* fn = "CRecVideoClient::run";
  uint32_t ev;
  {
    std::lock_guard<std::mutex> g(m_indexLock);
    ev = erdinfo::nextEvent(m_record.newest);
    m_record.newest = ev;
    m_record.newestStamp.event = ev;
  }
  std::string dir = eventtree::eventDir(m_recDir, ev);
  // A directory left under this number (a number taken back after a failed write, or an
  // old event after the numbers wrapped) must not mix its files into the new event.
  struct stat st;
  if (lstat(dir.substr(0, dir.size() - 1).c_str(), &st) == 0) {
    subtractUsedKB(uint32_t(std::min<uint64_t>(eventtree::removeTree(dir) / 1024, UINT32_MAX)));
    // After a wrap the reused number may be the oldest one: the oldest moves on, or the
    // cleaner would see oldest == newest and never clean again.
    uint32_t after = erdinfo::nextEvent(ev);
    uint64_t t;
    bool readable = eventtree::readEventTime(eventtree::eventDir(m_recDir, after) + "E00000.jpg", &t);
    std::lock_guard<std::mutex> g(m_indexLock);
    if (m_record.oldest == ev) {
      m_record.oldest = after;
      m_record.oldestStamp.event = after;
      if (readable) erdinfo::setStampTimeUs(m_record.oldestStamp, t);
    }
  }
  eventtree::createPath(dir);
  std::string path = dir + "E00000.jpg";
  int fd = createTreeFile(path);
  if (fd < 0) {
    warnLimited("Unable to open/create file " + path + " (" + errnoText(errno) + ")", fn);
    takeBackEvent();
    pause(m_errorPauseNs.load());
    return false;
  }
  countFile();
  uint32_t written = writeAll(fd, m_picture.data, m_picture.length);
  int err = errno;
  addWritten(written);
  close(fd);
  if (written < m_picture.length) {
    warnLimited("Unable to write to file " + path + " (" + errnoText(err) + ")", fn);
    pause(m_errorPauseNs.load());
    takeBackEvent();
    return false;
  }
  transferPending();
  {
    std::lock_guard<std::mutex> g(m_indexLock);
    m_record.newestStamp.frame = m_picture.sequence;
    m_record.newestStamp.seconds = uint32_t(m_picture.timestamp / 1000000000ull);
    m_record.newestStamp.millis = uint32_t((m_picture.timestamp / 1000000ull) % 1000);
  }
  // The index names the event as soon as its first file exists, so a crash from here on
  // never leads the next start to reuse (and overwrite) this number.
  update_erdinfo();
  m_eventsWritten.fetch_add(1, std::memory_order_relaxed);
  *eventOut = ev;
  *dirOut = dir;
  return true;
}

bool CRecVideoClient::writeSequenceFile(const std::string& path) {
  const char* fn = "CRecVideoClient::run";
  int fd = createTreeFile(path);
  if (fd < 0) {
    int err = errno;
    warnLimited("Unable to open/create file " + path + " (" + errnoText(err) + ")", fn);
    pause(m_errorPauseNs.load());
    return false;
  }
  countFile();
  uint64_t opened = platform::monotonicNs();
  while (!interrupted() && platform::monotonicNs() - opened < m_sequenceSpanNs.load()) {
    if (!takeFrame()) continue;
    uint32_t written = writeAll(fd, m_picture.data, m_picture.length);
    int err = errno;
    addWritten(written);
    if (written < m_picture.length) {
      warnLimited("Unable to write to file " + path + " (" + errnoText(err) + ")", fn);
      pause(m_errorPauseNs.load());
      break;
    }
  }
  close(fd);
  transferPending();
  update_erdinfo();
  return true;
}

void CRecVideoClient::writeInfoFile(const std::string& dir, uint32_t files, uint32_t firstFrame,
                                    uint64_t firstTimeNs) {
  eventinfo::Info info;
  info.sequenceFiles = files;
  info.firstFrame = firstFrame;
  info.lastFrame = m_lastTakenFrame;
  info.firstSeconds = firstTimeNs / 1000000000ull;
  info.lastSeconds = m_lastTakenNs / 1000000000ull;
  std::vector<uint8_t> bytes = eventinfo::infoFile(info);
  int fd = createTreeFile(dir + "INFO.jpg");
  if (fd < 0) return;  // the event simply has none
  countFile();
  addWritten(writeAll(fd, bytes.data(), uint32_t(bytes.size())));
  close(fd);
}

void CRecVideoClient::recordEvent() {
  assert(isCurrent() && "events are written by the recording thread");
  uint32_t ev;
  std::string dir;
  if (!beginEvent(&ev, &dir)) return;
  uint32_t firstFrame = m_picture.sequence;
  uint64_t firstTime = m_picture.timestamp;
  uint32_t finished = 0;
  for (int i = 1; i <= kSequenceFiles; ++i) {
    if (interrupted()) break;
    if (!writeSequenceFile(dir + eventtree::sequenceFileName(i))) {
      // The event's number is given back only while it holds nothing but its first
      // picture: handing it on later would let the next event overwrite finished files.
      if (finished == 0) takeBackEvent();
      break;
    }
    ++finished;
  }
  writeInfoFile(dir, finished, firstFrame, firstTime);
}

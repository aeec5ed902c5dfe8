// The recorder's settings (recording/RecSettings.h) read and handed to the recording thread.
// Configuration server's thread, or the GUI thread at start-up.
#include "recording/CRecVideoClient.h"

#include <algorithm>

#include "app/CLogFile.h"
#include "recording/EventTree.h"
#include "recording/RecSettings.h"

using namespace recsettings;

namespace {

uint32_t clampPeriodMs(int64_t ms) {
  return uint32_t(std::min<int64_t>(std::max<int64_t>(ms, kFramePeriod.min), kFramePeriod.max));
}

}  // namespace

bool CRecVideoClient::init() {
  const char* fn = "CRecVideoClient::init";
  const std::string section = m_cnl->sectionName();
  bool wanted = readSettingBool(section, kActive);
  bool ok = true;
  std::string dir;
  if (wanted) {
    std::string root = readSettingText(section, kRootPath);
    if (root.empty()) {
      g_logFile.log(CLogFile::Error, logSource(),
                    "The <EM>Rec. root directory path</EM> path is missing.", fn);
      ok = false;
    } else if (!eventtree::isAcceptableRoot(root)) {
      g_logFile.log(CLogFile::Error, logSource(),
                    "The recording root path must be an absolute path.", fn);
      ok = false;
    } else {
      dir = eventtree::normalizePath(root + "/") + m_cnl->sourceTag() + "/";
    }
    wanted = ok;
  }

  if (wanted) {
    // The quota is kept in KB in 32 bits; a stored value whose KB would not fit (a hand-edited
    // store) is refused rather than wrapped into a small quota that would empty the tree.
    unsigned quotaMB = readSettingUnsigned(section, kDiskQuota);
    if (quotaMB > kMaxQuotaMB) {
      g_logFile.log(CLogFile::Warning, logSource(),
                    "The <EM>Rec. disk quota</EM> value must be a positive numeric value.", fn);
    } else {
      m_quotaKB = quotaMB * 1024u;
    }
    int ageSeconds = readSettingInt(section, kMaxAge);
    if (ageSeconds < 0) {
      g_logFile.log(CLogFile::Warning, logSource(),
                    "The <EM>Rec. max age</EM> (days and hours) values must be positive numeric "
                    "values.",
                    fn);
    } else {
      m_maxAgeNs = uint64_t(ageSeconds) * 1000000000ull;
    }
    int period = readSettingInt(section, kFramePeriod);
    m_periodNs = uint64_t(clampPeriodMs(period)) * 1000000ull;
  }

  // Hand-over to the recording thread, all at once: it takes the flags and the directory
  // under the same lock, so it never sees recording switched on without its directory.
  {
    std::lock_guard<std::mutex> g(m_dirLock);
    bool changed = !ok;  // a refused set-up: the thread saves and closes the index at once
    if (wanted && dir != m_cnlDir) {
      m_cnlDir = dir;
      m_cleaner.requestStop();
      changed = true;
    }
    if (wanted != m_active.load()) {
      m_active = wanted;
      changed = true;
    }
    if (changed) m_reconf = true;
  }
  return ok;
}

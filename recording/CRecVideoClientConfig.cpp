// The recorder's settings (recording/RecSettings.h) read and handed to the recording thread.
// Configuration server's thread, or the GUI thread at start-up.
#include "recording/CRecVideoClient.h"

#include <algorithm>

#include "base/CLogFile.h"
#include "recording/EventTree.h"
#include "recording/RecSettings.h"

using namespace recsettings;

namespace {

uint32_t clampPeriodMs(int64_t ms) {
  return uint32_t(std::min<int64_t>(std::max<int64_t>(ms, kFramePeriod.min), kFramePeriod.max));
}

}  // namespace

bool CRecVideoClient::init() {
  const RecConfig c = load();
  apply(c);
  return !c.refused;
}

RecConfig CRecVideoClient::load() {
  const char* fn = "CRecVideoClient::init";
  const std::string section = m_cnl->sectionName();
  RecConfig c;
  if (!readSettingBool(section, kActive)) return c;
  const std::string root = readSettingText(section, kRootPath);
  if (root.empty()) {
    g_logFile.log(CLogFile::Error, logSource(), "The <EM>Rec. root directory path</EM> path is missing.", fn);
    c.refused = true;
    return c;
  }
  if (!eventtree::isAcceptableRoot(root)) {
    g_logFile.log(CLogFile::Error, logSource(), "The recording root path must be an absolute path.", fn);
    c.refused = true;
    return c;
  }
  c.active = true;
  c.dir = eventtree::normalizePath(root + "/") + m_cnl->sourceTag() + "/";
  // The quota is kept in KB in 32 bits; a stored value whose KB would not fit (a hand-edited
  // store) is refused rather than wrapped into a small quota that would empty the tree.
  const unsigned quotaMB = readSettingUnsigned(section, kDiskQuota);
  if (quotaMB > kMaxQuotaMB) {
    g_logFile.log(CLogFile::Warning, logSource(),
                  "The <EM>Rec. disk quota</EM> value must be a positive numeric value.", fn);
  } else {
    c.hasQuota = true;
    c.quotaKB = quotaMB * 1024u;
  }
  const int ageSeconds = readSettingInt(section, kMaxAge);
  if (ageSeconds < 0) {
    g_logFile.log(CLogFile::Warning, logSource(),
                  "The <EM>Rec. max age</EM> (days and hours) values must be positive numeric values.", fn);
  } else {
    c.hasMaxAge = true;
    c.maxAgeNs = uint64_t(ageSeconds) * 1000000000ull;
  }
  c.hasPeriod = true;
  c.periodNs = uint64_t(clampPeriodMs(readSettingInt(section, kFramePeriod))) * 1000000ull;
  return c;
}

void CRecVideoClient::apply(const RecConfig& c) {
  if (c.hasQuota) m_quotaKB = c.quotaKB;
  if (c.hasMaxAge) m_maxAgeNs = c.maxAgeNs;
  if (c.hasPeriod) m_periodNs = c.periodNs;
  // Hand-over to the recording thread, all at once: it takes the flags and the directory
  // under the same lock, so it never sees recording switched on without its directory.
  std::lock_guard<std::mutex> g(m_dirLock);
  bool changed = c.refused;  // a refused set-up: the thread saves and closes the index at once
  if (c.active && c.dir != m_cnlDir) {
    m_cnlDir = c.dir;
    m_cleaner.requestStop();
    changed = true;
  }
  if (c.active != m_active.load()) {
    m_active = c.active;
    changed = true;
  }
  if (changed) m_reconf = true;
}

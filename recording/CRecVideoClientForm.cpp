// The recorder's settings: reading them (init), the recording block of a submitted channel
// form (update) and the recording rows of the status table. Configuration server's thread.
#include "recording/CRecVideoClient.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "recording/EventTree.h"

namespace {

constexpr uint32_t kMaxAgeFieldValue = 99999;  // days or hours, each

const char* const kKeyActive = "CnlEventRecActive";
const char* const kKeyRoot = "CnlEventRootPath";
const char* const kKeyQuota = "CnlEventDiskQuota";
const char* const kKeyAge = "CnlEventAge";
const char* const kKeyPeriod = "CnlEventFramePeriod";

const char* const kWarnQuota =
    "<P class=warn>The <EM>Rec. disk quota</EM> value must be a positive numeric value.</P>";
const char* const kWarnAge =
    "<P class=warn>The <EM>Rec. max age</EM> (days and hours) values must be positive numeric "
    "values.</P>";

// Reads an unsigned decimal (leading blanks allowed, digits only after them). Values beyond
// 64 bits saturate instead of wrapping, so they are refused as too large rather than
// becoming small numbers.
bool parseUnsigned(const std::string& text, uint64_t* out) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned d = unsigned(text[i] - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  *out = v;
  return true;
}

// A signed decimal: false when unreadable; *negative tells a readable negative value.
bool parseSigned(const std::string& text, uint64_t* magnitude, bool* negative) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  *negative = i < text.size() && text[i] == '-';
  return parseUnsigned(*negative ? text.substr(i + 1) : text.substr(i), magnitude);
}

uint32_t clampPeriodMs(int64_t ms) {
  if (ms < CRecVideoClient::kMinPeriodMs) return CRecVideoClient::kMinPeriodMs;
  if (ms > CRecVideoClient::kMaxPeriodMs) return CRecVideoClient::kMaxPeriodMs;
  return uint32_t(ms);
}

const FormFields::const_iterator findField(const FormFields& f, const std::string& name) {
  return f.find(name);
}

}  // namespace

bool CRecVideoClient::init() {
  const char* fn = "CRecVideoClient::init";
  const std::string section = m_cnl->sectionName();
  bool wanted = g_settings.readBool(section, kKeyActive, false);
  bool ok = true;
  std::string dir;
  if (wanted) {
    std::string root = g_settings.readString(section, kKeyRoot, "");
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
    unsigned quotaMB = g_settings.readUnsigned(section, kKeyQuota, 0);
    if (quotaMB > kMaxQuotaMB) {
      g_logFile.log(CLogFile::Warning, logSource(),
                    "The <EM>Rec. disk quota</EM> value must be a positive numeric value.", fn);
    } else {
      m_quotaKB = quotaMB * 1024u;
    }
    int ageSeconds = g_settings.readInt(section, kKeyAge, 0);
    if (ageSeconds < 0) {
      g_logFile.log(CLogFile::Warning, logSource(),
                    "The <EM>Rec. max age</EM> (days and hours) values must be positive numeric "
                    "values.",
                    fn);
    } else {
      m_maxAgeNs = uint64_t(ageSeconds) * 1000000000ull;
    }
    int period = g_settings.readInt(section, kKeyPeriod, int(kDefaultPeriodMs));
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

bool CRecVideoClient::update(const FormFields& fields, std::string& html) {
  const char* fn = "CRecVideoClient::update";
  const std::string prefix = m_cnl->fieldPrefix();
  const std::string section = m_cnl->sectionName();

  auto activeIt = findField(fields, prefix + kKeyActive);
  bool wanted = activeIt != fields.end() ? activeIt->second == "on" : m_active.load();
  bool ok = wanted;

  // Root path.
  auto rootIt = findField(fields, prefix + kKeyRoot);
  std::string root = rootIt != fields.end() ? rootIt->second : "";
  if (!root.empty()) {
    // Roots that climb with ".." or lie in the system's own folders get the same answer as a
    // relative one: the cleaner must never delete there.
    const bool acceptable = eventtree::isAcceptableRoot(root);
    root = eventtree::normalizePath(root + "/");
    if (acceptable && root.size() <= kMaxRootPathLength) {
      if (!g_settings.existingEntry(section, kKeyRoot) ||
          g_settings.readString(section, kKeyRoot, "") != root) {
        g_settings.writeString(section, kKeyRoot, root);
        html += "<P class=upd>Updated the <EM>Rec. root directory path</EM> value to '<STRONG>" +
                html_escape(root) + "</STRONG>'</P>";
      }
    } else if (acceptable) {
      if (wanted) {
        html += "<P class=warn>The <EM>Rec. root directory path</EM> string is too long (max 256 "
                "chars).</P>";
        ok = false;
      }
    } else if (wanted) {
      g_logFile.log(CLogFile::Error, logSource(), "The recording root path must be an absolute path.",
                    fn);
      html += "<P class=warn>The <EM>Rec. root directory path</EM> path must be absolute.</P>";
      ok = false;
    }
  } else if (wanted && channelDir().empty()) {
    html += "<P class=warn>The <EM>Rec. root directory path</EM> path is missing.</P>";
    ok = false;
  }

  // Disk quota in MB. Values from 4194304 on would overflow the 32-bit KB counter.
  auto quotaIt = findField(fields, prefix + kKeyQuota);
  if (quotaIt != fields.end()) {
    uint64_t q;
    if (!parseUnsigned(quotaIt->second, &q)) {
      if (wanted) html += kWarnQuota;
    } else if (q <= kMaxQuotaMB) {
      if (!g_settings.existingEntry(section, kKeyQuota) ||
          g_settings.readUnsigned(section, kKeyQuota, 0) != q) {
        g_settings.writeUnsigned(section, kKeyQuota, unsigned(q));
        html += "<P class=upd>Updated the <EM>Rec. disk quota</EM> value to <STRONG>" +
                (q == 0 ? std::string("&lt;no limit&gt;") : std::to_string(q)) +
                "</STRONG></P>";
      }
    }
  }

  // Maximum age from days and hours. The stored seconds are a signed 32-bit number: a sum
  // that would not fit is refused, never wrapped.
  auto daysIt = findField(fields, prefix + "CnlEventAgeDays");
  auto hoursIt = findField(fields, prefix + "CnlEventAgeHours");
  if (daysIt != fields.end() || hoursIt != fields.end()) {
    bool readable = true;
    int stored = g_settings.readInt(section, kKeyAge, 0);
    uint64_t age = stored > 0 ? uint64_t(stored) / 86400 * 86400 : 0;  // hours alone keep the days
    if (daysIt != fields.end()) {
      uint64_t days;
      bool negative;
      if (!parseSigned(daysIt->second, &days, &negative) || (negative && days != 0)) {
        readable = false;
      } else {
        age = std::min<uint64_t>(days, kMaxAgeFieldValue) * 86400;
      }
    }
    if (readable && hoursIt != fields.end()) {
      uint64_t hours;
      if (!parseUnsigned(hoursIt->second, &hours)) {
        readable = false;
      } else {
        age += std::min<uint64_t>(hours, kMaxAgeFieldValue) * 3600;
      }
    }
    if (readable && age > uint64_t(INT32_MAX)) readable = false;
    if (!readable) {
      if (wanted) html += kWarnAge;
    } else if (!g_settings.existingEntry(section, kKeyAge) || uint64_t(int64_t(stored)) != age) {
      g_settings.writeInt(section, kKeyAge, int(age));
      html += "<P class=upd>Updated the <EM>Rec. max age</EM> value to <STRONG>";
      if (age == 0) {
        html += "&lt;no limit&gt;";
      } else {
        html += std::to_string(age / 86400) + "days" + ", " + std::to_string((age % 86400) / 3600) +
                "hours";
      }
      html += "</STRONG></P>";
    }
  }

  // Frame period in ms.
  auto periodIt = findField(fields, prefix + kKeyPeriod);
  if (periodIt != fields.end()) {
    uint64_t t;
    if (!parseUnsigned(periodIt->second, &t)) {
      if (wanted)
        html += "<P class=warn>The <EM>Frame rate</EM> value must be a positive numeric value.</P>";
    } else {
      uint32_t period = clampPeriodMs(int64_t(std::min<uint64_t>(t, kMaxPeriodMs)));
      if (!g_settings.existingEntry(section, kKeyPeriod) ||
          g_settings.readInt(section, kKeyPeriod, 0) != int(period)) {
        g_settings.writeInt(section, kKeyPeriod, int(period));
        html += "<P class=upd>Updated the <EM>Frame rate</EM> value to <STRONG>" +
                std::to_string(1000 / period) + "." + std::to_string((10000 / period) % 10) +
                " fps" + "</STRONG></P>";
      }
    }
  }

  // Activation last, so it can refer to the errors above.
  if (activeIt != fields.end()) {
    if (wanted && !ok) {
      html += "<P class=warn>Unable to activate recording due to previous errors.</P>";
      return false;
    }
    bool storedActive = g_settings.readBool(section, kKeyActive, false);
    if (wanted != m_active.load() || !g_settings.existingEntry(section, kKeyActive) ||
        storedActive != wanted) {
      g_settings.writeBool(section, kKeyActive, wanted);
      if (wanted != m_active.load() || storedActive != wanted)
        html += std::string("<P class=upd>Event recording <STRONG>") +
                (wanted ? "activated" : "deactivated") + "</STRONG></P>";
    }
  }
  return true;
}

void CRecVideoClient::status(std::string& html) {
  bool on = m_active.load();
  html += std::string("<TR><TD><STRONG>Event recording</STRONG></TD><TD>") +
          (on ? "activated" : "deactivated") + "</TD></TR>";
  if (!on) return;
  html += "<TR><TD>&nbsp;Rec. root directory path</TD><TD><CODE>" + html_escape(channelDir()) +
          "</CODE></TD></TR><TR><TD>&nbsp;Rec. disk quota</TD><TD>";
  uint32_t q = m_quotaKB.load();
  if (q > 1048576) {
    html += std::to_string(q / 1048576) + "." + std::to_string(((q % 1048576) * 10ull) / 1048576) +
            "Gb";
  } else if (q > 1024) {
    html += std::to_string(q / 1024) + "Mb";
  } else if (q > 0) {
    html += std::to_string(q) + "kb";
  } else {
    html += "no limit";
  }
  html += "</TD></TR><TR><TD>&nbsp;Rec. max age:</TD><TD>";
  uint64_t ageS = m_maxAgeNs.load() / 1000000000ull;
  if (ageS == 0) {
    html += "no limit";
  } else {
    if (ageS / 86400) html += std::to_string(ageS / 86400) + "days ";
    if ((ageS % 86400) / 3600) html += std::to_string((ageS % 86400) / 3600) + "hours ";
    if ((ageS % 3600) / 60) html += std::to_string((ageS % 3600) / 60) + "minutes";
  }
  html += "</TD></TR><TR><TD>&nbsp;Frame rate:</TD><TD>";
  uint64_t period = periodNs();
  if (period > 1000000000ull) {
    html += "1 frame every " + std::to_string(period / 1000000000ull) + "s</TD></TR>";
  } else {
    html += std::to_string(period ? 1000000000ull / period : 0) + " fps</TD></TR>";
  }
}

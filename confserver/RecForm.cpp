// The recording block of a channel's form, its submission and its status rows.
#include <algorithm>
#include <cstdint>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "confserver/ChannelForms.h"
#include "confserver/FormHtml.h"
#include "confserver/FormUpdate.h"
#include "recording/CRecVideoClient.h"
#include "recording/EventTree.h"
#include "recording/RecSettings.h"

using namespace recsettings;

namespace {

const FormLook kLook;  // the common table's look

const char* const kWarnQuota =
    "<P class=warn>The <EM>Rec. disk quota</EM> value must be a positive numeric value.</P>";
const char* const kWarnAge =
    "<P class=warn>The <EM>Rec. max age</EM> (days and hours) values must be positive numeric "
    "values.</P>";

uint32_t clampPeriodMs(int64_t ms) {
  return uint32_t(std::min<int64_t>(std::max<int64_t>(ms, kFramePeriod.min), kFramePeriod.max));
}

void rootPathStep(FormUpdate& u, CRecVideoClient& rec, bool wanted, bool* ok) {
  const std::string* v = u.field(kRootPath);
  std::string root = v ? *v : "";
  if (!root.empty()) {
    // Roots that climb with ".." or lie in the system's own folders get the same answer as a
    // relative one: the cleaner must never delete there.
    const bool acceptable = eventtree::isAcceptableRoot(root);
    root = eventtree::normalizePath(root + "/");
    if (acceptable && root.size() <= size_t(kRootPath.max)) {
      if (u.differs(kRootPath, root)) {
        u.store(kRootPath, root);
        u.html() += "<P class=upd>Updated the <EM>Rec. root directory path</EM> value to '<STRONG>" +
                    html_escape(root) + "</STRONG>'</P>";
      }
    } else if (acceptable) {
      if (wanted) {
        u.html() += "<P class=warn>The <EM>Rec. root directory path</EM> string is too long (max 256 "
                    "chars).</P>";
        *ok = false;
      }
    } else if (wanted) {
      g_logFile.log(CLogFile::Error, rec.logSource(), "The recording root path must be an absolute path.",
                    "CRecVideoClient::update");
      u.html() += "<P class=warn>The <EM>Rec. root directory path</EM> path must be absolute.</P>";
      *ok = false;
    }
  } else if (wanted && rec.channelDir().empty()) {
    u.html() += "<P class=warn>The <EM>Rec. root directory path</EM> path is missing.</P>";
    *ok = false;
  }
}

// Disk quota in MB. Values above the limit would overflow the 32-bit KB counter.
void quotaStep(FormUpdate& u, bool wanted) {
  const std::string* v = u.field(kDiskQuota);
  if (!v) return;
  uint64_t q;
  if (!formnum::leadingUnsigned(*v, &q)) {
    if (wanted) u.html() += kWarnQuota;
  } else if (q <= uint64_t(kDiskQuota.max) && u.differs(kDiskQuota, long(q))) {
    u.store(kDiskQuota, long(q));
    u.updated(kDiskQuota, q == 0 ? std::string("&lt;no limit&gt;") : std::to_string(q));
  }
}

// Maximum age from days and hours. The stored seconds are a signed 32-bit number: a sum that
// would not fit is refused, never wrapped.
void ageStep(FormUpdate& u, bool wanted) {
  const std::string* days = u.field("CnlEventAgeDays");
  const std::string* hours = u.field("CnlEventAgeHours");
  if (!days && !hours) return;
  bool readable = true;
  const int stored = g_settings.readInt(u.section(), kMaxAge.key, 0);
  uint64_t age = stored > 0 ? uint64_t(stored) / 86400 * 86400 : 0;  // hours alone keep the days
  if (days) {
    uint64_t n;
    bool negative;
    if (!formnum::leadingSigned(*days, &n, &negative) || (negative && n != 0))
      readable = false;
    else
      age = std::min<uint64_t>(n, kMaxAgeFieldValue) * 86400;
  }
  if (readable && hours) {
    uint64_t n;
    if (!formnum::leadingUnsigned(*hours, &n))
      readable = false;
    else
      age += std::min<uint64_t>(n, kMaxAgeFieldValue) * 3600;
  }
  if (readable && age > uint64_t(kMaxAge.max)) readable = false;
  if (!readable) {
    if (wanted) u.html() += kWarnAge;
  } else if (!settingStored(u.section(), kMaxAge) || uint64_t(int64_t(stored)) != age) {
    u.store(kMaxAge, long(age));
    u.updated(kMaxAge, age == 0 ? std::string("&lt;no limit&gt;")
                                : std::to_string(age / 86400) + "days, " +
                                      std::to_string((age % 86400) / 3600) + "hours");
  }
}

void periodStep(FormUpdate& u, bool wanted) {
  const std::string* v = u.field(kFramePeriod);
  if (!v) return;
  uint64_t t;
  if (!formnum::leadingUnsigned(*v, &t)) {
    if (wanted)
      u.html() += "<P class=warn>The <EM>Frame rate</EM> value must be a positive numeric value.</P>";
    return;
  }
  const uint32_t period = clampPeriodMs(int64_t(std::min<uint64_t>(t, uint64_t(kFramePeriod.max))));
  if (!settingStored(u.section(), kFramePeriod) ||
      g_settings.readInt(u.section(), kFramePeriod.key, 0) != int(period)) {
    u.store(kFramePeriod, long(period));
    u.updated(kFramePeriod, std::to_string(1000 / period) + "." +
                                std::to_string((10000 / period) % 10) + " fps");
  }
}

}  // namespace

void recordingFormRows(const std::string& p, const std::string& section, std::string& html) {
  using namespace formhtml;
  html += row("<STRONG>Event recording</STRONG>", "");
  const bool active = readSettingBool(section, kActive);
  html += row(kActive.rowLabel(), radioControl(kLook, kActive, p + kActive.key,
                                               kActive.choiceByCode(active ? 1 : 0)));
  html += row(kRootPath.rowLabel(),
              textControl(kLook, kRootPath, p + kRootPath.key, readSettingText(section, kRootPath)));
  html += row(kDiskQuota.rowLabel(), textControl(kLook, kDiskQuota, p + kDiskQuota.key,
                                                 readSettingShown(section, kDiskQuota)));
  const int age = std::max(readSettingInt(section, kMaxAge), 0);
  html += row(kMaxAge.rowLabel(),
              input(kLook, "text", p + "CnlEventAgeDays", std::to_string(age / 86400), 4, 50) +
                  " days " +
                  input(kLook, "text", p + "CnlEventAgeHours", std::to_string((age % 86400) / 3600), 2, 30) +
                  " hours");
  const int shownDefault = std::stoi(kFramePeriod.formDef);
  const int period = int(clampPeriodMs(g_settings.readInt(section, kFramePeriod.key, shownDefault)));
  html += row(kFramePeriod.rowLabel(), selectControl(kLook, kFramePeriod, p + kFramePeriod.key,
                                                     kFramePeriod.choiceByCode(period)));
}

bool recordingUpdate(CRecVideoClient& rec, const std::string& prefix, const std::string& section,
                     const FormFields& fields, std::string& html) {
  FormUpdate u(fields, prefix, section, html);
  const std::string* activeField = u.field(kActive);
  const bool wanted = activeField ? *activeField == "on" : rec.active();
  bool ok = wanted;
  rootPathStep(u, rec, wanted, &ok);
  quotaStep(u, wanted);
  ageStep(u, wanted);
  periodStep(u, wanted);

  // Activation last, so it can refer to the errors above.
  if (activeField) {
    if (wanted && !ok) {
      html += "<P class=warn>Unable to activate recording due to previous errors.</P>";
      return false;
    }
    const bool storedActive = readSettingBool(section, kActive);
    if (wanted != rec.active() || !settingStored(section, kActive) || storedActive != wanted) {
      u.store(kActive, wanted);
      if (wanted != rec.active() || storedActive != wanted)
        html += std::string("<P class=upd>Event recording <STRONG>") +
                (wanted ? "activated" : "deactivated") + "</STRONG></P>";
    }
  }
  return true;
}

void recordingStatus(CRecVideoClient& rec, std::string& html) {
  using formhtml::statusSubRow;
  const bool on = rec.active();
  html += formhtml::statusRow(kActive.label, on ? "activated" : "deactivated");
  if (!on) return;
  html += statusSubRow(kRootPath.label, "<CODE>" + html_escape(rec.channelDir()) + "</CODE>");
  const uint32_t q = rec.diskQuotaKB();
  std::string quota;
  if (q > 1048576)
    quota = std::to_string(q / 1048576) + "." + std::to_string(((q % 1048576) * 10ull) / 1048576) + "Gb";
  else if (q > 1024)
    quota = std::to_string(q / 1024) + "Mb";
  else if (q > 0)
    quota = std::to_string(q) + "kb";
  else
    quota = "no limit";
  html += statusSubRow(kDiskQuota.label, quota);
  const uint64_t ageS = rec.maxAge() / 1000000000ull;
  std::string age;
  if (ageS == 0) {
    age = "no limit";
  } else {
    if (ageS / 86400) age += std::to_string(ageS / 86400) + "days ";
    if ((ageS % 86400) / 3600) age += std::to_string((ageS % 86400) / 3600) + "hours ";
    if ((ageS % 3600) / 60) age += std::to_string((ageS % 3600) / 60) + "minutes";
  }
  html += statusSubRow(kMaxAge.rowLabel(), age);
  const uint64_t period = rec.periodNs();
  html += statusSubRow(kFramePeriod.rowLabel(),
                       period > 1000000000ull ? "1 frame every " + std::to_string(period / 1000000000ull) + "s"
                                              : std::to_string(period ? 1000000000ull / period : 0) + " fps");
}

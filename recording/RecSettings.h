#pragma once
// The recording settings of a channel's section, described once (app/SettingDesc.h): the
// recorder reads them in init(), the configuration pages draw and check them.
#include "app/SettingDesc.h"

namespace recsettings {

extern const SettingDesc kActive;       // "CnlEventRecActive": on/off
extern const SettingDesc kRootPath;     // "CnlEventRootPath": absolute folder of the tree
extern const SettingDesc kDiskQuota;    // "CnlEventDiskQuota": MB, 0 no limit
extern const SettingDesc kMaxAge;       // "CnlEventAge": seconds, 0 no limit (days and hours)
extern const SettingDesc kFramePeriod;  // "CnlEventFramePeriod": ms between stored pictures

// Days and hours of the age fields, each at most this.
constexpr unsigned kMaxAgeFieldValue = 99999;

}  // namespace recsettings

#pragma once
// The recording settings of a channel's section, described once (base/SettingDesc.h): the
// recorder reads them in init(), the configuration pages draw and check them.
#include <cstdint>
#include <string>

#include "base/SettingDesc.h"

namespace recsettings {

extern const SettingDesc kActive;       // "CnlEventRecActive": on/off
extern const SettingDesc kRootPath;     // "CnlEventRootPath": absolute folder of the tree
extern const SettingDesc kDiskQuota;    // "CnlEventDiskQuota": MB, 0 no limit
extern const SettingDesc kMaxAge;       // "CnlEventAge": seconds, 0 no limit (days and hours)
extern const SettingDesc kFramePeriod;  // "CnlEventFramePeriod": ms between stored pictures

// Days and hours of the age fields, each at most this.
constexpr unsigned kMaxAgeFieldValue = 99999;

}  // namespace recsettings

// The recording settings of a channel as its recorder's init() read them, for apply().
struct RecConfig {
  bool active = false;   // recording wanted, and its folder usable
  bool refused = false;  // wanted, but the folder setting was refused (logged)
  std::string dir;       // the channel's folder below the root, ending with "/"
  // The limits; each only when active and its stored value was accepted (the value in force
  // stays otherwise).
  bool hasQuota = false;
  uint32_t quotaKB = 0;
  bool hasMaxAge = false;
  uint64_t maxAgeNs = 0;
  bool hasPeriod = false;
  uint64_t periodNs = 0;
};

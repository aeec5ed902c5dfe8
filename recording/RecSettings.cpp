#include "recording/RecSettings.h"

#include <cstdint>

#include "recording/CRecVideoClient.h"

namespace recsettings {

namespace {

// The frame rates offered: one picture every 10 to 2 seconds, then 1 to 25 per second.
std::vector<SettingChoice> periodChoices() {
  std::vector<SettingChoice> out;
  for (int ms : {10000, 8000, 6000, 4000, 2000})
    out.push_back({std::to_string(ms), "1 frame every " + std::to_string(ms / 1000) + " seconds", ms});
  for (int n = 1; n <= 25; ++n)
    out.push_back({std::to_string(1000 / n), std::to_string(n) + " frame per second", 1000 / n});
  return out;
}

}  // namespace

const SettingDesc kActive{"CnlEventRecActive", SettingType::Bool, "false", 0, 1,
                          "Event recording", "Activate recording for this channel:",
                          SettingControl::Radio, 0, 0, {{"on", "ON", 1}, {"off", "OFF", 0}}};
const SettingDesc kRootPath{"CnlEventRootPath", SettingType::Text, "", 0,
                            long(CRecVideoClient::kMaxRootPathLength), "Rec. root directory path",
                            "Rec. root directory path:", SettingControl::Text, 400, 255, {}};
const SettingDesc kDiskQuota{"CnlEventDiskQuota", SettingType::Unsigned, "0", 0,
                             long(CRecVideoClient::kMaxQuotaMB), "Rec. disk quota",
                             "Rec. disk quota [MB]:", SettingControl::Text, 100, 10, {}};
const SettingDesc kMaxAge{"CnlEventAge", SettingType::Int, "0", 0, INT32_MAX, "Rec. max age",
                          "Rec. max age:", SettingControl::DaysHours, 0, 0, {}};
// The form offers no 80 ms: an absent period shows as the nearest offer, 12 per second.
const SettingDesc kFramePeriod{"CnlEventFramePeriod", SettingType::Int, "80",
                               long(CRecVideoClient::kMinPeriodMs), long(CRecVideoClient::kMaxPeriodMs),
                               "Frame rate", "Frame rate:", SettingControl::Select, 0, 0,
                               periodChoices(), "83"};

}  // namespace recsettings

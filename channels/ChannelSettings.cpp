#include "channels/ChannelSettings.h"

#include "channels/CVideoCnl.h"

namespace cnlsettings {

namespace {

std::vector<SettingChoice> numbered(const char* prefix, std::vector<long> codes) {
  std::vector<SettingChoice> out;
  for (long c : codes) out.push_back({"", prefix + std::to_string(c), c});
  return out;
}

std::vector<long> range(long from, long to) {
  std::vector<long> out;
  for (long n = from; n <= to; ++n) out.push_back(n);
  return out;
}

}  // namespace

const SettingDesc kName{"CnlName", SettingType::Text, "", 0, long(CVideoCnl::kMaxNameLength),
                        "Channel name", "", SettingControl::Text, 400,
                        int(CVideoCnl::kMaxNameLength), {}};
// Only the kinds the form offers; the store takes every code of the pan/tilt table.
const SettingDesc kRotorType{"RotorType", SettingType::Int, "1", 0, 5, "Pan/Tilt type", "Pan/Tilt type:",
                             SettingControl::Radio, 0, 0,
                             {{"none", "None", 1}, {"autodome", "Bosch AutoDome", 2},
                              {"speeddome", "Siemens SpeedDome", 3}}};
// The lists submit their texts ("COM7", "9600", "12").
const SettingDesc kRotorComPort{"RotorComPort", SettingType::Int, "1", 1, INT_MAX, "Serial port",
                                "Serial port:", SettingControl::Select, 0, 0, numbered("COM", range(1, 16))};
const SettingDesc kRotorBaudRate{"RotorBoudRate", SettingType::Int, "9600", 0, INT_MAX, "Serial Baud Rate",
                                 "Serial Baud Rate:", SettingControl::Select, 0, 0,
                                 numbered("", {2400, 4800, 9600, 19200})};
const SettingDesc kRotorAddress{"RotorAddress", SettingType::Int, "0", 0, 255, "Dome address",
                                "Dome address:", SettingControl::Select, 0, 0, numbered("", range(0, 255))};

}  // namespace cnlsettings

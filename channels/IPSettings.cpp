#include "channels/IPSettings.h"

namespace ipsettings {

const SettingDesc kCamAddr{"CamIPAddr", SettingType::Text, "", 0, 0, "Camera IP address", "",
                           SettingControl::Text, 150, 70, {}};
const SettingDesc kCamPort{"CamIPPort", SettingType::Int, "80", 0, 65535, "Camera IP address", "",
                           SettingControl::Text, 50, 10, {}};
const SettingDesc kUserName{"userName", SettingType::Text, "", 0, 0, "Camera login data", "login",
                            SettingControl::Text, 150, 70, {}};
const SettingDesc kUserPwd{"userPwd", SettingType::Text, "", 0, 0, "Camera login data", "password",
                           SettingControl::Password, 100, 70, {}};
// The family's traits give the range and the default.
const SettingDesc kCamId{"CamID", SettingType::Int, "0", 0, 1000000, "Channel ID (DVR)", "",
                         SettingControl::Radio, 0, 0, {}};
const SettingDesc kVideoStd{"CnlVideoStandard", SettingType::Text, "PAL", 0, 0, "Video standard", "",
                            SettingControl::Radio, 0, 0, {{"PAL", "PAL", 0}, {"NTSC", "NTSC", 1}}};
// The family's traits give the choices and the default.
const SettingDesc kImageSize{"ImageSize", SettingType::Text, "", 0, 0, "Image size", "",
                             SettingControl::Select, 140, 0, {}};

}  // namespace ipsettings

namespace cnlsettings {

namespace {
std::vector<SettingChoice> qualityChoices() {
  std::vector<SettingChoice> out;
  for (int q = 20; q <= 90; q += 10) out.push_back({"", std::to_string(q), q});
  return out;
}
}  // namespace

const SettingDesc kQuality{"ImageQuality", SettingType::Int, "70", 10, 90, "Image quality", "",
                           SettingControl::Select, 50, 0, qualityChoices()};

}  // namespace cnlsettings

#pragma once
// The settings of an IP camera channel's section, described once (base/SettingDesc.h): the
// connection every camera shares, and the family settings whose limits and choices each
// family's IPVendorTraits gives (endpoint/CIPVideoCnl.h).
#include <cstdint>
#include <string>
#include <vector>

#include "base/SettingDesc.h"

namespace ipsettings {

extern const SettingDesc kCamAddr;   // "CamIPAddr": host name or dotted address of the camera
extern const SettingDesc kCamPort;   // "CamIPPort"
extern const SettingDesc kUserName;  // "userName": the camera's login
extern const SettingDesc kUserPwd;   // "userPwd"
extern const SettingDesc kCamId;     // "CamID": the camera number of a video server (DVR)
extern const SettingDesc kVideoStd;  // "CnlVideoStandard": PAL or NTSC
extern const SettingDesc kImageSize; // "ImageSize": a size keyword the family accepts

}  // namespace ipsettings

namespace cnlsettings {
// "ImageQuality": JPEG quality in percent, 10 to 90; IP and analog channels alike.
extern const SettingDesc kQuality;
}  // namespace cnlsettings

// The settings an IP channel runs with, as its init() read them; the form shows them. A
// channel that has not read its settings yet holds these initial values (with the family's
// default camera number).
struct IPConfig {
  std::string camAddr;
  uint16_t camPort = 80;
  std::string userName;
  std::string userPwd;
  int quality = 70;
  int camID = 0;
  int videoStd = 0;   // 0 PAL, 1 NTSC
  int imageSize = 0;  // image size code (base/Tables.h)
  int64_t periodNs = 0;
  // The comment segment every picture is wrapped with (made from the name and the address).
  std::vector<uint8_t> comment;
};

#pragma once
// The settings of an analog channel's section, described once (base/SettingDesc.h): those of the
// input, and those of its board, which every input's section holds alike (CFalconVideoCnl).
// The quality is every channel's "ImageQuality" (channels/IPSettings.h).
#include "base/SettingDesc.h"

namespace falconsettings {

extern const SettingDesc kEnabled;    // "CnlEnabled": Y/N, on by default for input 0 only
extern const SettingDesc kOverlay;    // "CnlOverlay": what is drawn on the pictures
extern const SettingDesc kVideoStd;   // board: "CnlVideoStandard" PAL, NTSC or SECAM
extern const SettingDesc kImageSize;  // board: "ImageSize", one of the board's sizes
extern const SettingDesc kClipScale;  // board: "ImageClipScale" clip or scale

// Quality as the encoder uses it: a multiple of 10 in 10..90.
int roundQuality(long q);

}  // namespace falconsettings

// The settings of an analog input it runs with, as its init() read them. The board's settings
// are the board's (CFalconBoardDrv).
struct FalconConfig {
  bool enabled = false;
  int quality = 70;  // rounded for the encoder
  int overlay = 0;   // OverlayMode
};

#include "channels/FalconSettings.h"

#include <algorithm>

namespace falconsettings {

const SettingDesc kEnabled{"CnlEnabled", SettingType::Bool, "false", 0, 1, "Activate this channel", "",
                           SettingControl::Radio, 0, 0, {{"Y", "YES", 1}, {"N", "NO", 0}}};
const SettingDesc kOverlay{"CnlOverlay", SettingType::Text, "none", 0, 0, "Picture overlay", "",
                           SettingControl::Select, 0, 0,
                           {{"none", "None"}, {"time", "Date and time"}, {"nametime", "Name, date and time"}}};
const SettingDesc kVideoStd{"CnlVideoStandard", SettingType::Text, "PAL", 0, 0, "Video standard", "",
                            SettingControl::Radio, 0, 0,
                            {{"PAL", "PAL", 0}, {"NTSC", "NTSC", 1}, {"SECAM", "SECAM", 2}}};
// The texts as the form has always shown them; the status shows them without the blank.
const SettingDesc kImageSize{"ImageSize", SettingType::Text, "vga", 0, 0, "Image size", "",
                             SettingControl::Select, 140, 0,
                             {{"d-1pal", "D-1PAL (768x576) "}, {"vga", "VGA (640x480) "},
                              {"vga2", "VGA2 (640x480)"}, {"qvga", "CIF (320x240) "}}};
const SettingDesc kClipScale{"ImageClipScale", SettingType::Text, "scale", 0, 0, "Clip/Scale", "",
                             SettingControl::Select, 70, 0, {{"clip", "clip"}, {"scale", "scale"}}};

int roundQuality(long q) { return static_cast<int>(std::min(std::max(q / 10 * 10, 10L), 90L)); }

}  // namespace falconsettings

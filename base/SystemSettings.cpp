#include "base/SystemSettings.h"

#include "base/CLogFile.h"

namespace syssettings {

const SettingDesc kConfAddr{"ConfIPAddr", SettingType::Text, "0.0.0.0", 0, 0, "Configuration IP address", "",
                            SettingControl::Text, 150, 70, {}};
const SettingDesc kConfPort{"ConfIPPort", SettingType::Int, "0", 0, 65535, "Configuration IP address", "",
                            SettingControl::Text, 50, 10, {}};
const SettingDesc kLogPath{"LogFilePath", SettingType::Text, "TelvGateLog.log", 0, 0, "Log file path", "",
                           SettingControl::Text, 500, 250, {}};
const SettingDesc kLogSize{"LogFileSize", SettingType::Unsigned, "5", 0, long(CLogFile::kMaxSizeMb),
                           "Log file max size [Mb]", "", SettingControl::Text, 500, 4, {}};
const SettingDesc kNoSignal{"NoSignalPicture", SettingType::Bool, "false", 0, 1, "No-signal picture", "",
                            SettingControl::Radio, 0, 0, {{"on", "ON", 1}, {"off", "OFF", 0}}};

}  // namespace syssettings

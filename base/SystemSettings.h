#pragma once
// The settings of the "System" section, described once (base/SettingDesc.h). Their form fields
// are "sys_" and the key (the log file's two with a lower-case first letter, as browsers have
// always sent them).
#include "base/SettingDesc.h"

namespace syssettings {

constexpr const char* kSection = "System";

extern const SettingDesc kConfAddr;  // "ConfIPAddr": the configuration server's address
extern const SettingDesc kConfPort;  // "ConfIPPort"
extern const SettingDesc kLogPath;   // "LogFilePath"
extern const SettingDesc kLogSize;   // "LogFileSize": MB, at most CLogFile::kMaxSizeMb
extern const SettingDesc kNoSignal;  // "NoSignalPicture": streams show a picture while a source fails

}  // namespace syssettings

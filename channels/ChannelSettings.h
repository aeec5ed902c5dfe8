#pragma once
// The settings every channel's section holds, described once (base/SettingDesc.h): the name and
// the pan/tilt head. The recording settings are the recorder's (recording/RecSettings.h).
#include "base/SettingDesc.h"

namespace cnlsettings {

extern const SettingDesc kName;          // "CnlName": at most kMaxNameLength characters
extern const SettingDesc kRotorType;     // "RotorType": pan/tilt type code, 1 none
extern const SettingDesc kRotorComPort;  // "RotorComPort": serial port number (COMn)
extern const SettingDesc kRotorBaudRate; // "RotorBoudRate"
extern const SettingDesc kRotorAddress;  // "RotorAddress": the dome's address 0..255

constexpr int kNoRotor = 1;

}  // namespace cnlsettings

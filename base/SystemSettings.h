#pragma once
// The settings of the "System" section, described once (base/SettingDesc.h). Their form fields
// are "sys_" and the key (the log file's two with a lower-case first letter, as browsers have
// always sent them).
#include <cstdint>

#include "base/SettingDesc.h"

namespace syssettings {

constexpr const char* kSection = "System";

extern const SettingDesc kConfAddr;  // "ConfIPAddr": the configuration server's address
extern const SettingDesc kConfPort;  // "ConfIPPort"
extern const SettingDesc kLogPath;   // "LogFilePath"
extern const SettingDesc kLogSize;   // "LogFileSize": MB, at most CLogFile::kMaxSizeMb
extern const SettingDesc kNoSignal;  // "NoSignalPicture": streams show a picture while a source fails

// Secure access (the configuration server's HTTPS port and who may read what).
extern const SettingDesc kTlsPort;          // "ConfTLSPort": 0 = no HTTPS
extern const SettingDesc kTlsCert;          // "ConfTLSCert": PEM file; empty with the key: self-signed
extern const SettingDesc kTlsKey;           // "ConfTLSKey"
extern const SettingDesc kRedirectToTls;    // "ConfRedirectToTLS": plain-HTTP pages redirected
extern const SettingDesc kPublicStatus;     // "PublicStatus": status, log and live pictures without login
extern const SettingDesc kTrustedProxies;   // "TrustedProxies": whose X-Forwarded-For is believed

// The standard camera services.
extern const SettingDesc kRtspEnabled;   // "RtspEnabled"
extern const SettingDesc kRtspPort;      // "RtspPort"
extern const SettingDesc kRtspAuth;      // "RtspAuth": digest login on the streams
extern const SettingDesc kOnvifEnabled;  // "OnvifEnabled"
extern const SettingDesc kOnvifAddress;  // "OnvifAddress": empty = the configuration server's
extern const SettingDesc kOnvifPort;     // "OnvifPort"

// A port setting of this section as stored, or its default (logged as a warning, naming
// where) when the stored number is no port.
uint16_t readPort(const SettingDesc& d, const char* where);

}  // namespace syssettings

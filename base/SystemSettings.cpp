#include "base/SystemSettings.h"

#include <cstdlib>
#include <string>

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

// The rows of the System page's "Secure access" and "Standard camera services" tables: a
// switch is a selection of on and off, the rest text fields of the width given.
namespace {
SettingDesc port(const char* key, const char* def, const char* label) {
  SettingDesc d{key, SettingType::Int, def, 0, 65535, label, "", SettingControl::Text, 50, 5, {}};
  d.format = SettingFormat::Port;
  return d;
}
SettingDesc onOff(const char* key, const char* def, const char* label) {
  return SettingDesc{key, SettingType::Bool, def, 0, 1, label, "", SettingControl::Select, 0, 0,
                     {{"1", "on", 1}, {"0", "off", 0}}};
}
SettingDesc text(const char* key, const char* label, SettingFormat format) {
  const bool address = format == SettingFormat::IPv4;
  SettingDesc d{key, SettingType::Text, "", 0, 0, label, "", SettingControl::Text, address ? 120 : 390,
                address ? 15 : 250, {}};
  d.format = format;
  return d;
}
}  // namespace

const SettingDesc kTlsPort = port("ConfTLSPort", "0", "HTTPS port (0: off)");
const SettingDesc kTlsCert = text("ConfTLSCert", "HTTPS certificate file (PEM; empty: self-signed)", SettingFormat::Any);
const SettingDesc kTlsKey = text("ConfTLSKey", "HTTPS key file (PEM)", SettingFormat::Any);
const SettingDesc kRedirectToTls = onOff("ConfRedirectToTLS", "false", "Redirect HTTP pages to HTTPS");
const SettingDesc kPublicStatus = onOff("PublicStatus", "true", "Status and log without login");
const SettingDesc kTrustedProxies = text("TrustedProxies", "Trusted proxies (X-Forwarded-For)", SettingFormat::IPv4List);

const SettingDesc kRtspEnabled = onOff("RtspEnabled", "false", "RTSP server");
const SettingDesc kRtspPort = port("RtspPort", "8554", "RTSP port");
const SettingDesc kRtspAuth = onOff("RtspAuth", "true", "RTSP login (digest)");
const SettingDesc kOnvifEnabled = onOff("OnvifEnabled", "false", "ONVIF device");
const SettingDesc kOnvifAddress = text("OnvifAddress", "ONVIF address (empty: that of the configuration)", SettingFormat::IPv4);
const SettingDesc kOnvifPort = port("OnvifPort", "8000", "ONVIF port");

uint16_t readPort(const SettingDesc& d, const char* where) {
  const int v = readSettingInt(kSection, d);
  if (v >= 0 && v <= 65535) return uint16_t(v);
  g_logFile.log(CLogFile::Warning, kSection, std::string("Invalid ") + d.key + " " + std::to_string(v) + "; using " + d.def,
                where);
  return uint16_t(std::atoi(d.def));
}

}  // namespace syssettings

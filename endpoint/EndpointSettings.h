#pragma once
// The settings of a channel's own endpoint, described once (base/SettingDesc.h): the address and
// port it listens on, and for an IP channel whether it is served there at all.
#include "base/SettingDesc.h"

namespace endpointsettings {

extern const SettingDesc kAddr;   // "CnlIPAddr": dotted IPv4, 0.0.0.0 every interface
extern const SettingDesc kPort;   // "CnlIPPort": 0 lets the system choose
extern const SettingDesc kServe;  // "CnlServe": an IP channel also answers on its endpoint
extern const SettingDesc kAuth;   // "CnlAuth": off, control or all (endpoint/EndpointLogin.h)

}  // namespace endpointsettings

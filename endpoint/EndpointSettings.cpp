#include "endpoint/EndpointSettings.h"

namespace endpointsettings {

const SettingDesc kAddr{"CnlIPAddr", SettingType::Text, "0.0.0.0", 0, 0, "Channel IP address", "",
                        SettingControl::Text, 150, 70, {}};
const SettingDesc kPort{"CnlIPPort", SettingType::Int, "0", 0, 65535, "Channel IP address", "",
                        SettingControl::Text, 50, 10, {}};
const SettingDesc kServe{"CnlServe", SettingType::Bool, "false", 0, 1, "Serve this camera on its own port",
                         "", SettingControl::Radio, 0, 0, {{"on", "ON", 1}, {"off", "OFF", 0}}};
const SettingDesc kAuth{"CnlAuth", SettingType::Text, "off", 0, 0, "Endpoint login", "", SettingControl::Select, 0, 0,
                        {{"off", "none", 0},
                         {"control", "for recording switch and pan/tilt", 1},
                         {"all", "also for pictures and streams", 2}}};

}  // namespace endpointsettings

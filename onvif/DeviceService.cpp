// The device service: the clock, who the device is, where its services are, its scopes, name
// and network interfaces.
#include <arpa/inet.h>

#include <ctime>

#include "onvif/OnvifSoap.h"
#include "onvif/XmlDoc.h"
#include "platform/HostInfo.h"
#include "platform/Net.h"

namespace {

using onvifxml::child;

bool anyHead(OnvifContext& c) {
  for (const OnvifChannel& ch : c.channels.channels())
    if (hasHead(ch)) return true;
  return false;
}

void writeDateTime(XmlWriter& out, const char* element, const std::tm& t) {
  out.open(element).open("tt:Time");
  out.leaf("tt:Hour", std::to_string(t.tm_hour)).leaf("tt:Minute", std::to_string(t.tm_min));
  out.leaf("tt:Second", std::to_string(t.tm_sec)).close().open("tt:Date");
  out.leaf("tt:Year", std::to_string(t.tm_year + 1900)).leaf("tt:Month", std::to_string(t.tm_mon + 1));
  out.leaf("tt:Day", std::to_string(t.tm_mday)).close().close();
}

// The local zone in the POSIX form ONVIF asks for: "CET-1CEST" (the offset's sign is west of
// Greenwich), from the zone's state in January and July of this year (no shared globals, so
// any number of threads may ask at once). A zone without offset is "GMT0": some clients read
// "UTC0" as a clock set to local time.
std::string posixZone(const std::tm& local) {
  std::tm probe = local, winter{}, summer{};
  probe.tm_mday = 1, probe.tm_hour = 12, probe.tm_isdst = -1;
  probe.tm_mon = 0;
  const time_t jan = mktime(&probe);
  probe = local, probe.tm_mday = 1, probe.tm_hour = 12, probe.tm_isdst = -1, probe.tm_mon = 6;
  const time_t jul = mktime(&probe);
  localtime_r(&jan, &winter);
  localtime_r(&jul, &summer);
  const std::tm& standard = winter.tm_isdst > 0 ? summer : winter;
  const std::tm& daylight = winter.tm_isdst > 0 ? winter : summer;
  const long west = -standard.tm_gmtoff;
  std::string name = standard.tm_zone && *standard.tm_zone ? standard.tm_zone : "LOC";
  if (west == 0) name = "GMT";
  std::string zone = name + std::to_string(west / 3600);
  if (west % 3600) zone += ":" + std::to_string((west < 0 ? -west : west) % 3600 / 60);
  if (daylight.tm_isdst > 0 && daylight.tm_zone) zone += daylight.tm_zone;
  return zone;
}

bool getSystemDateAndTime(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  const time_t now = static_cast<time_t>(c.nowSec);
  std::tm utc{}, local{};
  gmtime_r(&now, &utc);
  localtime_r(&now, &local);
  out.open("tds:GetSystemDateAndTimeResponse").open("tds:SystemDateAndTime");
  // The gateway never sets the clock: the system keeps it.
  out.leaf("tt:DateTimeType", "Manual").leaf("tt:DaylightSavings", local.tm_isdst > 0 ? "true" : "false");
  out.open("tt:TimeZone").leaf("tt:TZ", posixZone(local)).close();
  writeDateTime(out, "tt:UTCDateTime", utc);
  writeDateTime(out, "tt:LocalDateTime", local);
  out.close().close();
  return true;
}

bool getDeviceInformation(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  std::string serial = c.deviceUuid.substr(9, 8) + c.deviceUuid.substr(c.deviceUuid.size() - 4);
  for (char& ch : serial) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  out.open("tds:GetDeviceInformationResponse").leaf("tds:Manufacturer", kManufacturer);
  out.leaf("tds:Model", kModel).leaf("tds:FirmwareVersion", kFirmwareVersion);
  out.leaf("tds:SerialNumber", serial).leaf("tds:HardwareId", kModel).close();
  return true;
}

void writeVersion(XmlWriter& out, const char* element, int major, int minor) {
  out.open(element).leaf("tt:Major", std::to_string(major)).leaf("tt:Minor", std::to_string(minor)).close();
}

void writeStreaming(XmlWriter& out, const char* element, bool attributes) {
  if (attributes) {
    out.open(element).attr("RTPMulticast", "false").attr("RTP_TCP", "true").attr("RTP_RTSP_TCP", "true");
    out.attr("NonAggregateControl", "false").close();
  } else {
    out.open(element).leaf("tt:RTPMulticast", "false").leaf("tt:RTP_TCP", "true");
    out.leaf("tt:RTP_RTSP_TCP", "true").close();
  }
}

bool getCapabilities(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  std::string category = "All";
  if (const xmlNode* cat = child(req, onvifns::kDevice, "Category")) category = onvifxml::text(cat);
  const bool ptz = anyHead(c);
  const bool all = category == "All";
  if (!all && category != "Device" && category != "Media" && !(category == "PTZ" && ptz)) {
    *fault = OnvifFault{false, "ter:ActionNotSupported", "ter:NoSuchService", "No " + category + " service"};
    return false;
  }
  out.open("tds:GetCapabilitiesResponse").open("tds:Capabilities");
  if (all || category == "Device") {
    out.open("tt:Device").leaf("tt:XAddr", c.serviceUrl(kDevicePath));
    out.open("tt:Network").leaf("tt:IPFilter", "false").leaf("tt:ZeroConfiguration", "false");
    out.leaf("tt:IPVersion6", "false").leaf("tt:DynDNS", "false").close();
    out.open("tt:System").leaf("tt:DiscoveryResolve", "true").leaf("tt:DiscoveryBye", "true");
    out.leaf("tt:RemoteDiscovery", "false").leaf("tt:SystemBackup", "false").leaf("tt:SystemLogging", "false");
    out.leaf("tt:FirmwareUpgrade", "false");
    writeVersion(out, "tt:SupportedVersions", 2, 0);
    out.close().open("tt:Security");
    for (const char* e : {"tt:TLS1.1", "tt:TLS1.2", "tt:OnboardKeyGeneration", "tt:AccessPolicyConfig",
                          "tt:X.509Token", "tt:SAMLToken", "tt:KerberosToken", "tt:RELToken"})
      out.leaf(e, "false");
    out.close().close();
  }
  if (all || category == "Media") {
    out.open("tt:Media").leaf("tt:XAddr", c.serviceUrl(kMediaPath));
    writeStreaming(out, "tt:StreamingCapabilities", false);
    out.close();
  }
  if (ptz && (all || category == "PTZ")) out.open("tt:PTZ").leaf("tt:XAddr", c.serviceUrl(kPtzPath)).close();
  out.close().close();
  return true;
}

void writeMediaCapabilities(XmlWriter& out, const char* element, OnvifContext& c) {
  out.open(element).attr("SnapshotUri", "true").attr("Rotation", "false");
  out.open("trt:ProfileCapabilities")
      .attr("MaximumNumberOfProfiles", std::to_string(c.channels.channels().size()))
      .close();
  writeStreaming(out, "trt:StreamingCapabilities", true);
  out.close();
}

void writeDeviceCapabilities(XmlWriter& out, const char* element) {
  out.open(element);
  out.open("tds:Network").attr("IPFilter", "false").attr("ZeroConfiguration", "false");
  out.attr("IPVersion6", "false").attr("DynDNS", "false").close();
  out.open("tds:Security").attr("UsernameToken", "true").attr("HttpDigest", "true").close();
  out.open("tds:System").attr("DiscoveryResolve", "true").attr("DiscoveryBye", "true");
  out.attr("RemoteDiscovery", "false").attr("SystemBackup", "false").attr("SystemLogging", "false");
  out.attr("FirmwareUpgrade", "false").close();
  out.close();
}

bool getServices(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault*) {
  const bool withCaps = onvifxml::text(child(req, onvifns::kDevice, "IncludeCapability")) == "true";
  out.open("tds:GetServicesResponse");
  auto service = [&](const char* ns, const char* path, int major, int minor, auto writeCaps) {
    out.open("tds:Service").leaf("tds:Namespace", ns).leaf("tds:XAddr", c.serviceUrl(path));
    if (withCaps) {
      out.open("tds:Capabilities");
      writeCaps();
      out.close();
    }
    writeVersion(out, "tds:Version", major, minor);
    out.close();
  };
  service(onvifns::kDevice, kDevicePath, 2, 0, [&] { writeDeviceCapabilities(out, "tds:Capabilities"); });
  service(onvifns::kMedia, kMediaPath, 2, 0, [&] { writeMediaCapabilities(out, "trt:Capabilities", c); });
  if (anyHead(c))
    service(onvifns::kPtz, kPtzPath, 2, 0, [&] {
      out.open("tptz:Capabilities").attr("EFlip", "false").attr("Reverse", "false");
      out.attr("GetCompatibleConfigurations", "false").attr("MoveStatus", "true").attr("StatusPosition", "false");
      out.close();
    });
  out.close();
  return true;
}

bool getDeviceServiceCapabilities(OnvifContext&, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("tds:GetServiceCapabilitiesResponse");
  writeDeviceCapabilities(out, "tds:Capabilities");
  out.close();
  return true;
}

bool getMediaServiceCapabilities(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("trt:GetServiceCapabilitiesResponse");
  writeMediaCapabilities(out, "trt:Capabilities", c);
  out.close();
  return true;
}

bool getScopes(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("tds:GetScopesResponse");
  for (const std::string& s : deviceScopes(anyHead(c)))
    out.open("tds:Scopes").leaf("tt:ScopeDef", "Fixed").leaf("tt:ScopeItem", s).close();
  out.close();
  return true;
}

bool getHostname(OnvifContext&, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("tds:GetHostnameResponse").open("tds:HostnameInformation").leaf("tt:FromDHCP", "false");
  const std::string name = platform::hostName();
  if (!name.empty()) out.leaf("tt:Name", name);
  out.close().close();
  return true;
}

// The interfaces the service is reachable on: the one holding its address, or every
// interface that is up when it listens on all (loopback only when nothing else is).
bool getNetworkInterfaces(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  std::vector<platform::NetInterface> all = platform::ipv4Interfaces(), shown;
  const bool any = c.config.address == "0.0.0.0";
  for (const auto& i : all)
    if (any ? (i.up && !i.loopback) : platform::ipText(i.address) == c.config.address) shown.push_back(i);
  if (shown.empty())
    for (const auto& i : all)
      if (any ? i.up : platform::ipText(i.address) == c.host) shown.push_back(i);
  out.open("tds:GetNetworkInterfacesResponse");
  for (const auto& i : shown) {
    out.open("tds:NetworkInterfaces").attr("token", i.name).leaf("tt:Enabled", i.up ? "true" : "false");
    out.open("tt:Info").leaf("tt:Name", i.name);
    if (!i.hwAddress.empty()) out.leaf("tt:HwAddress", i.hwAddress);
    if (i.mtu > 0) out.leaf("tt:MTU", std::to_string(i.mtu));
    out.close().open("tt:IPv4").leaf("tt:Enabled", "true").open("tt:Config").open("tt:Manual");
    out.leaf("tt:Address", platform::ipText(i.address)).leaf("tt:PrefixLength", std::to_string(i.prefixLength));
    out.close().leaf("tt:DHCP", "false").close().close().close();
  }
  out.close();
  return true;
}

bool getWsdlUrl(OnvifContext&, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("tds:GetWsdlUrlResponse").leaf("tds:WsdlUrl", "http://www.onvif.org/").close();
  return true;
}

}  // namespace

std::vector<std::string> deviceScopes(bool withPtz) {
  std::vector<std::string> s = {"onvif://www.onvif.org/type/video_encoder",
                                "onvif://www.onvif.org/type/NetworkVideoTransmitter",
                                "onvif://www.onvif.org/Profile/Streaming"};
  if (withPtz) s.push_back("onvif://www.onvif.org/type/ptz");
  s.push_back(std::string("onvif://www.onvif.org/name/") + kModel);
  s.push_back(std::string("onvif://www.onvif.org/hardware/") + kModel);
  return s;
}

const std::vector<OnvifOperation>& deviceOperations() {
  using A = OnvifAccess;
  const char* d = onvifns::kDevice;
  static const std::vector<OnvifOperation> ops = {
      {d, "GetSystemDateAndTime", A::PreAuth, getSystemDateAndTime},
      {d, "GetCapabilities", A::PreAuth, getCapabilities},
      {d, "GetServices", A::PreAuth, getServices},
      {d, "GetServiceCapabilities", A::PreAuth, getDeviceServiceCapabilities},
      {d, "GetWsdlUrl", A::PreAuth, getWsdlUrl},
      {d, "GetHostname", A::PreAuth, getHostname},
      {d, "GetDeviceInformation", A::Read, getDeviceInformation},
      {d, "GetScopes", A::Read, getScopes},
      {d, "GetNetworkInterfaces", A::Read, getNetworkInterfaces},
      {onvifns::kMedia, "GetServiceCapabilities", A::PreAuth, getMediaServiceCapabilities},
  };
  return ops;
}

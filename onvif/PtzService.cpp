// The pan/tilt service: one node and one configuration per channel with a serial head,
// continuous moves in the generic velocity spaces, stops and presets.
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "onvif/OnvifPtz.h"
#include "onvif/OnvifSoap.h"
#include "onvif/XmlDoc.h"
#include "pantilt/RotorSpeed.h"

namespace {

using onvifxml::child;
using onvifxml::text;

const char kPanTiltVelocity[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
const char kZoomVelocity[] = "http://www.onvif.org/ver10/tptz/ZoomSpaces/VelocityGenericSpace";
constexpr size_t kMaxPresetName = 64;

// Read-modify-write of a channel's preset names, one at a time.
std::mutex g_presetLock;

void writeRange(XmlWriter& out, const char* element, const char* min, const char* max) {
  out.open(element).leaf("tt:Min", min).leaf("tt:Max", max).close();
}

void writeSpaces(XmlWriter& out, const char* element) {
  out.open(element).open("tt:ContinuousPanTiltVelocitySpace").leaf("tt:URI", kPanTiltVelocity);
  writeRange(out, "tt:XRange", "-1", "1");
  writeRange(out, "tt:YRange", "-1", "1");
  out.close().open("tt:ContinuousZoomVelocitySpace").leaf("tt:URI", kZoomVelocity);
  writeRange(out, "tt:XRange", "-1", "1");
  out.close().close();
}

void writeNode(XmlWriter& out, const char* element, const OnvifChannel& ch) {
  out.open(element).attr("token", "node_" + ch.tag).attr("FixedHomePosition", "false");
  out.leaf("tt:Name", ch.name);
  writeSpaces(out, "tt:SupportedPTZSpaces");
  out.leaf("tt:MaximumNumberOfPresets", std::to_string(rotor::presetCount(ch.head.type)));
  out.leaf("tt:HomeSupported", "false").close();
}

// The channel of a request's ProfileToken that has a head.
const OnvifChannel* ptzProfile(const std::vector<OnvifChannel>& all, const xmlNode* req, OnvifFault* fault) {
  const OnvifChannel* ch = findProfile(all, text(child(req, onvifns::kPtz, "ProfileToken")), fault);
  if (ch && !hasHead(ch[0])) {
    *fault = invalidArg("ter:NoPTZProfile", "The channel '" + ch->tag + "' has no pan/tilt head");
    return nullptr;
  }
  return ch;
}

const OnvifChannel* byToken(const std::vector<OnvifChannel>& all, const char* prefix, const std::string& token) {
  for (const OnvifChannel& ch : all)
    if (hasHead(ch) && token == prefix + ch.tag) return &ch;
  return nullptr;
}

OnvifFault headFault(const std::string& why) {
  return OnvifFault{false, "ter:Action", "", "The pan/tilt head cannot be driven: " + why};
}

bool getNodes(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("tptz:GetNodesResponse");
  for (const OnvifChannel& ch : c.channels.channels())
    if (hasHead(ch)) writeNode(out, "tptz:PTZNode", ch);
  out.close();
  return true;
}

bool getNode(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const std::string token = text(child(req, onvifns::kPtz, "NodeToken"));
  const OnvifChannel* ch = byToken(all, "node_", token);
  if (!ch) {
    *fault = invalidArg("ter:NoEntity", "No pan/tilt node '" + token + "'");
    return false;
  }
  out.open("tptz:GetNodeResponse");
  writeNode(out, "tptz:PTZNode", *ch);
  out.close();
  return true;
}

bool getConfigurations(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("tptz:GetConfigurationsResponse");
  for (const OnvifChannel& ch : c.channels.channels())
    if (hasHead(ch)) writePtzConfiguration(out, "tptz:PTZConfiguration", ch);
  out.close();
  return true;
}

const OnvifChannel* configurationOf(const std::vector<OnvifChannel>& all, const xmlNode* req, OnvifFault* fault) {
  std::string token = text(child(req, onvifns::kPtz, "PTZConfigurationToken"));
  if (token.empty()) token = text(child(req, onvifns::kPtz, "ConfigurationToken"));
  const OnvifChannel* ch = byToken(all, "ptz_", token);
  if (!ch) *fault = invalidArg("ter:NoConfig", "No pan/tilt configuration '" + token + "'");
  return ch;
}

bool getConfiguration(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = configurationOf(all, req, fault);
  if (!ch) return false;
  out.open("tptz:GetConfigurationResponse");
  writePtzConfiguration(out, "tptz:PTZConfiguration", *ch);
  out.close();
  return true;
}

bool getConfigurationOptions(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  if (!configurationOf(all, req, fault)) return false;
  out.open("tptz:GetConfigurationOptionsResponse").open("tptz:PTZConfigurationOptions");
  writeSpaces(out, "tt:Spaces");
  out.open("tt:PTZTimeout").leaf("tt:Min", "PT0.1S").leaf("tt:Max", durationText(c.config.deadManNs)).close();
  out.close().close();
  return true;
}

// A velocity component: a number in -1 .. 1 ("" counts as 0).
bool velocity(const xmlNode* n, const char* name, double* v) {
  const std::string t = onvifxml::attribute(n, name);
  if (t.empty()) {
    *v = 0;
    return true;
  }
  char* end = nullptr;
  *v = std::strtod(t.c_str(), &end);
  return end && *end == '\0' && std::isfinite(*v) && *v >= -1 && *v <= 1;
}

bool continuousMove(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = ptzProfile(all, req, fault);
  if (!ch) return false;
  const xmlNode* v = child(req, onvifns::kPtz, "Velocity");
  const xmlNode* pt = child(v, onvifns::kSchema, "PanTilt");
  const xmlNode* zoom = child(v, onvifns::kSchema, "Zoom");
  double x = 0, y = 0, z = 0;
  const std::string ptSpace = onvifxml::attribute(pt, "space"), zSpace = onvifxml::attribute(zoom, "space");
  if (!v || (!pt && !zoom) || !velocity(pt, "x", &x) || !velocity(pt, "y", &y) || !velocity(zoom, "x", &z) ||
      (!ptSpace.empty() && ptSpace != kPanTiltVelocity) || (!zSpace.empty() && zSpace != kZoomVelocity)) {
    *fault = invalidArg("ter:InvalidVelocity", "Velocities are -1 to 1 in the generic velocity spaces");
    return false;
  }
  uint64_t timeoutNs = 0;
  const xmlNode* timeout = child(req, onvifns::kPtz, "Timeout");
  if (timeout && !parseDuration(text(timeout), &timeoutNs)) {
    *fault = invalidArg("ter:InvalidArgs", "Timeout '" + text(timeout) + "' is no duration");
    return false;
  }
  std::string why;
  if (!c.ptz.move(*ch, pt != nullptr, x, y, zoom != nullptr, z, timeoutNs, &why)) {
    *fault = headFault(why);
    return false;
  }
  out.open("tptz:ContinuousMoveResponse").close();
  return true;
}

bool stop(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = ptzProfile(all, req, fault);
  if (!ch) return false;
  const xmlNode* pt = child(req, onvifns::kPtz, "PanTilt");
  const xmlNode* zoom = child(req, onvifns::kPtz, "Zoom");
  std::string why;
  // Neither named: both stop.
  const bool stopPt = pt ? text(pt) == "true" || text(pt) == "1" : !zoom;
  const bool stopZoom = zoom ? text(zoom) == "true" || text(zoom) == "1" : !pt;
  if (!c.ptz.stop(*ch, stopPt, stopZoom, &why)) {
    *fault = headFault(why);
    return false;
  }
  out.open("tptz:StopResponse").close();
  return true;
}

// A preset token: the head's preset number 1 .. its count.
bool presetNumber(const OnvifChannel& ch, const std::string& token, int* n) {
  char* end = nullptr;
  const long v = std::strtol(token.c_str(), &end, 10);
  if (token.empty() || !end || *end || v < 1 || v > rotor::presetCount(ch.head.type)) return false;
  *n = static_cast<int>(v);
  return true;
}

bool getPresets(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = ptzProfile(all, req, fault);
  if (!ch) return false;
  std::lock_guard<std::mutex> g(g_presetLock);
  out.open("tptz:GetPresetsResponse");
  for (const auto& p : c.presets->presets(ch->tag))
    out.open("tptz:Preset").attr("token", std::to_string(p.first)).leaf("tt:Name", p.second).close();
  out.close();
  return true;
}

bool setPreset(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = ptzProfile(all, req, fault);
  if (!ch) return false;
  std::lock_guard<std::mutex> g(g_presetLock);
  std::map<int, std::string> names = c.presets->presets(ch->tag);
  const std::string token = text(child(req, onvifns::kPtz, "PresetToken"));
  std::string name = text(child(req, onvifns::kPtz, "PresetName"));
  int n = 0;
  if (!token.empty()) {
    if (!presetNumber(*ch, token, &n)) {
      *fault = invalidArg("ter:NoToken", "Preset tokens of this head are 1 to " +
                                             std::to_string(rotor::presetCount(ch->head.type)));
      return false;
    }
  } else {
    for (int i = 1; i <= rotor::presetCount(ch->head.type) && n == 0; ++i)
      if (!names.count(i)) n = i;
    if (n == 0) {
      *fault = OnvifFault{false, "ter:Action", "ter:TooManyPresets", "Every preset of the head is in use"};
      return false;
    }
  }
  if (name.empty()) name = "Preset " + std::to_string(n);
  for (const auto& p : names)
    if (p.second == name && p.first != n) {
      *fault = invalidArg("ter:PresetExist", "A preset named '" + name + "' exists");
      return false;
    }
  if (name.size() > kMaxPresetName) {
    *fault = invalidArg("ter:InvalidPresetName", "Preset names have at most 64 characters");
    return false;
  }
  std::string why;
  if (!c.ptz.setPreset(*ch, n, &why)) {
    *fault = headFault(why);
    return false;
  }
  names[n] = name;
  c.presets->storePresets(ch->tag, names);
  out.open("tptz:SetPresetResponse").leaf("tptz:PresetToken", std::to_string(n)).close();
  return true;
}

bool gotoPreset(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = ptzProfile(all, req, fault);
  if (!ch) return false;
  int n = 0;
  if (!presetNumber(*ch, text(child(req, onvifns::kPtz, "PresetToken")), &n)) {
    *fault = invalidArg("ter:NoToken", "No preset '" + text(child(req, onvifns::kPtz, "PresetToken")) + "'");
    return false;
  }
  std::string why;
  if (!c.ptz.gotoPreset(*ch, n, &why)) {
    *fault = headFault(why);
    return false;
  }
  out.open("tptz:GotoPresetResponse").close();
  return true;
}

// The head keeps the position; only the name goes.
bool removePreset(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = ptzProfile(all, req, fault);
  if (!ch) return false;
  std::lock_guard<std::mutex> g(g_presetLock);
  std::map<int, std::string> names = c.presets->presets(ch->tag);
  int n = 0;
  if (!presetNumber(*ch, text(child(req, onvifns::kPtz, "PresetToken")), &n) || !names.erase(n)) {
    *fault = invalidArg("ter:NoToken", "No preset '" + text(child(req, onvifns::kPtz, "PresetToken")) + "'");
    return false;
  }
  c.presets->storePresets(ch->tag, names);
  out.open("tptz:RemovePresetResponse").close();
  return true;
}

bool getStatus(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = ptzProfile(all, req, fault);
  if (!ch) return false;
  bool pt = false, zoom = false;
  c.ptz.moving(ch->tag, &pt, &zoom);
  const time_t now = static_cast<time_t>(c.nowSec);
  std::tm t{};
  gmtime_r(&now, &t);
  char utc[32];
  std::strftime(utc, sizeof utc, "%Y-%m-%dT%H:%M:%SZ", &t);
  out.open("tptz:GetStatusResponse").open("tptz:PTZStatus").open("tt:MoveStatus");
  out.leaf("tt:PanTilt", pt ? "MOVING" : "IDLE").leaf("tt:Zoom", zoom ? "MOVING" : "IDLE").close();
  out.leaf("tt:UtcTime", utc).close().close();
  return true;
}

bool getServiceCapabilities(OnvifContext&, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("tptz:GetServiceCapabilitiesResponse").open("tptz:Capabilities").attr("EFlip", "false");
  out.attr("Reverse", "false").attr("GetCompatibleConfigurations", "false").attr("MoveStatus", "true");
  out.attr("StatusPosition", "false").close().close();
  return true;
}

}  // namespace

void writePtzConfiguration(XmlWriter& out, const char* element, const OnvifChannel& ch) {
  out.open(element).attr("token", "ptz_" + ch.tag).leaf("tt:Name", ch.name).leaf("tt:UseCount", "1");
  out.leaf("tt:NodeToken", "node_" + ch.tag);
  out.leaf("tt:DefaultContinuousPanTiltVelocitySpace", kPanTiltVelocity);
  out.leaf("tt:DefaultContinuousZoomVelocitySpace", kZoomVelocity);
  out.leaf("tt:DefaultPTZTimeout", durationText(OnvifConfig::kDeadManNs)).close();
}

const std::vector<OnvifOperation>& ptzOperations() {
  using A = OnvifAccess;
  const char* p = onvifns::kPtz;
  static const std::vector<OnvifOperation> ops = {
      {p, "GetServiceCapabilities", A::PreAuth, getServiceCapabilities},
      {p, "GetNodes", A::Read, getNodes},
      {p, "GetNode", A::Read, getNode},
      {p, "GetConfigurations", A::Read, getConfigurations},
      {p, "GetConfiguration", A::Read, getConfiguration},
      {p, "GetConfigurationOptions", A::Read, getConfigurationOptions},
      {p, "GetPresets", A::Read, getPresets},
      {p, "GetStatus", A::Read, getStatus},
      {p, "ContinuousMove", A::Write, continuousMove},
      {p, "Stop", A::Write, stop},
      {p, "GotoPreset", A::Write, gotoPreset},
      {p, "SetPreset", A::Write, setPreset},
      {p, "RemovePreset", A::Write, removePreset},
  };
  return ops;
}

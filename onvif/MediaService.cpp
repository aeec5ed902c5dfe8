// The media service: one profile per channel with its video source and JPEG encoder
// configuration, the RTSP address of its stream and the address of its current picture.
#include <algorithm>
#include <cmath>

#include "onvif/OnvifSoap.h"
#include "onvif/XmlDoc.h"

namespace {

using onvifxml::child;
using onvifxml::text;

int frameRateOf(const OnvifChannel& ch) { return std::max(1, static_cast<int>(std::lround(ch.frameRate))); }

// The channel a token of the given kind ("src_", "jpeg_", "vsc_" + tag) names.
const OnvifChannel* byToken(const std::vector<OnvifChannel>& channels, const char* prefix, const std::string& token) {
  for (const OnvifChannel& ch : channels)
    if (token == prefix + ch.tag) return &ch;
  return nullptr;
}

std::string profileToken(const xmlNode* req) { return text(child(req, onvifns::kMedia, "ProfileToken")); }

void writeResolution(XmlWriter& out, const char* element, const OnvifChannel& ch) {
  out.open(element).leaf("tt:Width", std::to_string(ch.width)).leaf("tt:Height", std::to_string(ch.height)).close();
}

void writeVideoSourceConfiguration(XmlWriter& out, const char* element, const OnvifChannel& ch) {
  out.open(element).attr("token", "vsc_" + ch.tag).leaf("tt:Name", ch.name).leaf("tt:UseCount", "1");
  out.leaf("tt:SourceToken", "src_" + ch.tag);
  out.open("tt:Bounds").attr("x", "0").attr("y", "0").attr("width", std::to_string(ch.width));
  out.attr("height", std::to_string(ch.height)).close().close();
}

void writeProfile(XmlWriter& out, const char* element, const OnvifChannel& ch) {
  out.open(element).attr("token", ch.tag).attr("fixed", "true").leaf("tt:Name", ch.name);
  writeVideoSourceConfiguration(out, "tt:VideoSourceConfiguration", ch);
  writeVideoEncoderConfiguration(out, "tt:VideoEncoderConfiguration", ch);
  if (hasHead(ch)) writePtzConfiguration(out, "tt:PTZConfiguration", ch);
  out.close();
}

bool getProfiles(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("trt:GetProfilesResponse");
  for (const OnvifChannel& ch : c.channels.channels()) writeProfile(out, "trt:Profiles", ch);
  out.close();
  return true;
}

bool getProfile(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = findProfile(all, profileToken(req), fault);
  if (!ch) return false;
  out.open("trt:GetProfileResponse");
  writeProfile(out, "trt:Profile", *ch);
  out.close();
  return true;
}

bool getVideoSources(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("trt:GetVideoSourcesResponse");
  for (const OnvifChannel& ch : c.channels.channels()) {
    out.open("trt:VideoSources").attr("token", "src_" + ch.tag).leaf("tt:Framerate", std::to_string(frameRateOf(ch)));
    writeResolution(out, "tt:Resolution", ch);
    out.close();
  }
  out.close();
  return true;
}

bool getVideoSourceConfigurations(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("trt:GetVideoSourceConfigurationsResponse");
  for (const OnvifChannel& ch : c.channels.channels()) writeVideoSourceConfiguration(out, "trt:Configurations", ch);
  out.close();
  return true;
}

bool getVideoSourceConfiguration(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const std::string token = text(child(req, onvifns::kMedia, "ConfigurationToken"));
  const OnvifChannel* ch = byToken(all, "vsc_", token);
  if (!ch) {
    *fault = invalidArg("ter:NoConfig", "No video source configuration '" + token + "'");
    return false;
  }
  out.open("trt:GetVideoSourceConfigurationResponse");
  writeVideoSourceConfiguration(out, "trt:Configuration", *ch);
  out.close();
  return true;
}

bool getVideoEncoderConfigurations(OnvifContext& c, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("trt:GetVideoEncoderConfigurationsResponse");
  for (const OnvifChannel& ch : c.channels.channels()) writeVideoEncoderConfiguration(out, "trt:Configurations", ch);
  out.close();
  return true;
}

bool getVideoEncoderConfiguration(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const std::string token = text(child(req, onvifns::kMedia, "ConfigurationToken"));
  const OnvifChannel* ch = byToken(all, "jpeg_", token);
  if (!ch) {
    *fault = invalidArg("ter:NoConfig", "No video encoder configuration '" + token + "'");
    return false;
  }
  out.open("trt:GetVideoEncoderConfigurationResponse");
  writeVideoEncoderConfiguration(out, "trt:Configuration", *ch);
  out.close();
  return true;
}

// The settings of a channel's encoder belong to the channel's own configuration: the only
// choices offered are the current ones.
bool getVideoEncoderConfigurationOptions(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const std::string config = text(child(req, onvifns::kMedia, "ConfigurationToken"));
  const std::string profile = profileToken(req);
  const OnvifChannel* ch = !config.empty() ? byToken(all, "jpeg_", config)
                           : !profile.empty() ? findProfile(all, profile, fault)
                           : all.empty() ? nullptr : &all.front();
  if (!ch) {
    *fault = invalidArg("ter:NoConfig", "No video encoder configuration '" + config + profile + "'");
    return false;
  }
  const std::string fps = std::to_string(frameRateOf(*ch));
  out.open("trt:GetVideoEncoderConfigurationOptionsResponse").open("trt:Options");
  out.open("tt:QualityRange").leaf("tt:Min", "1").leaf("tt:Max", "100").close().open("tt:JPEG");
  writeResolution(out, "tt:ResolutionsAvailable", *ch);
  out.open("tt:FrameRateRange").leaf("tt:Min", "1").leaf("tt:Max", fps).close();
  out.open("tt:EncodingIntervalRange").leaf("tt:Min", "1").leaf("tt:Max", "1").close();
  out.close().close().close();
  return true;
}

void writeMediaUri(XmlWriter& out, const char* response, const std::string& uri) {
  out.open(response).open("trt:MediaUri").leaf("tt:Uri", uri).leaf("tt:InvalidAfterConnect", "false");
  out.leaf("tt:InvalidAfterReboot", "false").leaf("tt:Timeout", "PT0S").close().close();
}

bool getStreamUri(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = findProfile(all, profileToken(req), fault);
  if (!ch) return false;
  const xmlNode* setup = child(req, onvifns::kMedia, "StreamSetup");
  const std::string stream = text(child(setup, onvifns::kSchema, "Stream"));
  const std::string protocol = text(child(child(setup, onvifns::kSchema, "Transport"), onvifns::kSchema, "Protocol"));
  if (stream == "RTP-Multicast" || protocol == "HTTP") {
    *fault = invalidArg("ter:InvalidStreamSetup", "Only unicast RTP over UDP, TCP or RTSP is offered");
    return false;
  }
  if (!c.config.rtspEnabled) {
    *fault = OnvifFault{false, "ter:ActionNotSupported", "", "The RTSP server is off (System setting RtspEnabled)"};
    return false;
  }
  writeMediaUri(out, "trt:GetStreamUriResponse",
                "rtsp://" + c.host + ":" + std::to_string(c.config.rtspPort) + "/" + ch->tag);
  return true;
}

// An analog channel's own endpoint serves its current picture; a channel without one (an IP
// channel) has it served by this service, behind the same logins.
bool getSnapshotUri(OnvifContext& c, const xmlNode* req, XmlWriter& out, OnvifFault* fault) {
  const std::vector<OnvifChannel> all = c.channels.channels();
  const OnvifChannel* ch = findProfile(all, profileToken(req), fault);
  if (!ch) return false;
  std::string uri;
  if (ch->endpointPort != 0) {
    const std::string host = ch->endpointIp.empty() || ch->endpointIp == "0.0.0.0" ? c.host : ch->endpointIp;
    uri = "http://" + host + ":" + std::to_string(ch->endpointPort) + "/record/current.jpg";
  } else {
    uri = c.serviceUrl(kSnapshotPrefix) + ch->tag + ".jpg";
  }
  writeMediaUri(out, "trt:GetSnapshotUriResponse", uri);
  return true;
}

bool getAudioSources(OnvifContext&, const xmlNode*, XmlWriter& out, OnvifFault*) {
  out.open("trt:GetAudioSourcesResponse").close();  // the channels carry no sound
  return true;
}

}  // namespace

void writeVideoEncoderConfiguration(XmlWriter& out, const char* element, const OnvifChannel& ch) {
  const int fps = frameRateOf(ch);
  const uint64_t kbps = std::max<uint64_t>(1, uint64_t(ch.pictureBytes) * 8 * fps / 1000);
  out.open(element).attr("token", "jpeg_" + ch.tag).leaf("tt:Name", ch.name).leaf("tt:UseCount", "1");
  out.leaf("tt:Encoding", "JPEG");
  writeResolution(out, "tt:Resolution", ch);
  out.leaf("tt:Quality", std::to_string(ch.quality)).open("tt:RateControl");
  out.leaf("tt:FrameRateLimit", std::to_string(fps)).leaf("tt:EncodingInterval", "1");
  out.leaf("tt:BitrateLimit", std::to_string(kbps)).close();
  out.open("tt:Multicast").open("tt:Address").leaf("tt:Type", "IPv4").leaf("tt:IPv4Address", "0.0.0.0").close();
  out.leaf("tt:Port", "0").leaf("tt:TTL", "0").leaf("tt:AutoStart", "false").close();
  out.leaf("tt:SessionTimeout", "PT60S").close();
}

const std::vector<OnvifOperation>& mediaOperations() {
  using A = OnvifAccess;
  const char* m = onvifns::kMedia;
  static const std::vector<OnvifOperation> ops = {
      {m, "GetProfiles", A::Read, getProfiles},
      {m, "GetProfile", A::Read, getProfile},
      {m, "GetVideoSources", A::Read, getVideoSources},
      {m, "GetVideoSourceConfigurations", A::Read, getVideoSourceConfigurations},
      {m, "GetVideoSourceConfiguration", A::Read, getVideoSourceConfiguration},
      {m, "GetVideoEncoderConfigurations", A::Read, getVideoEncoderConfigurations},
      {m, "GetVideoEncoderConfiguration", A::Read, getVideoEncoderConfiguration},
      {m, "GetVideoEncoderConfigurationOptions", A::Read, getVideoEncoderConfigurationOptions},
      {m, "GetStreamUri", A::Read, getStreamUri},
      {m, "GetSnapshotUri", A::Read, getSnapshotUri},
      {m, "GetAudioSources", A::Read, getAudioSources},
  };
  return ops;
}

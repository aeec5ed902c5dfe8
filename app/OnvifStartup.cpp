#include "app/OnvifStartup.h"

#include <cstdio>
#include <mutex>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "base/Utf8Text.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "channels/FalconSettings.h"
#include "confserver/ConfAuth.h"
#include "endpoint/CFalconVideoCnl.h"
#include "endpoint/CIPVideoCnl.h"
#include "onvif/OnvifServer.h"
#include "pantilt/RotorHead.h"
#include "platform/HostInfo.h"

namespace {


// Width and height from a JPEG's frame header; false when it has none.
bool jpegSize(const uint8_t* d, size_t n, int* w, int* h) {
  size_t p = 2;
  while (p + 9 <= n && d[p] == 0xFF) {
    const uint8_t m = d[p + 1];
    if (m == 0xFF) {
      ++p;
      continue;
    }
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {
      p += 2;
      continue;
    }
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      *h = d[p + 5] << 8 | d[p + 6];
      *w = d[p + 7] << 8 | d[p + 8];
      return *w > 0 && *h > 0;
    }
    p += 2 + (static_cast<size_t>(d[p + 2]) << 8 | d[p + 3]);
  }
  return false;
}

class ChannelDirectory : public OnvifChannelSource {
 public:
  std::vector<OnvifChannel> channels() override {
    std::vector<OnvifChannel> out;
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    for (CVideoCnl* c : snapshotChannels()) {
      if (!c->running() || c->stopping()) continue;
      OnvifChannel ch;
      ch.tag = c->sourceTag();
      ch.name = toUtf8FromLatin1IfNeeded(c->name());
      if (ch.name.empty()) ch.name = c->displayName();
      const std::string section = c->sectionName();
      if (auto* f = dynamic_cast<CFalconVideoCnl*>(c)) {
        ch.quality = f->quality();
        ch.width = f->encodeWidth();
        ch.height = f->encodeHeight();
        // Grabbed as fast as the video standard gives pictures.
        ch.frameRate = readSettingText(section, falconsettings::kVideoStd) == "NTSC" ? 30 : 25;
        const CNetAddr endpoint = f->localAddr();
        ch.endpointIp = endpoint.ip;
        ch.endpointPort = endpoint.port;
      } else if (auto* ip = dynamic_cast<CIPVideoCnl*>(c)) {
        ch.quality = ip->quality();
        const ImageDims d = imageSizeDims(ip->imageSize());
        ch.width = d.width;
        ch.height = d.height;
        const int64_t period = ip->framePeriodNs();
        ch.frameRate = period > 0 ? 1e9 / static_cast<double>(period) : 1;
      }
      // The picture itself says what size the channel really publishes.
      std::shared_ptr<const SharedPicture> pic;
      c->currentPicture(pic);
      if (pic && pic->length) {
        ch.pictureBytes = pic->length;
        jpegSize(pic->data.get(), pic->length, &ch.width, &ch.height);
      }
      ch.head = readRotorHead(section);
      out.push_back(ch);
    }
    return out;
  }

  bool currentPicture(const std::string& tag, std::shared_ptr<const SharedPicture>* pic) override {
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    for (CVideoCnl* c : snapshotChannels()) {
      if (!c->running() || c->sourceTag() != tag) continue;
      c->currentPicture(*pic);
      return *pic != nullptr;
    }
    return false;
  }
};

// Administrators from "Admins" (with the built-in login while it has no "admin"), viewers
// from "Viewers" once that section exists.
class SettingsLogins : public OnvifCredentials {
 public:
  bool lookup(const std::string& login, std::string* password, OnvifRole* role) override {
    if (g_settings.existingEntry("Admins", login)) {
      *password = g_settings.readString("Admins", login, "");
      *role = OnvifRole::Administrator;
    } else if (login == kDefaultAdminLogin) {
      *password = kDefaultAdminPassword;
      *role = OnvifRole::Administrator;
    } else if (g_settings.existingEntry("Viewers", login)) {
      *password = g_settings.readString("Viewers", login, "");
      *role = OnvifRole::Viewer;
    } else {
      return false;
    }
    return !password->empty();
  }
};

// Preset names in the channel's own section: "OnvifPresets" = "1=Gate&2=Door" (names
// URL-encoded), written to storage at once, since a head keeps its positions across restarts.
class SettingsPresets : public OnvifPresetStore {
 public:
  std::map<int, std::string> presets(const std::string& tag) override {
    std::map<int, std::string> out;
    const std::string text = g_settings.readString(sectionOf(tag), "OnvifPresets", "");
    size_t i = 0;
    while (i < text.size()) {
      size_t end = text.find('&', i);
      if (end == std::string::npos) end = text.size();
      const std::string pair = text.substr(i, end - i);
      const size_t eq = pair.find('=');
      if (eq != std::string::npos) out[std::atoi(pair.c_str())] = url_decode(pair.substr(eq + 1));
      i = end + 1;
    }
    return out;
  }
  void storePresets(const std::string& tag, const std::map<int, std::string>& p) override {
    std::string text;
    for (const auto& e : p) text += (text.empty() ? "" : "&") + std::to_string(e.first) + "=" + url_encode(e.second);
    const std::string section = sectionOf(tag);
    if (section.empty()) return;
    if (!g_settings.writeString(section, "OnvifPresets", text) || !g_settings.writeToStorage())
      g_logFile.log(CLogFile::Warning, "ONVIF", "Could not store the preset names of " + tag,
                    "SettingsPresets::storePresets");
  }

 private:
  static std::string sectionOf(const std::string& tag) {
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    for (CVideoCnl* c : snapshotChannels())
      if (c->sourceTag() == tag) return c->sectionName();
    return "";
  }
};


}  // namespace

std::unique_ptr<OnvifChannelSource> makeChannelDirectory() {
  return std::unique_ptr<OnvifChannelSource>(new ChannelDirectory);
}

std::unique_ptr<OnvifCredentials> makeSettingsLogins() {
  return std::unique_ptr<OnvifCredentials>(new SettingsLogins);
}

bool onvifEnabled() { return readSettingBool(syssettings::kSection, syssettings::kOnvifEnabled); }

OnvifConfig readOnvifConfig() {
  OnvifConfig c;
  using namespace syssettings;
  c.address = readSettingText(kSection, kOnvifAddress);
  if (c.address.empty()) c.address = readSettingText(kSection, kConfAddr);
  c.port = readPort(kOnvifPort, "readOnvifConfig");
  c.rtspEnabled = readSettingBool(kSection, kRtspEnabled);
  c.rtspPort = readPort(kRtspPort, "readOnvifConfig");
  c.deviceSeed = platform::machineId();
  if (c.deviceSeed.empty()) c.deviceSeed = platform::hostName();
  return c;
}

namespace {
// What the service's start depends on, as one text to compare.
std::string settingsText() {
  const OnvifConfig c = readOnvifConfig();
  return std::string(onvifEnabled() ? "on " : "off ") + c.address + ":" + std::to_string(c.port) +
         (c.rtspEnabled ? " rtsp " : " no rtsp ") + std::to_string(c.rtspPort);
}
}  // namespace

OnvifStartup::OnvifStartup()
    : m_channels(new ChannelDirectory), m_logins(new SettingsLogins), m_presets(new SettingsPresets) {}

OnvifStartup::~OnvifStartup() { stop(); }

void OnvifStartup::start() {
  m_startedWith = settingsText();
  if (!onvifEnabled()) return;
  const OnvifConfig config = readOnvifConfig();
  m_server.reset(new OnvifServer(*m_channels, *m_logins, m_presets.get()));
  std::string error;
  if (!m_server->begin(config, &error)) {
    g_logFile.log(CLogFile::Error, "ONVIF", "The ONVIF device could not start: " + error, "OnvifStartup::start");
    std::fprintf(stderr, "TelvGate: the ONVIF device could not start: %s\n", error.c_str());
    m_server.reset();
    return;
  }
  const CNetAddr a = m_server->address();
  std::printf("TelvGate ONVIF device: http://%s:%u/onvif/device_service\n", a.ip.c_str(), a.port);
  std::fflush(stdout);
}

void OnvifStartup::restartIfChanged() {
  if (settingsText() == m_startedWith) return;
  stop();
  start();
}

void OnvifStartup::stop() {
  if (m_server) m_server->end();
  m_server.reset();
}

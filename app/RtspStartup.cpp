#include "app/RtspStartup.h"

#include <cstdio>
#include <mutex>

#include "app/OnvifStartup.h"
#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "confserver/ConfServices.h"
#include "onvif/OnvifConfig.h"
#include "rtsp/RtspServer.h"

namespace {


// One channel's pictures through its link; see PictureWatch.h.
class ChannelPictures : public RtspPictureSource {
 public:
  explicit ChannelPictures(std::shared_ptr<PictureLink> link) : m_link(std::move(link)) {}
  ~ChannelPictures() override {
    std::lock_guard<std::mutex> guard(m_link->lock);
    m_link->watcher = nullptr;
  }
  bool current(std::shared_ptr<const SharedPicture>* pic, uint64_t* timestamp) override {
    std::lock_guard<std::mutex> guard(m_link->lock);
    if (!m_link->cnl) return false;
    *timestamp = m_link->cnl->currentPicture(*pic);
    return true;
  }
  void want() override {
    std::lock_guard<std::mutex> guard(m_link->lock);
    if (m_link->cnl) m_link->cnl->signalFrameWanted();
  }

 private:
  std::shared_ptr<PictureLink> m_link;
};

class ChannelStreams : public RtspChannels {
 public:
  explicit ChannelStreams(OnvifChannelSource& directory) : m_directory(directory) {}
  bool describe(const std::string& tag, RtspChannelInfo* info) override {
    for (const OnvifChannel& c : m_directory.channels()) {
      if (c.tag != tag) continue;
      info->name = c.name;
      info->width = c.width;
      info->height = c.height;
      info->frameRate = c.frameRate;
      return true;
    }
    return false;
  }
  std::unique_ptr<RtspPictureSource> open(const std::string& tag, PictureWatcher* watcher) override {
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    for (CVideoCnl* c : snapshotChannels())
      if (c->running() && !c->stopping() && c->sourceTag() == tag)
        return std::unique_ptr<RtspPictureSource>(new ChannelPictures(c->watch(watcher)));
    return nullptr;
  }

 private:
  OnvifChannelSource& m_directory;
};

}  // namespace

namespace {
// What the server's start depends on, as one text to compare.
std::string settingsText() {
  const RtspConfig c = readRtspConfig();
  return std::string(rtspEnabled() ? "on " : "off ") + c.address + ":" + std::to_string(c.port) +
         (c.auth ? " digest" : " open");
}
}  // namespace

bool rtspEnabled() { return readSettingBool(syssettings::kSection, syssettings::kRtspEnabled); }

RtspConfig readRtspConfig() {
  RtspConfig c;
  c.address = readSettingText(syssettings::kSection, syssettings::kConfAddr);
  c.port = syssettings::readPort(syssettings::kRtspPort, "readRtspConfig");
  c.auth = readSettingBool(syssettings::kSection, syssettings::kRtspAuth);
  return c;
}

RtspStartup::RtspStartup() : m_directory(makeChannelDirectory()), m_logins(makeSettingsLogins()) {
  m_channels.reset(new ChannelStreams(*m_directory));
}

RtspStartup::~RtspStartup() { stop(); }

void RtspStartup::start() {
  m_startedWith = settingsText();
  if (!rtspEnabled()) return;
  const RtspConfig config = readRtspConfig();
  m_server.reset(new RtspServer(*m_channels, *m_logins));
  std::string error;
  if (!m_server->begin(config, &error)) {
    g_logFile.log(CLogFile::Error, "RTSP", "The RTSP server could not start: " + error, "RtspStartup::start");
    std::fprintf(stderr, "TelvGate: the RTSP server could not start: %s\n", error.c_str());
    m_server.reset();
    return;
  }
  if (!config.auth)
    g_logFile.log(CLogFile::Warning, "RTSP", "RtspAuth is off: every channel's stream is open to anyone",
                  "RtspStartup::start");
  const CNetAddr a = m_server->address();
  publishRtspAddress(a);
  std::printf("TelvGate RTSP server: rtsp://%s:%u/\n", a.ip.c_str(), a.port);
  std::fflush(stdout);
}

void RtspStartup::restartIfChanged() {
  if (settingsText() == m_startedWith) return;
  stop();
  start();
}

void RtspStartup::stop() {
  publishRtspAddress(CNetAddr());
  if (m_server) m_server->end();
  m_server.reset();
}

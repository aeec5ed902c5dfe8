#pragma once
// The RTSP server at start-up: the System settings read into the server's plain settings
// value, and the server's views of the channels (shared with the ONVIF device) and of their
// pictures, built on the channel list. Started after the channels when "RtspEnabled" is on;
// stopped before the channels are closed.
//
// Threads: start() and stop() on the GUI thread; the views are called from the server's
// threads and take g_cnlUseLock while they look a channel up, so a channel is never used while
// it is being destroyed; a picture source then holds a link the channel cuts when it goes.
#include <memory>
#include <string>

#include "rtsp/RtspConfig.h"

class OnvifChannelSource;
class OnvifCredentials;
class RtspServer;

// "RtspEnabled" (default off), "RtspPort" (8554), "RtspAuth" (on); the address is the
// configuration server's ("ConfIPAddr").
RtspConfig readRtspConfig();
bool rtspEnabled();

class RtspStartup {
 public:
  RtspStartup();
  ~RtspStartup();  // stop()
  RtspStartup(const RtspStartup&) = delete;
  RtspStartup& operator=(const RtspStartup&) = delete;

  // Starts the server when it is enabled; a failure is logged and shown on standard error.
  void start();
  void stop();
  // Stops and starts it again when its settings differ from those it runs with (a submission
  // changed them); a service that is not running is started when enabled.
  void restartIfChanged();

 private:
  std::unique_ptr<OnvifChannelSource> m_directory;
  std::unique_ptr<RtspChannels> m_channels;
  std::unique_ptr<OnvifCredentials> m_logins;
  std::unique_ptr<RtspServer> m_server;
  std::string m_startedWith;  // settingsText() at the last start
};

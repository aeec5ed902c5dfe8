#pragma once
// The ONVIF device at start-up: the System settings read into the service's plain settings
// value, and the service's views of the channels, the logins and the preset names built on the
// channel list and the settings store. Started after the channels when "OnvifEnabled" is on;
// stopped before the process ends.
//
// Threads: start() and stop() on the GUI thread; the views are called from the service's
// threads and take g_cnlUseLock while they look at channels, so a channel is never used while
// it is being destroyed.
#include <memory>
#include <string>

#include "onvif/OnvifConfig.h"

class OnvifServer;

// The service's settings from the "System" section.
OnvifConfig readOnvifConfig();
bool onvifEnabled();

// The running channels and the logins as the ONVIF device sees them; the RTSP server shares
// both views.
std::unique_ptr<OnvifChannelSource> makeChannelDirectory();
std::unique_ptr<OnvifCredentials> makeSettingsLogins();

class OnvifStartup {
 public:
  OnvifStartup();
  ~OnvifStartup();  // stop()
  OnvifStartup(const OnvifStartup&) = delete;
  OnvifStartup& operator=(const OnvifStartup&) = delete;

  // Starts the service when it is enabled; a failure is logged and shown on standard error.
  void start();
  void stop();
  // Stops and starts it again when its settings differ from those it runs with (a submission
  // changed them); a service that is not running is started when enabled.
  void restartIfChanged();

 private:
  std::unique_ptr<OnvifChannelSource> m_channels;
  std::unique_ptr<OnvifCredentials> m_logins;
  std::unique_ptr<OnvifPresetStore> m_presets;
  std::unique_ptr<OnvifServer> m_server;
  std::string m_startedWith;  // settingsText() at the last start
};

#pragma once
// What the ONVIF service is given by its owner: its settings as a plain value, and three small
// interfaces through which it sees the channels, the logins and the stored preset names. The
// service never reads the settings store itself.
//
// Threads: the service calls the interfaces from its connection threads, several at once, and
// from its pan/tilt watch thread; implementations must be safe for that.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "channels/FrameRec.h"
#include "pantilt/RotorHead.h"

// The System settings of the service, read by the owner ("OnvifEnabled", "OnvifAddress",
// "OnvifPort", and the RTSP server's "RtspEnabled", "RtspPort" for the stream addresses).
struct OnvifConfig {
  static constexpr uint16_t kDefaultPort = 8000;
  static constexpr uint16_t kDefaultRtspPort = 8554;
  static constexpr uint64_t kDeadManNs = 10000000000ull;  // a move without news stops after 10 s

  std::string address = "0.0.0.0";  // where the service listens and announces itself
  uint16_t port = kDefaultPort;      // 0: the system chooses
  bool rtspEnabled = false;
  uint16_t rtspPort = kDefaultRtspPort;
  bool discovery = true;             // WS-Discovery on UDP 3702 (tests of the service alone: off)
  std::string deviceSeed;            // stable text the device's identity is derived from
  uint64_t deadManNs = kDeadManNs;   // tests shorten it
};

// One channel as the service shows it: a media profile with its video source and JPEG
// encoder configuration, and a pan/tilt node when the channel has a serial head.
struct OnvifChannel {
  std::string tag;          // the channel's source tag: profile token and RTSP path
  std::string name;         // the user's channel name, else its display name
  int width = 0, height = 0;
  int quality = 0;          // JPEG quality 1 .. 100
  double frameRate = 0;     // pictures per second the channel produces at most
  // The channel's own picture address (an analog channel's endpoint): the port, and its
  // address ("0.0.0.0": all interfaces). Port 0: the service serves the current picture itself.
  std::string endpointIp;
  uint16_t endpointPort = 0;
  RotorHeadConfig head;     // type kRotorNone (or any without driver): no pan/tilt
  uint32_t pictureBytes = 0;  // size of the newest picture, for the bit rate shown; 0: none yet
};

class OnvifChannelSource {
 public:
  virtual ~OnvifChannelSource() = default;
  // The running channels, in a stable order.
  virtual std::vector<OnvifChannel> channels() = 0;
  // The newest picture of the channel with this tag; false when the channel is gone or has
  // none.
  virtual bool currentPicture(const std::string& tag, std::shared_ptr<const SharedPicture>* pic) = 0;
};

enum class OnvifRole { None, Viewer, Administrator };

class OnvifCredentials {
 public:
  virtual ~OnvifCredentials() = default;
  // The password and role of a login; false for an unknown login.
  virtual bool lookup(const std::string& login, std::string* password, OnvifRole* role) = 0;
};

// Names of the presets stored on each channel's head (the head keeps the positions, we keep
// the names), by preset number.
class OnvifPresetStore {
 public:
  virtual ~OnvifPresetStore() = default;
  virtual std::map<int, std::string> presets(const std::string& tag) = 0;
  virtual void storePresets(const std::string& tag, const std::map<int, std::string>& presets) = 0;
};

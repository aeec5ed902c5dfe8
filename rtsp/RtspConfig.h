#pragma once
// What the RTSP server is given by its owner: its settings as a plain value, and the
// interfaces through which it finds channels and takes their pictures. The logins come through
// the ONVIF service's OnvifCredentials (the same administrator and viewer logins). The server
// never reads the settings store itself.
//
// Threads: the server calls describe() from its connection threads, several at once, and
// open() and the picture sources from a channel's sender thread; implementations must be safe
// for that.
#include <cstdint>
#include <memory>
#include <string>

#include "channels/FrameRec.h"
#include "channels/PictureWatch.h"

// The System settings of the server: "RtspEnabled", "RtspPort", "RtspAuth"; it listens on the
// configuration server's address.
struct RtspConfig {
  static constexpr uint16_t kDefaultPort = 8554;
  static constexpr uint64_t kSessionTimeoutNs = 60000000000ull;  // no request, no RTCP for 60 s
  // Like the push-stream viewers of a channel's endpoint.
  static constexpr size_t kMaxViewersPerChannel = 2048;
  static constexpr int kMaxConnections = 4096;

  std::string address = "0.0.0.0";
  uint16_t port = kDefaultPort;  // 0: the system chooses
  bool auth = true;              // HTTP Digest (RFC 2617) on every request but OPTIONS
  uint64_t sessionTimeoutNs = kSessionTimeoutNs;  // tests shorten it
  size_t maxViewersPerChannel = kMaxViewersPerChannel;
  int maxConnections = kMaxConnections;
};

// A channel as a stream.
struct RtspChannelInfo {
  std::string name;        // the session name of its description
  int width = 0, height = 0;
  double frameRate = 0;    // pictures per second at most; 0: unknown
};

// One channel's pictures, for the thread that sends its streams.
class RtspPictureSource {
 public:
  virtual ~RtspPictureSource() = default;
  // The newest picture (null when the channel has none now) and its time stamp. False once the
  // channel is gone for good.
  virtual bool current(std::shared_ptr<const SharedPicture>* pic, uint64_t* timestamp) = 0;
  // Asks the channel for a new picture, as a consumer waiting for one does.
  virtual void want() = 0;
};

class RtspChannels {
 public:
  virtual ~RtspChannels() = default;
  // The running channel whose source tag is tag; false when there is none.
  virtual bool describe(const std::string& tag, RtspChannelInfo* info) = 0;
  // Its pictures; watcher->pictureEvent() is called on every publication until the source is
  // destroyed. Null when there is no such channel.
  virtual std::unique_ptr<RtspPictureSource> open(const std::string& tag, PictureWatcher* watcher) = 0;
};

#pragma once
// The ONVIF device: the device, media and pan/tilt services over SOAP on a port of their own
// (so the configuration server's routes stay as they are), the current pictures of channels
// without an endpoint of their own, WS-Discovery, and the pan/tilt heads' dead-man watch.
//
// HTTP: one request per connection, answered and closed. A request has kRequestDeadlineNs in
// all to arrive and a body of at most onvifxml::kMaxMessageBytes. At most kMaxConnections are
// open at once; a new one beyond that ends the oldest still waiting for its request, so clients
// that connect and send nothing cannot keep the others out.
//
// Ownership: owns its threads and sockets; the channel source, logins and preset store are the
// owner's and must outlive end().
// Threads: begin() and end() on the owner's thread; run() is the listener; each connection has
// a thread of its own (OnvifConnection); answer() may be called from any thread.
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/CNetAddr.h"
#include "base/CSocket.h"
#include "onvif/OnvifAuth.h"
#include "onvif/OnvifConfig.h"
#include "platform/Thread.h"

class OnvifConnection;
class OnvifPtz;
class WsDiscovery;

// One HTTP request as a connection read it.
struct OnvifRequest {
  std::string method;  // "GET", "POST"
  std::string path;    // without the query
  std::map<std::string, std::string> headers;  // names as received, with their colon
  std::string body;
  CNetAddr local;      // our end of the connection
};

struct OnvifResponse {
  int status = 200;
  std::string reason = "OK";
  std::map<std::string, std::string> headers;  // besides length and "Connection: close"
  std::string body;
  std::shared_ptr<const SharedPicture> picture;  // sent after body when set
};

class OnvifServer : public CThread {
 public:
  static constexpr int kMaxConnections = 32;
  static constexpr uint64_t kRequestDeadlineNs = 10000000000ull;
  static constexpr int kSendTimeoutMs = 5000;

  OnvifServer(OnvifChannelSource& channels, OnvifCredentials& logins, OnvifPresetStore* presets);
  ~OnvifServer() override;  // end()

  // Listens on config's address and port (the system's choice of port when that one is taken,
  // logged), starts discovery and the threads. False with *error when it cannot listen.
  bool begin(const OnvifConfig& config, std::string* error);
  // Says Bye, ends every connection and thread, stops every head it set moving.
  void end();
  // Where it listens (port as bound); ip "" before begin().
  CNetAddr address() const;
  // The answer to one request.
  OnvifResponse answer(const OnvifRequest& request);

 protected:
  int run() override;

 private:
  void reapConnections(bool all);
  OnvifResponse snapshot(const OnvifRequest& r, int64_t nowSec);

  OnvifChannelSource& m_channels;
  OnvifCredentials& m_logins;
  std::unique_ptr<OnvifPresetStore> m_ownPresets;  // when the owner gives none
  OnvifPresetStore* m_presets;
  OnvifConfig m_config;
  std::string m_uuid;
  onvifauth::DigestAuth m_digest;
  std::unique_ptr<OnvifPtz> m_ptz;
  std::unique_ptr<WsDiscovery> m_discovery;
  CSocket m_listen;
  CNetAddr m_bound;  // set by begin()
  std::atomic<bool> m_stop{false};
  bool m_begun = false;
  std::list<std::unique_ptr<OnvifConnection>> m_connections;  // the listener's own
};

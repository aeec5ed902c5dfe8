#pragma once
// The RTSP server: every channel as a stream rtsp://HOST:PORT/<sourceTag> of RTP/JPEG
// pictures (RFC 2326, RFC 2435), over the RTSP connection (interleaved) or UDP unicast.
//
// Each connection has a thread of its own (RtspConnection) that reads and answers its
// requests; each channel with playing sessions has a sender thread (RtspFeed). The server's
// own thread accepts connections and, twice a second, ends sessions that were silent for the
// session time-out (no request and no RTCP), reaps ended connections and feeds without
// sessions. At most config.maxConnections connections are open; a new one beyond that ends the
// oldest that holds no session, so clients that connect and send nothing cannot keep the
// others out. At most config.maxViewersPerChannel sessions exist per channel.
//
// Ownership: owns its threads, sessions and sockets; the channel source and the logins are the
// owner's and must outlive end().
// Threads: begin() and end() on the owner's thread; run() is the listener; the members below
// end() are called by connection and feed threads, any number at once.
// Lock order: m_feedLock, then m_sessionLock; a feed's and a session output's locks after both.
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "net/CNetAddr.h"
#include "net/CSocket.h"
#include "onvif/OnvifAuth.h"
#include "platform/Thread.h"
#include "rtsp/RtspConfig.h"
#include "rtsp/RtspSession.h"

class RtspConnection;
class RtspFeed;

class RtspServer : public CThread {
 public:
  static constexpr int kAcceptWaitMs = 500;  // also the period of the sweep
  static constexpr uint64_t kRefusalLogGapNs = 60000000000ull;

  RtspServer(RtspChannels& channels, OnvifCredentials& logins);
  ~RtspServer() override;  // end()

  // Listens on config's address and port (the system's choice of port when that one is taken,
  // logged) and starts the thread. False with *error when it cannot listen.
  bool begin(const RtspConfig& config, std::string* error);
  // Ends every session, connection and feed.
  void end();
  // Where it listens (port as bound); ip "" before begin().
  CNetAddr address() const { return m_bound; }

  // ---- For the connections and feeds ----
  const RtspConfig& config() const { return m_config; }
  RtspChannels& channels() { return m_channels; }
  // HTTP Digest login of a request; the challenge that asks for one.
  onvifauth::Check checkLogin(const std::string& authorization, const std::string& method, const std::string& uri,
                              int64_t nowSec);
  std::string challenge(int64_t nowSec, bool stale) const { return m_digest.challenge(nowSec, stale); }
  // Lists a new session; false when its channel has its most viewers already.
  bool addSession(const std::shared_ptr<RtspSession>& session);
  // The listed session with that id; null when there is none (or it ended).
  std::shared_ptr<RtspSession> findSession(const std::string& id);
  // Ends a session now (TEARDOWN); its feed lets go of it in its next round.
  void endSession(const std::shared_ptr<RtspSession>& session);
  // Hands a session that starts playing to its channel's feed (made when the channel has
  // none), first handing an interleaved session's output over with its first answer. False
  // when the channel is gone or no sender thread can be started; the output is then released.
  bool play(const std::shared_ptr<RtspSession>& session, const std::string& firstAnswer);
  // What every stream of a channel is sent as for the server's life: one SSRC, and one offset
  // of the media clock, so the feed builds each picture's packets once for all its viewers.
  struct Identity {
    uint32_t ssrc = 0;
    uint32_t rtpOffset = 0;
  };
  Identity identity(const std::string& tag);
  // A feed found a picture it cannot send: counted, and logged once per channel.
  void pictureRefused(const std::string& tag, const std::string& why);
  // Pictures of the channel not sent since the server began.
  uint64_t refusedPictures(const std::string& tag);
  size_t sessionCount();
  // Whether a refused request may be logged: at most one line a minute, so a flood of
  // malformed requests cannot fill the log.
  bool mayLogRefusal();

 protected:
  int run() override;

 private:
  void accept(int fd);
  void sweep();
  void reapConnections(bool all);

  RtspChannels& m_channels;
  OnvifCredentials& m_logins;
  onvifauth::DigestAuth m_digest;
  RtspConfig m_config;
  CSocket m_listen;
  CNetAddr m_bound;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_lastRefusalLogNs{0};
  bool m_begun = false;
  std::list<std::unique_ptr<RtspConnection>> m_connections;  // the listener's own

  std::mutex m_feedLock;
  std::map<std::string, std::unique_ptr<RtspFeed>> m_feeds;  // by tag; guarded by m_feedLock

  std::mutex m_sessionLock;
  std::map<std::string, std::shared_ptr<RtspSession>> m_sessions;  // by id; guarded by m_sessionLock
  std::map<std::string, uint64_t> m_refused;                       // by tag; guarded by m_sessionLock
  std::map<std::string, Identity> m_identities;                    // by tag; guarded by m_sessionLock
};

#pragma once
// The state an RTSP session shares between the connection thread that set it up and answers
// its requests, the server's session table (time-outs) and the sender thread of its channel
// (RtspFeed), which sends its pictures once it plays.
//
// RtspOutput is the sending side of one connection. Until the connection's interleaved session
// first plays, the connection thread writes its answers itself; from then on the connection's
// bytes belong to the feed, which sends the queued answers between two pictures, so an answer
// never lands inside a picture's packets. Only one interleaved session per connection exists
// (two channels' feeds must never share a socket).
//
// Threads: RtspOutput's members as documented below; RtspSession's atomics from any thread,
// its constant part is set before it is shared.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/RtpSockets.h"
#include "rtsp/RtspRequest.h"

class RtspFeed;

class RtspOutput {
 public:
  static constexpr size_t kMaxQueuedBytes = 65536;  // a client that sends and never reads
  static constexpr int kSendTimeoutMs = 5000;

  explicit RtspOutput(int fd) : m_fd(fd) {}

  // Connection thread: sends an answer. Before the hand-over it is written here, waiting up to
  // kSendTimeoutMs; after it, it is queued for the feed (last: the feed then ends the session
  // and stops writing). False when the connection can take it no more.
  bool send(const std::string& bytes, bool last = false);
  // Connection thread: the feed writes from now on, first the bytes given here.
  void handOver(RtspFeed* feed, const std::string& first);
  bool handedOver() const { return m_handedOver.load(); }
  // Feed: takes the queued answers (false: none); *last tells whether the session ends after
  // them.
  bool take(std::string* out, bool* last);
  // Feed: it writes no more (the session ended or the connection failed).
  void release();
  // Connection thread: waits up to timeoutNs for release().
  bool waitReleased(uint64_t timeoutNs);

 private:
  const int m_fd;  // the connection's; owned by the connection
  std::atomic<bool> m_handedOver{false};
  std::atomic<bool> m_hasQueued{false};  // m_queued is not empty: take() looks without the lock
  std::mutex m_lock;
  std::condition_variable m_released;
  std::string m_queued;        // guarded by m_lock
  bool m_last = false;         // guarded by m_lock
  bool m_done = false;         // guarded by m_lock: release() was called
  RtspFeed* m_feed = nullptr;  // guarded by m_lock: woken when an answer is queued
};

struct RtspSession {
  enum State { Ready, Playing, Paused };

  RtspSession() = default;
  ~RtspSession() { platform::closeUdpPair(&udp); }
  RtspSession(const RtspSession&) = delete;
  RtspSession& operator=(const RtspSession&) = delete;

  // Set before the session is shared.
  std::string id;                    // 16 hexadecimal digits
  std::string tag;                   // the channel
  std::string url;                   // the URL it was set up with (RTP-Info)
  rtsp::Transport transport;         // as agreed: channels always, ports for UDP
  uint32_t ssrc = 0;                 // its channel's (RtspServer::identity)
  uint64_t periodNs = 0;             // least spacing of pictures; 0: every picture
  const void* connection = nullptr;  // the connection that set it up
  std::shared_ptr<RtspOutput> output;  // interleaved: that connection's sending side
  platform::UdpPair udp;               // UDP: our two sockets, owned
  // Interleaved: a handle of the feed's own on the connection, made at the hand-over; the
  // feed closes it once attached, else the connection does.
  int mediaFd = -1;

  std::atomic<int> state{Ready};
  std::atomic<uint64_t> lastSeenNs{0};  // monotonic: the last request or RTCP packet
  std::atomic<bool> ended{false};       // torn down, timed out or its connection is gone
  std::atomic<bool> attached{false};    // handed to its channel's feed

  void touch();
};

// The compound RTCP packet of a sender report (RFC 3550: SR with no report blocks, then SDES
// with the CNAME) for the session's counts at wall time nowNs; its length in bytes.
size_t senderReport(uint8_t* out, size_t cap, uint32_t ssrc, uint64_t nowNs, uint32_t rtpTime, uint32_t packets,
                    uint32_t octets);
// Random bits for session ids and stream identities: unguessable, so a session id is worth
// something only to the client that set it up.
uint64_t randomBits();
// The 90 kHz media time of a wall time in nanoseconds since 1970.
uint32_t rtpTime(uint64_t ns, uint32_t offset);

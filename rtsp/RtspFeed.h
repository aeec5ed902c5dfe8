#pragma once
// Sends one channel's RTSP streams: one thread takes the channel's newest picture when it is
// published, turns it into RTP/JPEG packets once (re-coding it to the standard Huffman tables
// first when it needs that), and hands every playing session the picture at its own pace:
// interleaved sessions with one non-blocking send per picture, UDP sessions with one batched
// datagram send. Every stream of the channel has the same SSRC and media clock, and a viewer
// that took every picture since it joined follows the channel's packet numbering, so it sends
// the picture's packets exactly as they were built; one that skipped pictures (slow) or asked
// for another interleaved channel gets RTP headers of its own, so its numbering has no gaps.
//
// A viewer that does not read never delays the others: its socket is armed and watched, it
// gets the newest picture once it has taken the last one, and a send that makes no progress
// for kStallNs ends that session alone. Every kReportNs a session gets an RTCP sender report.
//
// Owned by the RtspServer, one per channel with sessions. attach(), wake() and
// pictureEvent() may be called from any thread; viewerCount() too; everything else is the
// feed's own thread's. The thread ends when stop() is called or the channel is gone; it then
// ends every session it holds.
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/PictureWatch.h"
#include "platform/Thread.h"
#include "platform/WakePipe.h"
#include "platform/WritableWait.h"
#include "rtsp/RtpJpeg.h"
#include "rtsp/RtspConfig.h"
#include "rtsp/RtspSession.h"

class RtspServer;

// One picture as RTP/JPEG packets, shared by every viewer while it sends them: an interleaved
// stream (per packet "$", channel 0, length, the RTP header in the channel's numbering, the
// payload) that a viewer following that numbering sends as it is, over TCP whole, over UDP
// each packet from its RTP header on.
struct RtpPicture {
  static constexpr size_t kHeadBytes = 4 + rtpjpeg::kRtpHeaderBytes;
  std::vector<uint8_t> stream;
  std::vector<uint32_t> starts;  // each packet's "$", then the end of the stream
  uint64_t timestamp = 0;        // the published picture's (ns since 1970)
  uint32_t rtpTime = 0;          // its media time
  uint16_t firstSeq = 0;         // its first packet's number
  size_t count() const { return starts.empty() ? 0 : starts.size() - 1; }
  const uint8_t* packet(size_t i) const { return stream.data() + starts[i]; }
  size_t packetBytes(size_t i) const { return starts[i + 1] - starts[i]; }
};

class RtspFeed : public CThread, public PictureWatcher {
 public:
  static constexpr uint64_t kStallNs = 10000000000ull;   // a send without progress
  static constexpr uint64_t kReportNs = 5000000000ull;   // RTCP sender reports

  // *server outlives the feed; it is told of pictures that cannot be sent.
  RtspFeed(RtspServer& server, RtspChannels& channels, const std::string& tag);
  ~RtspFeed() override;  // stops and joins the thread

  // Opens the channel's pictures and starts the thread; false when the channel is gone or the
  // platform refuses.
  bool begin();
  // Takes a session that plays (its output handed over for interleaved ones). False, session
  // untouched, once the feed is ending.
  bool attach(const std::shared_ptr<RtspSession>& session);
  void wake() { m_wake.signal(); }
  void pictureEvent() override { m_wake.signal(); }
  void stop();
  // Sessions attached and not yet ended.
  size_t viewerCount() const { return m_viewers.load(); }
  bool ended() const { return m_ended.load(); }
  const std::string& tag() const { return m_tag; }

 protected:
  int run() override;

 private:
  struct Viewer;
  // One look at a viewer: continues or starts its sending; false when its session is over.
  bool serve(Viewer& v, uint64_t monoNs, uint64_t& nextNs);
  bool startPicture(Viewer& v, uint64_t monoNs, uint64_t& nextNs);
  bool sendUdp(Viewer& v, uint64_t monoNs);
  bool continueSend(Viewer& v, uint64_t monoNs, uint64_t& nextNs);
  // Sends pieces (the feed's or the viewer's own) as far as the socket takes them; what is
  // left is kept for the viewer's next turn. False when the connection failed.
  bool sendTcp(Viewer& v, iovec* pieces, size_t count, uint64_t monoNs, uint64_t& nextNs);
  void keepUnsent(Viewer& v, const iovec* rest, size_t count);
  void endViewer(Viewer& v);
  // The channel's newest picture as payloads, made once per picture; null when there is none
  // or it cannot be sent.
  void fetchCurrent();
  std::shared_ptr<const RtpPicture> makePicture(const std::shared_ptr<const SharedPicture>& pic, uint64_t ts);

  RtspServer& m_server;
  RtspChannels& m_channels;
  const std::string m_tag;
  const uint32_t m_ssrc, m_rtpOffset;  // the channel's stream identity
  uint16_t m_seq;                      // the number of the next picture's first packet
  std::unique_ptr<RtspPictureSource> m_source;  // the feed thread's after begin()
  platform::WakePipe m_wake;
  platform::WritableWait m_wait;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_ended{false};
  std::atomic<size_t> m_viewers{0};

  std::mutex m_lock;
  std::vector<std::shared_ptr<RtspSession>> m_incoming;  // guarded by m_lock
  bool m_closed = false;                                  // guarded by m_lock: attach() refuses

  // The feed thread's view of the channel for one round.
  bool m_haveCurrent = false;
  bool m_channelGone = false;
  uint64_t m_currentTs = 0;
  std::shared_ptr<const RtpPicture> m_current;  // null: none, or not sendable
  std::shared_ptr<const SharedPicture> m_madeFrom;  // the published picture m_current was made of
  uint64_t m_refusedTs = 0;  // a picture found unsendable is not looked at again
  bool m_wantFrame = false;
  // The send pieces of a picture (and RTP headers of a viewer's own), built for one viewer at
  // a time.
  std::vector<uint8_t> m_heads;
  std::vector<iovec> m_pieces;
  std::vector<int> m_piecesPer;  // UDP: pieces of each datagram
};

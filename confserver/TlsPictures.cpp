#include "confserver/TlsPictures.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/CLogFile.h"
#include "base/ConfAnswer.h"
#include "base/TlsStream.h"
#include "channels/CNetVideoClient.h"
#include "channels/CVideoCnl.h"
#include "channels/LiveChannels.h"
#include "endpoint/CHTTPSrvThread.h"
#include "endpoint/EndpointPages.h"
#include "platform/Clock.h"

namespace {

const char kPicturePrefix[] = "/picture/";
const char kStreamPrefix[] = "/stream/";
const char kSuffix[] = ".jpg";
// Viewers of one channel at a time, endpoint and HTTPS streams together.
constexpr size_t kMaxViewers = 2048;
// Longest wait per send slice, so stop() is noticed promptly.
constexpr int64_t kSendSliceNs = 200000000;

// "<prefix><key>.jpg" -> key; "" when the path is not of that form.
std::string keyOf(const std::string& path, const char* prefix) {
  const size_t p = std::strlen(prefix), s = sizeof kSuffix - 1;
  if (path.size() <= p + s || path.compare(0, p, prefix) != 0 ||
      path.compare(path.size() - s, s, kSuffix) != 0)
    return std::string();
  return path.substr(p, path.size() - p - s);
}

// One viewer of a push stream over TLS: its own thread sends the channel's pictures as they
// come (shared with the channel's other viewers, not copied), paced by its period, through the connection's TLS session. Ends when the client goes
// away, a send makes no progress for the send time-out, five waits in a row bring no picture,
// the channel stops, or stop() is called (any thread; shuts the connection down).
class TlsPushClient : public CVideoClient {
 public:
  // head: the answer's head, sent first.
  TlsPushClient(CVideoCnl* cnl, uint32_t periodMs, std::string head)
      : CVideoClient(cnl, periodMs), m_head(std::move(head)) {}
  ~TlsPushClient() override { closeConnection(); }

  // Takes the connection's handle and its TLS session (connection thread, before start()).
  void adopt(CSocket& conn) {
    std::lock_guard<std::mutex> g(m_connLock);
    std::unique_ptr<SocketTransport> t = conn.releaseTransport();
    m_conn.reset(new CSocket(conn.release(), false));
    m_conn->setTransport(std::move(t));
    m_peer = m_conn->peerAddress();
  }
  CNetAddr peer() override { return m_peer; }
  void stop() override {
    m_stop = true;
    std::lock_guard<std::mutex> g(m_connLock);
    if (m_conn) m_conn->shutdown();
  }

 protected:
  int run() override {
    m_cnl->addClient(this);
    const std::string id = std::to_string(long(syscall(SYS_gettid)));
    g_logFile.log(CLogFile::Info, "Net client ",
                  "Started HTTPS video client thread. id=" + id + " T=" +
                      std::to_string(periodNs() / 1000000ull) + "ms",
                  "TlsPushClient::run");
    ChannelCounters& counters = m_cnl->counters();
    counters.viewers.fetch_add(1, std::memory_order_relaxed);
    char head[CNetVideoClient::kPartHeaderSize];
    std::memcpy(head, CNetVideoClient::kPartHeader, sizeof head);
    for (int failedWaits = sendAll(m_head.data(), m_head.size()) ? 0 : CNetVideoClient::kMaxFailedWaits;
         failedWaits < CNetVideoClient::kMaxFailedWaits && !m_stop;) {
      if (!waitNewPictureInSlot(m_shown)) {
        if (++failedWaits < CNetVideoClient::kMaxFailedWaits)
          sleepUnlessStopped(uint64_t(CNetVideoClient::kFailPauseMs) * 1000000ull);
        continue;
      }
      failedWaits = 0;
      if (!CNetVideoClient::patchLength(head, m_shown->length) || !sendPart(head, sizeof head)) break;
      ChannelCounters::add(counters.viewerBytes, m_shown->length);
    }
    closeConnection();
    counters.viewers.fetch_sub(1, std::memory_order_relaxed);
    g_logFile.log(CLogFile::Info, "Net client ", "Stopped HTTPS video client thread. id=" + id,
                  "TlsPushClient::run");
    return 0;
  }

 private:
  // The part's head and its picture. Every send is a TLS record of its own: the head goes out
  // in one full record with the start of the picture, which saves a record (and a write) per
  // part for a copy of the first record's bytes.
  bool sendPart(const char* head, size_t headLen) {
    const uint8_t* pic = m_shown->data.get();
    const size_t len = m_shown->length, lead = std::min(len, TlsStream::kRecordBytes - headLen);
    m_firstRecord.assign(head, head + headLen);
    m_firstRecord.insert(m_firstRecord.end(), pic, pic + lead);
    return sendAll(m_firstRecord.data(), m_firstRecord.size()) && sendAll(pic + lead, len - lead);
  }
  bool sendAll(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    uint64_t lastProgress = platform::monotonicNs();
    const uint64_t stallLimit = uint64_t(CNetVideoClient::kSendTimeoutMs) * 1000000ull;
    while (len > 0 && !m_stop) {
      const int n = m_conn->send(p, len);
      if (n > 0) {
        p += n;
        len -= size_t(n);
        lastProgress = platform::monotonicNs();
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (platform::monotonicNs() - lastProgress >= stallLimit) return false;
      if (m_conn->waitWritable(kSendSliceNs) < 0) return false;
    }
    return len == 0;
  }
  void closeConnection() {
    std::lock_guard<std::mutex> g(m_connLock);
    m_conn.reset();
  }

  const std::string m_head;
  std::shared_ptr<const SharedPicture> m_shown;  // the picture last sent; run() only
  std::vector<uint8_t> m_firstRecord;  // run() only
  std::mutex m_connLock;          // the connection against stop()'s shutdown
  std::unique_ptr<CSocket> m_conn;  // guarded by m_connLock for reset/shutdown; sends: run()
  CNetAddr m_peer;
};

// A consumer that is never started: while it exists the channel's destructor waits for it
// (up to CVideoCnl::kAttachWaitNs), so a connection thread may use the channel meanwhile.
class ChannelLease : public CMXClient {
 public:
  using CMXClient::CMXClient;

 protected:
  int run() override { return 0; }
};

// Hands the connection to its stream consumer and starts it.
class StreamStarter : public ConfStreamTaker {
 public:
  explicit StreamStarter(TlsPushClient* client) : m_client(client) {}
  void take(CSocket& conn) override {
    m_client->adopt(conn);
    TlsPushClient* c = m_client.release();
    if (!c->start()) delete c;  // never attached: the channel no longer waits for it
  }

 private:
  std::unique_ptr<TlsPushClient> m_client;  // until started
};

}  // namespace

std::string tlsPictureUrl(const std::string& key, bool live) {
  return live ? kStreamPrefix + key + kSuffix + "?fps=2" : kPicturePrefix + key + kSuffix;
}

bool isTlsPicturePath(const std::string& path) {
  return !keyOf(path, kPicturePrefix).empty() || !keyOf(path, kStreamPrefix).empty();
}

CVideoCnl* tlsPictureChannel(const std::string& path) {
  const std::string streamKey = keyOf(path, kStreamPrefix);
  const std::string key = streamKey.empty() ? keyOf(path, kPicturePrefix) : streamKey;
  return key.empty() ? nullptr : findChannelByKey(key);
}

void channelPictureAnswer(CHTTPSocket& conn, ConfAnswer& out) {
  const std::string streamKey = keyOf(conn.path, kStreamPrefix);
  CVideoCnl* cnl = tlsPictureChannel(conn.path);
  if (!cnl) {
    out.set(404, "Not Found", {{"Connection:", "close"}, {"Content-type:", "text/plain"}},
            std::string(CHTTPSrvThread::kNotFoundText) + "\n");
    return;
  }
  if (streamKey.empty()) {
    // The wait for a picture (up to the channel's wait, 1 s) happens on the connection thread;
    // the lease keeps the channel from going away meanwhile.
    std::shared_ptr<ChannelLease> lease(new ChannelLease(cnl));
    out.set(200, "OK",
            {{"Connection:", "close"}, {"Content-type:", "image/jpg"}, {"Cache-Control:", "private,no-cache"}});
    out.complete = [lease](std::string& bytes) {
      std::shared_ptr<const SharedPicture> pic;
      if (lease->channel()->getNewPicture(pic, 0))
        bytes.append(reinterpret_cast<const char*>(pic->data.get()), pic->length);
      else
        bytes += noPictureImage();
    };
    return;
  }
  // A stopping channel takes no new consumers (they attach from their own thread).
  if (cnl->stopping() || cnl->clientCount() >= kMaxViewers) return;
  auto fps = conn.query.find("fps");
  const uint32_t periodMs = CNetVideoClient::periodMsFromFps(fps == conn.query.end() ? nullptr : &fps->second);
  out.set(200, "OK", {{"Content-type:", CHTTPSrvThread::kStreamType}, {"Cache-Control:", "private,no-cache"}});
  out.stream.reset(new StreamStarter(new TlsPushClient(cnl, periodMs, out.bytes)));
}

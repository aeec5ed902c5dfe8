#include "rtsp/RtspFeed.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Net.h"
#include "rtsp/RtspServer.h"

namespace {
constexpr uint64_t kMaxIdleNs = 1000000000ull;  // look at least once a second
constexpr size_t kInterleaveBytes = 4;          // "$", channel, length
constexpr size_t kMaxPiecesPerSend = IOV_MAX;
constexpr size_t kReportCapacity = 64;
}  // namespace

struct RtspFeed::Viewer {
  // What a readiness report of the wait is about: the socket takes data again, or RTCP came.
  struct Tag {
    Viewer* v;
    bool rtcp;
  };
  Tag writable{this, false}, rtcp{this, true};
  std::shared_ptr<RtspSession> s;
  size_t slot = 0;      // its index in the feed's list
  bool tcp = false;
  // The session's constant part, kept here: a picture's turn then reads of the session only
  // what changes (its state, its end, its queued answers).
  uint8_t rtpChannel = 0, rtcpChannel = 1;
  uint32_t ssrc = 0;
  uint64_t periodNs = 0;
  int fd = -1;          // interleaved: our own handle on the connection; UDP: the RTP socket
  bool known = false;   // fd is in the wait set
  bool armed = false;   // a send found the socket full; waiting until it takes data
  uint16_t seq = 0;
  uint32_t packets = 0, octets = 0;
  uint64_t lastTs = 0;          // time stamp of the last picture sent
  uint64_t idleSinceNs = 0;     // monotonic: the last picture went out
  uint64_t lastProgressNs = 0;  // monotonic: the last send that moved bytes
  uint64_t nextReportNs = 0;
  bool sending = false;         // pieces[next..] are still to go
  bool sendingPicture = false;  // what is being sent is a picture's packets
  bool lastAnswer = false;      // the answers in flight end the session
  std::shared_ptr<const RtpPicture> pic;  // held while a send of it is unfinished
  std::string answers;                    // answers in flight
  uint8_t report[kInterleaveBytes + kReportCapacity];
  // What is left of a send its socket could not take whole: the pieces from next on, and the
  // copy of the headers they point into.
  std::vector<iovec> pieces;
  std::vector<uint8_t> heads;
  size_t next = 0;
};

RtspFeed::RtspFeed(RtspServer& server, RtspChannels& channels, const std::string& tag)
    : m_server(server),
      m_channels(channels),
      m_tag(tag),
      m_ssrc(server.identity(tag).ssrc),
      m_rtpOffset(server.identity(tag).rtpOffset),
      m_seq(static_cast<uint16_t>(randomBits())) {}

RtspFeed::~RtspFeed() {
  stop();
  join();
  m_source.reset();
}

bool RtspFeed::begin() {
  if (!m_wake.ok() || !m_wait.ok() || !m_wait.watchReadable(m_wake.readFd(), &m_wake)) return false;
  m_source = m_channels.open(m_tag, this);
  if (!m_source) return false;
  if (start()) return true;
  m_source.reset();
  return false;
}

bool RtspFeed::attach(const std::shared_ptr<RtspSession>& session) {
  assert(session);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_closed) return false;
    m_incoming.push_back(session);
    ++m_viewers;
  }
  wake();
  return true;
}

void RtspFeed::stop() {
  m_stop = true;
  wake();
}

std::shared_ptr<const RtpPicture> RtspFeed::makePicture(const std::shared_ptr<const SharedPicture>& pic,
                                                         uint64_t ts) {
  // Once per picture (re-coding it included), for every viewer of the channel.
  rtpjpeg::Payloads p;
  std::string why;
  if (!rtpjpeg::payloadsOf(pic->data.get(), pic->length, &p, &why)) {
    m_server.pictureRefused(m_tag, why);
    return nullptr;
  }
  auto out = std::make_shared<RtpPicture>();
  out->timestamp = ts;
  out->rtpTime = rtpTime(ts, m_rtpOffset);
  out->firstSeq = m_seq;
  out->stream.resize(p.bytes.size() + p.count() * RtpPicture::kHeadBytes);
  uint8_t* o = out->stream.data();
  for (size_t i = 0; i < p.count(); ++i) {
    out->starts.push_back(static_cast<uint32_t>(o - out->stream.data()));
    o[0] = '$';
    o[1] = 0;
    putBE16(o + 2, static_cast<uint16_t>(rtpjpeg::kRtpHeaderBytes + p.payloadBytes(i)));
    rtpjpeg::rtpHeader(o + 4, i + 1 == p.count(), m_seq++, out->rtpTime, m_ssrc);
    std::memcpy(o + RtpPicture::kHeadBytes, p.payload(i), p.payloadBytes(i));
    o += RtpPicture::kHeadBytes + p.payloadBytes(i);
  }
  out->starts.push_back(static_cast<uint32_t>(out->stream.size()));
  return out;
}

void RtspFeed::fetchCurrent() {
  assert(isCurrent());
  if (m_haveCurrent) return;
  m_haveCurrent = true;
  std::shared_ptr<const SharedPicture> pic;
  uint64_t ts = 0;
  if (!m_source->current(&pic, &ts)) {
    m_channelGone = true;
    m_current.reset();
    return;
  }
  m_currentTs = ts;
  if (!pic || pic->length == 0) {
    m_current.reset();
    m_madeFrom.reset();
    return;
  }
  if (pic == m_madeFrom) return;  // made already (or found unsendable)
  m_madeFrom = pic;
  m_current = makePicture(pic, ts);
}

bool RtspFeed::serve(Viewer& v, uint64_t monoNs, uint64_t& nextNs) {
  if (v.s->ended.load()) return false;
  if (v.sending) {
    if (!v.armed) return continueSend(v, monoNs, nextNs);
    const uint64_t giveUp = v.lastProgressNs + kStallNs;
    if (monoNs >= giveUp) return false;  // it took nothing for kStallNs
    if (giveUp < nextNs) nextNs = giveUp;
    return true;
  }
  // The state is read before the answers: an answer queued before a state change is then
  // always sent before the pictures that change allows.
  const int state = v.s->state.load();
  if (v.tcp) {
    std::string answers;
    bool last = false;
    if (v.s->output->take(&answers, &last)) {
      v.answers.swap(answers);
      v.lastAnswer = last;
      v.lastProgressNs = monoNs;
      iovec piece{&v.answers[0], v.answers.size()};
      return sendTcp(v, &piece, 1, monoNs, nextNs);
    }
  }
  if (state != RtspSession::Playing) return true;
  if (v.periodNs && v.lastTs) {
    // Paced relative to the source time of the previous picture, as push streams are; the wait
    // is capped at one period, so a picture stamped in the future cannot stall it.
    const uint64_t period = v.periodNs;
    const uint64_t wallNs = platform::nowNs();
    const uint64_t due = v.lastTs + period;
    const uint64_t capped = v.idleSinceNs + period;
    if (due > wallNs && monoNs < capped) {
      uint64_t at = platform::monotonicNs() + (due - wallNs);
      if (capped < at) at = capped;
      if (at < nextNs) nextNs = at;
      return true;
    }
  }
  fetchCurrent();
  if (m_current && m_currentTs != v.lastTs) return startPicture(v, monoNs, nextNs);
  m_wantFrame = true;
  return true;
}

bool RtspFeed::startPicture(Viewer& v, uint64_t monoNs, uint64_t& nextNs) {
  // The feed holds the picture for this pass; the viewer takes a hold of its own only when
  // its socket cannot take the picture at once (keepUnsent).
  const RtpPicture& pic = *m_current;
  v.lastTs = m_currentTs;
  const size_t n = pic.count();
  if (v.packets == 0) v.seq = pic.firstSeq;  // a new viewer joins the channel's numbering
  size_t reportBytes = 0;
  if (monoNs >= v.nextReportNs) {
    reportBytes = senderReport(v.report + kInterleaveBytes, kReportCapacity, v.ssrc, platform::nowNs(),
                               rtpTime(platform::nowNs(), m_rtpOffset), v.packets, v.octets);
    v.nextReportNs = monoNs + kReportNs;
  }
  // The pieces are built in the feed's own buffers, which stay in the cache from one viewer to
  // the next; a viewer keeps a copy only when its socket cannot take them all.
  m_pieces.clear();
  m_piecesPer.clear();
  if (reportBytes && v.tcp) {
    v.report[0] = '$';
    v.report[1] = v.rtcpChannel;
    putBE16(v.report + 2, static_cast<uint16_t>(reportBytes));
    m_pieces.push_back(iovec{v.report, kInterleaveBytes + reportBytes});
  }
  const auto packet = [&pic](size_t i, size_t skip) {
    return iovec{const_cast<uint8_t*>(pic.packet(i)) + skip, pic.packetBytes(i) - skip};
  };
  if (v.seq == pic.firstSeq && (!v.tcp || v.rtpChannel == 0)) {
    if (v.tcp) m_pieces.push_back(iovec{const_cast<uint8_t*>(pic.stream.data()), pic.stream.size()});
    for (size_t i = 0; !v.tcp && i < n; ++i) {
      m_pieces.push_back(packet(i, kInterleaveBytes));
      m_piecesPer.push_back(1);
    }
  } else {
    const size_t head = (v.tcp ? kInterleaveBytes : 0) + rtpjpeg::kRtpHeaderBytes;
    m_heads.resize(n * head);
    for (size_t i = 0; i < n; ++i) {
      uint8_t* h = &m_heads[i * head];
      if (v.tcp) {
        h[0] = '$';
        h[1] = v.rtpChannel;
        putBE16(h + 2, static_cast<uint16_t>(pic.packetBytes(i) - kInterleaveBytes));
      }
      rtpjpeg::rtpHeader(h + head - rtpjpeg::kRtpHeaderBytes, i + 1 == n, static_cast<uint16_t>(v.seq + i),
                         pic.rtpTime, v.ssrc);
      m_pieces.push_back(iovec{h, head});
      m_pieces.push_back(packet(i, RtpPicture::kHeadBytes));
      m_piecesPer.push_back(2);
    }
  }
  v.seq = static_cast<uint16_t>(v.seq + n);
  v.packets += static_cast<uint32_t>(n);
  v.octets += static_cast<uint32_t>(pic.stream.size() - n * RtpPicture::kHeadBytes);  // payload octets
  if (!v.tcp) {
    if (reportBytes) platform::sendDatagramNow(v.s->udp.rtcp, v.report + kInterleaveBytes, reportBytes);
    const bool ok = sendUdp(v, monoNs);
    v.idleSinceNs = monoNs;
    return ok && serve(v, monoNs, nextNs);
  }
  v.lastProgressNs = monoNs;
  v.sendingPicture = true;
  return sendTcp(v, m_pieces.data(), m_pieces.size(), monoNs, nextNs);
}

bool RtspFeed::sendUdp(Viewer& v, uint64_t monoNs) {
  // Datagrams the socket cannot take now are dropped, as the network would drop them: a UDP
  // viewer always gets the newest picture, never a backlog.
  const int sent = platform::sendDatagramsNow(v.fd, m_pieces.data(), m_piecesPer.data(),
                                              static_cast<int>(m_piecesPer.size()));
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED) return false;
  if (sent > 0) v.lastProgressNs = monoNs;
  return true;
}

void RtspFeed::keepUnsent(Viewer& v, const iovec* rest, size_t count) {
  v.sending = true;
  if (v.sendingPicture && !v.pic) v.pic = m_current;  // the pieces point into it
  const uintptr_t at = reinterpret_cast<uintptr_t>(rest);
  const uintptr_t own = reinterpret_cast<uintptr_t>(v.pieces.data());
  if (!v.pieces.empty() && at >= own && at < own + v.pieces.size() * sizeof(iovec)) {
    v.next = static_cast<size_t>(rest - v.pieces.data());
    return;
  }
  v.pieces.assign(rest, rest + count);
  v.next = 0;
  // Pieces that point into the feed's headers point into the viewer's copy of them instead.
  const uintptr_t b = reinterpret_cast<uintptr_t>(m_heads.data()), e = b + m_heads.size();
  bool copied = false;
  for (iovec& p : v.pieces) {
    const uintptr_t q = reinterpret_cast<uintptr_t>(p.iov_base);
    if (q < b || q >= e) continue;
    if (!copied) v.heads.assign(m_heads.begin(), m_heads.end());
    copied = true;
    p.iov_base = v.heads.data() + (q - b);
  }
}

bool RtspFeed::continueSend(Viewer& v, uint64_t monoNs, uint64_t& nextNs) {
  return sendTcp(v, v.pieces.data() + v.next, v.pieces.size() - v.next, monoNs, nextNs);
}

bool RtspFeed::sendTcp(Viewer& v, iovec* pieces, size_t count, uint64_t monoNs, uint64_t& nextNs) {
  assert(isCurrent() && v.tcp);
  size_t next = 0;
  while (next < count) {
    const size_t batch = count - next < kMaxPiecesPerSend ? count - next : kMaxPiecesPerSend;
    const ssize_t sent = platform::sendVecNow(v.fd, pieces + next, static_cast<int>(batch));
    if (sent < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;  // the client is gone
      keepUnsent(v, pieces + next, count - next);
      if (!m_wait.armWritable(v.fd, &v.writable, &v.known)) return false;
      v.armed = true;
      const uint64_t giveUp = v.lastProgressNs + kStallNs;
      if (giveUp < nextNs) nextNs = giveUp;
      return true;
    }
    v.lastProgressNs = monoNs;
    size_t done = static_cast<size_t>(sent);
    while (next < count && done >= pieces[next].iov_len) done -= pieces[next++].iov_len;
    if (next < count) {
      pieces[next].iov_base = static_cast<char*>(pieces[next].iov_base) + done;
      pieces[next].iov_len -= done;
    }
  }
  v.sending = false;
  v.pieces.clear();
  v.pic.reset();  // old pictures are freed as soon as nobody sends them
  if (v.sendingPicture) {
    v.sendingPicture = false;
    v.idleSinceNs = monoNs;
    // Sent at once, in the pass that made the channel's newest picture known: a viewer that is
    // not paced has nothing more to do until something wakes the feed (a picture, an answer,
    // a deadline), so its session is not looked at again now.
    if (m_haveCurrent && v.lastTs == m_currentTs && !v.periodNs && v.answers.empty()) {
      m_wantFrame = true;
      return true;
    }
  }
  if (!v.answers.empty()) {
    v.answers.clear();
    if (v.lastAnswer) {
      v.s->ended = true;
      return false;
    }
  }
  return serve(v, monoNs, nextNs);
}

void RtspFeed::endViewer(Viewer& v) {
  assert(isCurrent() && m_viewers.load() > 0);
  if (v.tcp) {
    if (v.known) m_wait.forget(v.fd);
    // After its last answer the connection closes by itself; otherwise (a failed or stalled
    // send, a time-out, the channel gone) it is ended here, which wakes its reader.
    if (!v.lastAnswer || v.sending) platform::shutdownSocket(v.fd);
    v.s->output->release();
    platform::closeSocket(v.fd);
  } else if (v.s->udp.rtcp >= 0) {
    m_wait.forget(v.s->udp.rtcp);
  }
  v.s->ended = true;
  v.pic.reset();
  --m_viewers;
}

int RtspFeed::run() {
  // A picture's turn sends to every viewer in one burst; a viewer woken by its send is not
  // worth a switch before the burst ends (it reads the picture either way).
  preferThroughput();
  std::vector<std::unique_ptr<Viewer>> viewers;
  std::vector<std::shared_ptr<RtspSession>> incoming;
  std::vector<Viewer*> fired;  // sockets that take data again since the last pass
  void* ready[64];
  bool full = true;            // every viewer is looked at, not only the fired ones
  uint64_t dueNs = 0;          // monotonic: when a full pass is due at the latest
  const auto remove = [&viewers, this](size_t i) {
    endViewer(*viewers[i]);
    viewers[i] = std::move(viewers.back());
    viewers[i]->slot = i;
    viewers.pop_back();
  };
  for (;;) {
    const bool ending = m_stop.load() || m_channelGone;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      incoming.swap(m_incoming);
      if (ending) m_closed = true;
    }
    for (const auto& s : incoming) {
      auto v = std::make_unique<Viewer>();
      v->s = s;
      v->tcp = s->transport.tcp;
      v->rtpChannel = static_cast<uint8_t>(s->transport.rtpChannel);
      v->rtcpChannel = static_cast<uint8_t>(s->transport.rtcpChannel);
      v->ssrc = s->ssrc;
      v->periodNs = s->periodNs;
      v->fd = v->tcp ? s->mediaFd : s->udp.rtp;
      v->slot = viewers.size();
      if (!v->tcp && s->udp.rtcp >= 0) m_wait.watchReadable(s->udp.rtcp, &v->rtcp);
      viewers.push_back(std::move(v));
      full = true;
    }
    incoming.clear();
    if (ending) break;

    // A new picture, a new viewer, a queued answer or a deadline: every viewer is looked at.
    // A socket that drained: only its viewer is, so hundreds of viewers taking a picture at
    // their own pace do not cost a pass over all of them each.
    const uint64_t monoNs = platform::monotonicNs();
    m_haveCurrent = false;
    m_wantFrame = false;
    if (full || monoNs >= dueNs) {
      uint64_t nextNs = monoNs + kMaxIdleNs;
      for (size_t i = 0; i < viewers.size();) {
        if (serve(*viewers[i], monoNs, nextNs))
          ++i;
        else
          remove(i);
      }
      dueNs = nextNs;
    } else {
      for (Viewer* v : fired)
        if (!serve(*v, monoNs, dueNs)) remove(v->slot);
    }
    fired.clear();
    full = false;
    if (m_wantFrame && !m_channelGone) m_source->want();

    const uint64_t now = platform::monotonicNs();
    const int n = m_wait.wait(dueNs > now ? int64_t(dueNs - now) : 0, ready, 64);
    for (int i = 0; i < n; ++i) {
      if (ready[i] == &m_wake) {
        m_wake.drain();
        full = true;
        continue;
      }
      // Viewers ended in a pass were taken out of the wait before it began.
      const Viewer::Tag* tag = static_cast<const Viewer::Tag*>(ready[i]);
      if (tag->rtcp) {
        platform::drainDatagrams(tag->v->s->udp.rtcp);
        tag->v->s->touch();  // its receiver reports keep the session alive
      } else {
        tag->v->armed = false;  // one-shot: it fired and is off now
        fired.push_back(tag->v);
      }
    }
  }
  for (auto& v : viewers) endViewer(*v);
  m_ended = true;
  return 0;
}

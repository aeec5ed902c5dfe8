#include "rtsp/RtspConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/CLogFile.h"
#include "base/Tables.h"
#include "channels/CNetVideoClient.h"
#include "platform/Clock.h"
#include "platform/Net.h"
#include "rtsp/RtpJpeg.h"
#include "rtsp/RtspServer.h"

namespace {

const char kLogSource[] = "RTSP";
const char kTrack[] = "track1";
constexpr size_t kReadBytes = 4096;
constexpr uint64_t kTeardownWaitNs = 5000000000ull;
constexpr int kWaitMs = 1000;          // deadlines are looked at this often
constexpr int kPlayingWaitMs = 10000;  // ... and this often while the one session plays

const char* reason(int code) {
  switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 413: return "Request Entity Too Large";
    case 453: return "Not Enough Bandwidth";
    case 454: return "Session Not Found";
    case 455: return "Method Not Valid in This State";
    case 461: return "Unsupported Transport";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Internal Server Error";
  }
}

std::string hex(uint64_t v, int digits) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%0*llX", digits, static_cast<unsigned long long>(v));
  return std::string(buf).substr(0, static_cast<size_t>(digits));
}

std::string httpDate() {
  const time_t t = std::time(nullptr);
  tm g{};
  gmtime_r(&t, &g);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &g);
  return buf;
}

// "rtsp://host:port" of a request URL.
std::string origin(const std::string& uri) {
  const size_t slash = uri.find('/', 7);
  return uri.substr(0, slash);
}

// Text of a channel name fit for one SDP line.
std::string sdpText(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return s.empty() ? "-" : s;
}

}  // namespace

RtspConnection::RtspConnection(RtspServer& server, int fd) : m_server(server), m_conn(fd, true) {
  m_local = m_conn.localAddress();
  m_peer = m_conn.peerAddress();
}

RtspConnection::~RtspConnection() { m_conn.close(); }

void RtspConnection::stop() { m_conn.shutdown(); }

int RtspConnection::run() {
  m_conn.setSendTimeout(RtspOutput::kSendTimeoutMs);
  m_out = std::make_shared<RtspOutput>(m_conn.handle());
  std::string in;
  size_t skip = 0;                 // interleaved bytes still to drop
  uint64_t requestSince = 0;       // monotonic: the first byte of an incomplete request
  uint64_t lastRequest = platform::monotonicNs();
  char buf[kReadBytes];
  bool open = true;
  while (open) {
    for (;;) {
      if (skip) {
        const size_t k = skip < in.size() ? skip : in.size();
        in.erase(0, k);
        skip -= k;
        if (skip) break;
      }
      if (in.empty()) break;
      rtsp::Item it = rtsp::parseNext(in.data(), in.size());
      in.erase(0, it.used);
      if (it.kind == rtsp::Item::NeedMore) break;
      if (it.kind == rtsp::Item::Interleaved) {
        skip = it.frameBytes;
        touchInterleaved();  // its RTCP reports keep the session alive
        continue;
      }
      if (it.kind == rtsp::Item::Request) {
        requestSince = 0;
        lastRequest = platform::monotonicNs();
        open = handle(it.request);
        if (!open) break;
        continue;
      }
      if (m_server.mayLogRefusal())
        g_logFile.log(CLogFile::Info, kLogSource, "Refused a request from " + m_peer.to_string() + ": " + it.why,
                      "RtspConnection::run");
      answer(it.request, it.kind == rtsp::Item::TooLarge ? 413 : 400, {}, "", true);
      open = false;
      break;
    }
    if (!open) break;
    forgetEndedSessions();
    const uint64_t now = platform::monotonicNs();
    if (in.empty()) requestSince = 0;
    else if (requestSince == 0) requestSince = now;
    if (requestSince && now - requestSince > kRequestDeadlineNs) break;
    if (m_sessionCount.load() == 0 && now - lastRequest > m_server.config().sessionTimeoutNs) break;
    // While the connection's one session plays over it, whatever ends the session also wakes
    // this thread (a request, the client's close, the feed shutting the socket down), so it
    // looks round seldom: hundreds of viewers then cost no wake-ups a second.
    const bool onlyPlaying = in.empty() && m_sessions.size() == 1 && m_interleaved &&
                             m_interleaved->attached.load() && !m_interleaved->ended.load();
    if (!m_conn.waitReadable(onlyPlaying ? kPlayingWaitMs : kWaitMs)) continue;
    const int n = m_conn.recv(buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    if (n > 0) in.append(buf, static_cast<size_t>(n));
  }
  endSessions();
  m_conn.close();
  return 0;
}

void RtspConnection::touchInterleaved() {
  if (m_interleaved) m_interleaved->touch();
}

void RtspConnection::forgetEndedSessions() {
  const auto ended = [](const std::shared_ptr<RtspSession>& s) { return s->ended.load(); };
  m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(), ended), m_sessions.end());
  if (m_interleaved && m_interleaved->ended.load() && !m_interleaved->attached.load()) m_interleaved.reset();
  m_sessionCount = m_sessions.size();
}

void RtspConnection::endSessions() {
  for (const auto& s : m_sessions) {
    // Sessions over UDP outlive their connection (a client may send its next request on
    // another one); the time-out ends them. The interleaved one dies with it.
    if (!s->transport.tcp) continue;
    if (s->attached.load())
      s->ended = true;  // its feed lets go of it and closes its handle
    else
      m_server.endSession(s);
    if (s->mediaFd >= 0 && !s->attached.load()) platform::closeSocket(s->mediaFd);
  }
  m_sessions.clear();
  m_interleaved.reset();
  m_sessionCount = 0;
}

std::string RtspConnection::answerText(const rtsp::Request& r, int code, const Headers& headers,
                                       const std::string& body) {
  std::string a = "RTSP/1.0 " + std::to_string(code) + " " + reason(code) + "\r\n";
  if (r.cseq >= 0) a += "CSeq: " + std::to_string(r.cseq) + "\r\n";
  a += std::string("Server: TelvGate/") + kTelvGateVersion + "\r\nDate: " + httpDate() + "\r\n";
  for (const auto& h : headers) a += h.first + ": " + h.second + "\r\n";
  if (!body.empty()) a += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return a + "\r\n" + body;
}

bool RtspConnection::answer(const rtsp::Request& r, int code, const Headers& headers, const std::string& body,
                            bool last) {
  return m_out->send(answerText(r, code, headers, body), last);
}

bool RtspConnection::loginAccepted(const rtsp::Request& r, Headers* challenge) {
  if (!m_server.config().auth) return true;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::string* authorization = r.header("Authorization");
  const onvifauth::Check c = m_server.checkLogin(authorization ? *authorization : "", r.method, r.uri, now);
  // A client that logged in on this connection keeps its nonce for the session's life.
  if (c.result == onvifauth::Check::Accepted || (c.stale && m_authenticated)) {
    m_authenticated = true;
    return true;
  }
  challenge->emplace_back("WWW-Authenticate", m_server.challenge(now, c.stale));
  return false;
}

bool RtspConnection::handle(const rtsp::Request& r) {
  if (r.cseq < 0) return answer(r, 400);
  if (r.method == "OPTIONS")
    return answer(r, 200, {{"Public", "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, SET_PARAMETER"}});
  Headers challenge;
  if (!loginAccepted(r, &challenge)) return answer(r, 401, challenge);
  if (r.method == "DESCRIBE") return describe(r);
  if (r.method == "SETUP") return setup(r);
  if (r.method == "PLAY") return play(r);
  if (r.method == "PAUSE") return pause(r);
  if (r.method == "TEARDOWN") return teardown(r);
  if (r.method == "GET_PARAMETER" || r.method == "SET_PARAMETER") return keepAlive(r);
  return answer(r, 501);
}

std::shared_ptr<RtspSession> RtspConnection::sessionOf(const rtsp::Request& r, bool* ok) {
  const std::string* h = r.header("Session");
  std::shared_ptr<RtspSession> s;
  if (h) s = m_server.findSession(h->substr(0, h->find(';')));
  // An interleaved session is controlled only over its own connection.
  if (s && s->transport.tcp && s->connection != this) s.reset();
  if (!s) {
    *ok = answer(r, 454);
    return nullptr;
  }
  s->touch();
  return s;
}

bool RtspConnection::describe(const rtsp::Request& r) {
  rtsp::StreamUrl url;
  RtspChannelInfo info;
  if (!rtsp::parseStreamUrl(r.uri, &url) || !m_server.channels().describe(url.tag, &info)) return answer(r, 404);
  m_describedTag = url.tag;
  m_describedHasFps = url.hasFps;
  m_describedFps = url.fps;
  std::string sdp = "v=0\r\no=- " + std::to_string(randomBits() >> 33) + " 1 IN IP4 " + m_local.ip +
                    "\r\ns=" + sdpText(info.name) + "\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\na=control:*\r\n"
                    "m=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/" + std::to_string(rtpjpeg::kClockRate) + "\r\n";
  if (info.frameRate > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", info.frameRate);
    sdp += std::string("a=framerate:") + rate + "\r\n";
  }
  if (info.width > 0 && info.height > 0)
    sdp += "a=x-dimensions:" + std::to_string(info.width) + "," + std::to_string(info.height) + "\r\n";
  sdp += std::string("a=control:") + kTrack + "\r\n";
  return answer(r, 200, {{"Content-Type", "application/sdp"}, {"Content-Base", origin(r.uri) + "/" + url.tag + "/"}},
                sdp);
}

bool RtspConnection::setup(const rtsp::Request& r) {
  // One stream per session: a second SETUP in the same session would be a second stream.
  if (r.header("Session")) return answer(r, 455);
  rtsp::StreamUrl url;
  RtspChannelInfo info;
  if (!rtsp::parseStreamUrl(r.uri, &url) || (!url.track.empty() && url.track != kTrack) ||
      !m_server.channels().describe(url.tag, &info))
    return answer(r, 404);
  const std::string* transportText = r.header("Transport");
  rtsp::Transport t;
  const rtsp::TransportChoice choice =
      transportText ? rtsp::chooseTransport(*transportText, &t) : rtsp::TransportChoice::Unsupported;
  if (choice == rtsp::TransportChoice::Bad) return answer(r, 400);
  if (choice != rtsp::TransportChoice::Chosen) return answer(r, 461);
  if (m_sessions.size() >= kMaxSessions || (t.tcp && m_interleaved)) return answer(r, 453);

  auto s = std::make_shared<RtspSession>();
  s->id = hex(randomBits(), 16);
  s->tag = url.tag;
  s->url = r.uri;
  s->ssrc = m_server.identity(url.tag).ssrc;
  s->connection = this;
  const bool hasFps = url.hasFps || (m_describedTag == url.tag && m_describedHasFps);
  if (hasFps) {
    const std::string fps = url.hasFps ? url.fps : m_describedFps;
    s->periodNs = uint64_t(CNetVideoClient::periodMsFromFps(&fps)) * 1000000ull;
  }
  std::string transport;
  if (t.tcp) {
    if (t.rtpChannel < 0) t.rtpChannel = 0, t.rtcpChannel = 1;
    s->output = m_out;
    transport = "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(t.rtpChannel) + "-" + std::to_string(t.rtcpChannel);
  } else {
    // Always the address the request came from: a client cannot aim our stream at another host.
    const int err = platform::openUdpPair(m_local.ip, m_peer.ip, static_cast<uint16_t>(t.rtpPort),
                                          static_cast<uint16_t>(t.rtcpPort), &s->udp);
    if (err != 0) {
      g_logFile.log(CLogFile::Warning, kLogSource, std::string("No UDP ports for a session: ") + std::strerror(err),
                    "RtspConnection::setup");
      return answer(r, 503);
    }
    transport = "RTP/AVP;unicast;client_port=" + std::to_string(t.rtpPort) + "-" + std::to_string(t.rtcpPort) +
                ";server_port=" + std::to_string(s->udp.rtpPort) + "-" + std::to_string(s->udp.rtpPort + 1);
  }
  s->transport = t;
  if (!m_server.addSession(s)) return answer(r, 453);
  m_sessions.push_back(s);
  m_sessionCount = m_sessions.size();
  if (t.tcp) m_interleaved = s;
  const uint64_t timeoutSec = m_server.config().sessionTimeoutNs / 1000000000ull;
  return answer(r, 200, {{"Transport", transport + ";ssrc=" + hex(s->ssrc, 8)},
                         {"Session", s->id + ";timeout=" + std::to_string(timeoutSec)}});
}

bool RtspConnection::play(const rtsp::Request& r) {
  bool ok = true;
  const std::shared_ptr<RtspSession> s = sessionOf(r, &ok);
  if (!s) return ok;
  Headers h = {{"Session", s->id}, {"Range", "npt=0.000-"}};
  if (s->attached.load()) {
    // Resumed after PAUSE: the answer is queued before the state changes, so it goes out
    // before the first picture.
    const bool sent = answer(r, 200, h);
    s->state = RtspSession::Playing;
    return sent;
  }
  // No seq: the session joins the channel's packet numbering with the picture it gets first.
  h.emplace_back("RTP-Info", "url=" + s->url);
  const std::string first = answerText(r, 200, h, "");
  s->state = RtspSession::Playing;
  if (s->transport.tcp) {
    s->mediaFd = platform::duplicateHandle(m_conn.handle());
    if (s->mediaFd < 0) return answer(r, 503);
  }
  if (!m_server.play(s, s->transport.tcp ? first : std::string())) {
    s->state = RtspSession::Ready;
    if (s->mediaFd >= 0) platform::closeSocket(s->mediaFd);
    s->mediaFd = -1;
    // An output that was handed over cannot answer any more: the connection ends.
    return !m_out->handedOver() && answer(r, 503);
  }
  g_logFile.log(CLogFile::Info, kLogSource,
                "Session " + s->id + ": " + s->tag + " to " + m_peer.ip + (s->transport.tcp ? " over TCP" : " over UDP"),
                "RtspConnection::play");
  return s->transport.tcp || m_out->send(first);
}

bool RtspConnection::pause(const rtsp::Request& r) {
  bool ok = true;
  const std::shared_ptr<RtspSession> s = sessionOf(r, &ok);
  if (!s) return ok;
  if (s->state.load() == RtspSession::Playing) s->state = RtspSession::Paused;
  return answer(r, 200, {{"Session", s->id}});
}

bool RtspConnection::teardown(const rtsp::Request& r) {
  bool ok = true;
  const std::shared_ptr<RtspSession> s = sessionOf(r, &ok);
  if (!s) return ok;
  if (s->transport.tcp && s->attached.load()) {
    // The feed writes this connection: it sends the answer, lets go, and we close.
    if (answer(r, 200, {{"Session", s->id}}, "", true)) m_out->waitReleased(kTeardownWaitNs);
    return false;
  }
  m_server.endSession(s);
  m_sessions.erase(std::remove(m_sessions.begin(), m_sessions.end(), s), m_sessions.end());
  if (m_interleaved == s) m_interleaved.reset();
  m_sessionCount = m_sessions.size();
  return answer(r, 200);
}

bool RtspConnection::keepAlive(const rtsp::Request& r) {
  if (!r.header("Session")) return answer(r, 200);
  bool ok = true;
  const std::shared_ptr<RtspSession> s = sessionOf(r, &ok);
  if (!s) return ok;
  return answer(r, 200, {{"Session", s->id}});
}

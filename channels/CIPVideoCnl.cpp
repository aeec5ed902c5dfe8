#include "channels/CIPVideoCnl.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/Tables.h"
#include "channels/CnlList.h"
#include "net/TextHelpers.h"
#include "platform/Clock.h"
#include "recording/CRecVideoClient.h"

namespace {

// Shared by every IP channel, so pictures of all cameras are numbered in one sequence.
std::atomic<uint32_t> g_ipFrameSequence{0};

// A part head has a handful of lines; more than this is not a camera talking.
constexpr int kMaxPartHeadLines = 64;
// Lines read while looking for the boundary (the byte limit applies too).
constexpr uint32_t kMaxBoundarySearchLines = 20000;
// Trailing zero bytes some cameras pad their parts with.
constexpr int kMaxTrailingZeros = 3;
constexpr unsigned kPauseSliceMs = 20;

}  // namespace

CIPVideoCnl::CIPVideoCnl(int typeCode, uint32_t index, const IPVendorTraits& traits)
    : CVideoCnl(typeCode, index), m_traits(traits), m_sock() {
  pictureblocks::initHeader(m_header);
  m_camID = traits.camIdDefault;
}

CIPVideoCnl::~CIPVideoCnl() { closeSocket(); }

int CIPVideoCnl::pseudoRandom() {
  // A shared linear congruential generator, seeded from the clock, advanced atomically.
  static std::atomic<uint32_t> state{static_cast<uint32_t>(platform::nowNs() / 1000)};
  uint32_t s = state.load();
  uint32_t next;
  do {
    next = s * 1103515245u + 12345u;
  } while (!state.compare_exchange_weak(s, next));
  return static_cast<int>((next >> 16) & 0x7FFF);
}

uint32_t CIPVideoCnl::lastSequence() { return g_ipFrameSequence.load(); }

std::string CIPVideoCnl::camAddr() const {
  std::lock_guard<std::mutex> g(m_setLock);
  return m_camAddr;
}

std::string CIPVideoCnl::boundary() const {
  std::lock_guard<std::mutex> g(m_setLock);
  return m_boundaryShown;
}

std::string CIPVideoCnl::hostText() const { return camAddr() + ":" + std::to_string(m_camPort.load()); }

std::string CIPVideoCnl::authText() const {
  std::lock_guard<std::mutex> g(m_setLock);
  return base64_encode(m_userName + ":" + m_userPwd);
}

CNetAddr CIPVideoCnl::localAddr() { return CNetAddr(camAddr(), m_camPort.load()); }
CNetAddr CIPVideoCnl::peerAddr() { return CNetAddr(camAddr(), m_camPort.load()); }

std::string CIPVideoCnl::sourceTag() {
  std::string s;
  sourceTag(s);
  return s;
}

void CIPVideoCnl::sourceTag(std::string& out) { out = m_traits.tagPrefix + std::to_string(index()); }

std::string CIPVideoCnl::fn(const char* member) const {
  return std::string(m_traits.className) + "::" + member;
}

void CIPVideoCnl::logWarning(const std::string& message, const char* function) {
  g_logFile.log(CLogFile::Warning, logSource(), message, function);
}

void CIPVideoCnl::stop() {
  CVideoCnl::stop();
  // Wakes the channel thread out of a connect, a line read or a body receive at once.
  std::lock_guard<std::mutex> g(m_sockLock);
  m_sock.shutdown();
}

void CIPVideoCnl::closeSocket() {
  std::lock_guard<std::mutex> g(m_sockLock);
  m_sock.close();
  m_predictedLead = 0;
  m_tookAllWaiting = false;
  // The boundary belongs to the stream of this connection: a connection that answers one
  // picture per request (Sony's encoder mode after its camera mode) has none.
  m_boundaryLine.clear();
}

void CIPVideoCnl::pause(unsigned ms) {
  uint64_t end = platform::monotonicNs() + uint64_t(ms) * 1000000ull;
  while (!stopping()) {
    uint64_t now = platform::monotonicNs();
    if (now >= end) return;
    uint64_t left = end - now;
    platform::sleepNs(left < kPauseSliceMs * 1000000ull ? left : kPauseSliceMs * 1000000ull);
  }
}

// ---------------------------------------------------------------- channel thread

bool CIPVideoCnl::recordingEnabled() const {
  return g_settings.readBool(const_cast<CIPVideoCnl*>(this)->sectionName(), "CnlEventRecActive", false);
}

int64_t CIPVideoCnl::recordingPeriodNs() const {
  int ms = g_settings.readInt(const_cast<CIPVideoCnl*>(this)->sectionName(), "CnlEventFramePeriod", 80);
  return int64_t(ms) * 1000000ll;
}

std::string CIPVideoCnl::connectedStatusText() {
  return "Q=" + std::to_string(m_quality.load()) + " recording:" +
         (recordingEnabled() ? "on" : "off") + " m_Tns[ms]:" + std::to_string(m_Tns.load() / 1000000);
}

FX::FXint CIPVideoCnl::run() {
  registerChannel(this);
  std::string shownName = name().empty() ? sourceTag() : name();
  listEntry().setAll(0, shownName, hostText(), "initializing...");
  if (recorder() && !recorder()->start())
    logWarning("Unable to start the channel recording thread", "CIPVideoCnl::run");

  // True from a successful connect until its first picture: a connection that yields none is a
  // failed attempt, so it waits like one instead of asking the camera again at once.
  bool awaitingFirstPicture = false;
  bool firstConnect = true;
  while (!stopping()) {
    if (m_reconnect.load()) {
      if (!firstConnect) ChannelCounters::add(counters().reconnects);
      firstConnect = false;
      listEntry().setState(2);
      listEntry().setStateText("Connecting...");
      reconf();
      // Cleared before the attempt: a setting changed while connecting raises it again and is
      // applied by the next round instead of being lost.
      m_reconnect = false;
      if (!reconnect(kReconnectTimeoutSec)) {
        m_reconnect = true;
        if (stopping()) break;
        backOff();
        continue;
      }
      listEntry().setState(1);
      listEntry().setStateText(connectedStatusText());
      awaitingFirstPicture = true;
    } else {
      waitForPictureDue();
      if (stopping()) break;
    }
    m_frameError.clear();
    getFrameSrv(backFrame(), kFrameTimeoutSec);
    // A wait a failed fetch did not get to take is not carried over to the next one.
    m_pictureDueNs = 0;
    const bool gotPicture = backFrame().length > 0;
    publishBackFrame();
    if (gotPicture) {
      awaitingFirstPicture = false;
    } else if (awaitingFirstPicture && !stopping()) {
      awaitingFirstPicture = false;
      logNoPicture();
      closeSocket();
      backOff();
    }
  }

  closeSocket();
  if (recorder()) {
    recorder()->stop();
    recorder()->join();
  }
  listEntry().remove();
  return 0;
}

void CIPVideoCnl::waitForPictureDue() {
  // A consumer asking for a picture wakes us; otherwise one fetch per frame period.
  if (frameWanted()) return;
  const uint64_t period = static_cast<uint64_t>(m_Tns.load());
  if (m_boundaryLine.empty()) {
    waitFrameWanted(period);
    return;
  }
  // A streaming camera sends on its own. The fetch receives its next part first and waits for
  // the rest of the period behind it (waitRestOfPeriod), then takes the newest part waiting.
  // Receiving first needs no separate wait for the socket to become readable, and a consumer
  // that asks while the part is on its way costs no wake-up of this thread: it finds the
  // request already made when the part arrives.
  m_pictureDueNs = platform::monotonicNs() + period;
}

void CIPVideoCnl::waitRestOfPeriod() {
  const uint64_t due = m_pictureDueNs;
  m_pictureDueNs = 0;
  if (due == 0) return;
  const uint64_t now = platform::monotonicNs();
  if (now >= due || frameWanted()) return;
  waitFrameWanted(due - now);
  // Parts may have come in meanwhile: the look behind the part in hand is needed again.
  m_tookAllWaiting = false;
}

void CIPVideoCnl::backOff() {
  listEntry().setState(2);
  listEntry().setStateText("Connecting... failed!");
  pause(m_retryPauseMs);
  listEntry().setStateText("waiting...");
  for (unsigned i = 0; i < kRetryWaits && !stopping(); ++i) pause(m_retryPauseMs);
}

void CIPVideoCnl::logNoPicture() {
  const uint64_t now = platform::monotonicNs();
  if (m_lastNoPictureLogNs != 0 && now - m_lastNoPictureLogNs < kNoPictureLogIntervalNs) {
    ++m_noPictureSuppressed;
    return;
  }
  std::string msg = "The camera stream yielded no picture: " +
                    (m_frameError.empty() ? std::string("no reason known") : m_frameError);
  if (m_noPictureSuppressed > 0)
    msg += " (" + std::to_string(m_noPictureSuppressed) + " more since the last report)";
  logWarning(msg, "CIPVideoCnl::run");
  m_lastNoPictureLogNs = now;
  m_noPictureSuppressed = 0;
}

// ---------------------------------------------------------------- connection helpers

bool CIPVideoCnl::resolveCamera(sockaddr_in* addr) {
  std::string host = camAddr();
  // A stored address with blanks or line breaks would end up inside the request's Host line.
  if (!isValidCameraHost(host)) {
    logWarning("Invalid camera address '" + http::printable(host) + "': a host name or IPv4 address is needed",
               fn("reconnect").c_str());
    return false;
  }
  int rc = resolve(host, std::to_string(m_camPort.load()), addr);
  if (rc != 0) {
    logWarning("Host name resolution failed. addr='" + hostText() + "', errcode=" + std::to_string(rc) +
                   " (" + gai_strerror(rc) + ")",
               fn("reconnect").c_str());
    return false;
  }
  listEntry().setAddress(toNetAddr(*addr).to_string());
  ImageDims d = imageSizeDims(m_imageSize.load());
  m_formatWord = pictureblocks::imageFormatWord(m_formatWord.load(), d.width, d.height);
  return true;
}

bool CIPVideoCnl::openConnection(const sockaddr_in& addr, int timeoutSec, const char* function) {
  closeSocket();
  pause(m_requestPauseMs);
  {
    std::lock_guard<std::mutex> g(m_sockLock);
    // Checked under the lock: a stop() from now on shuts this very socket down.
    if (stopping()) return false;
    int rc = m_sock.create();
    if (rc != 0) {
      logWarning(std::string("::socket() failed: ") + std::strerror(rc), function);
      return false;
    }
  }
  int rc = m_sock.connect(addr, timeoutSec * 1000);
  if (rc != 0) {
    if (!stopping())
      logWarning("::connect() failed: return value=" + std::to_string(rc) + " (" + std::strerror(rc) +
                     ", " + toNetAddr(addr).to_string() + ")",
                 function);
    return false;
  }
  return true;
}

bool CIPVideoCnl::sendRequest(const std::string& request, const char* function) {
  int n = m_sock.send(request.data(), request.size());
  if (n < 0 || static_cast<size_t>(n) != request.size()) {
    logWarning("::send failed. str=\"" + hide_basic_credentials(request) + "\"", function);
    return false;
  }
  return true;
}

bool CIPVideoCnl::request_helper(const sockaddr_in& addr, const std::string& request, int timeoutSec,
                                 int requireStatus, const char* function) {
  std::string f = function ? std::string(function) : fn("request_helper");
  if (!openConnection(addr, timeoutSec, f.c_str())) return false;
  if (!sendRequest(request, f.c_str())) return false;
  bool ok = m_sock.read_response(timeoutSec);
  if (ok && (requireStatus == 0 || m_sock.status == requireStatus)) return true;
  if (stopping()) return false;
  // A status held from an earlier answer says nothing about an answer that could not be read.
  if (!ok) {
    m_frameError = "no valid answer from the camera: " + m_sock.error;
    logWarning("1) " + m_frameError, f.c_str());
  } else {
    logWarning("1) received the following error code from the camera: " + std::to_string(m_sock.status),
               f.c_str());
  }
  return false;
}

std::string CIPVideoCnl::boundaryLineOf(const std::string& contentType) {
  // The parameter name is case-insensitive; it must start the value or follow a ";" or blank.
  size_t b = std::string::npos;
  for (size_t at = 0; at + 9 <= contentType.size(); ++at) {
    if (strncasecmp(contentType.c_str() + at, "boundary=", 9) != 0) continue;
    if (at == 0 || contentType[at - 1] == ';' || contentType[at - 1] == ' ' || contentType[at - 1] == '\t') {
      b = at + 9;
      break;
    }
  }
  if (b == std::string::npos) return "";
  std::string value;
  if (b < contentType.size() && contentType[b] == '"') {
    size_t end = contentType.find('"', b + 1);
    if (end == std::string::npos) return "";
    value = contentType.substr(b + 1, end - b - 1);
  } else {
    size_t end = contentType.find(';', b);
    value = contentType.substr(b, end == std::string::npos ? std::string::npos : end - b);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  }
  if (value.empty()) return "";
  return value.compare(0, 2, "--") == 0 ? value : "--" + value;
}

bool CIPVideoCnl::isValidCameraHost(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  if (host.find_first_not_of("0123456789.") == std::string::npos) return is_valid_ip(host);
  // Dot-separated labels of letters, digits, "-" and "_", none empty or longer than 63 bytes,
  // none starting or ending with "-".
  size_t start = 0;
  for (;;) {
    size_t dot = host.find('.', start);
    size_t end = dot == std::string::npos ? host.size() : dot;
    if (end == start || end - start > 63 || host[start] == '-' || host[end - 1] == '-') return false;
    for (size_t i = start; i < end; ++i) {
      char c = host[i];
      if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    }
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

bool CIPVideoCnl::takeBoundary(const char* headerName, const char* family) {
  std::string type = m_sock.response_header(headerName);
  if (type.empty()) {
    logWarning(std::string(family) + ": HTTP '" + headerName + "' header not found", fn("reconnect").c_str());
    return false;
  }
  std::string line = boundaryLineOf(type);
  if (line.empty()) {
    logWarning(std::string(family) + ": HTTP boundary header not found", fn("reconnect").c_str());
    return false;
  }
  m_boundaryLine = line;
  std::lock_guard<std::mutex> g(m_setLock);
  m_boundaryShown = m_boundaryLine;
  return true;
}

// ---------------------------------------------------------------- frame reading

void CIPVideoCnl::getFrameSrv(FrameRec& rec, int timeoutSec) {
  rec.length = 0;
  if (rec.capacity == 0 || !rec.data) return;
  // Taken again only when the settings changed it since the last fetch.
  if (m_commentVersion.load(std::memory_order_acquire) != m_commentSnapVersion) {
    std::lock_guard<std::mutex> g(m_setLock);
    m_commentSnap.assign(m_comment.begin(), m_comment.end());
    m_commentSnapVersion = m_commentVersion.load(std::memory_order_relaxed);
  }
  // The camera's JPEG is received straight into its place in the record, behind the room for
  // the header and the comment segment (less the 2 bytes of its own start marker, which the
  // header replaces), so a picture is never copied after it arrived.
  const uint32_t off = uint32_t(pictureblocks::kHeaderSize + m_commentSnap.size() - 2);
  if (off >= rec.capacity) return;
  uint8_t* body = rec.data + off;
  const uint32_t room = rec.capacity - off;
  uint32_t len = 0;
  if (!readPart(body, room, off, timeoutSec, &len)) return;
  ChannelCounters::add(counters().received);
  waitRestOfPeriod();
  if (!drainBacklog(body, room, off, timeoutSec, &len)) return;
  // The start marker was checked when the body arrived; the header now takes its place.
  const uint32_t seq = g_ipFrameSequence.fetch_add(1) + 1;
  const uint64_t now = platform::nowNs();
  std::memcpy(rec.data, m_header, pictureblocks::kHeaderSize);
  pictureblocks::setFrameFields(rec.data, now, seq, m_formatWord.load());
  if (!m_commentSnap.empty()) std::memcpy(rec.data + pictureblocks::kHeaderSize, m_commentSnap.data(), m_commentSnap.size());
  rec.timestamp = now;
  rec.sequence = seq;
  rec.length = off + len;
}

// A newer part arrived behind the one in hand, which is thrown away unpublished.
void CIPVideoCnl::countReplacedPart() {
  ChannelCounters& n = counters();
  ChannelCounters::add(n.received);
  ChannelCounters::add(n.dropped);
}

bool CIPVideoCnl::drainBacklog(uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutSec, uint32_t* len) {
  // A reply without a boundary is one picture: nothing can be waiting behind it.
  if (m_boundaryLine.empty()) return true;
  uint64_t start = platform::monotonicNs();
  // Bytes of all parts read in this fetch, once a part beyond the first one was read: only a
  // backlog can have held the camera up.
  uint64_t drainedBytes = 0;
  const uint64_t firstBytes = *len;
  bool settled = false;
  std::string line;
  for (;;) {
    if (stopping()) return true;
    if (platform::monotonicNs() - start > kMaxDrainNs) {
      m_frameError = "stream backlog not drained within " + std::to_string(kMaxDrainNs / 1000000) + " ms";
      return false;
    }
    // What is waiting may be only the line end behind the last body; blank lines and padding
    // between parts are stepped over, a boundary line starts the next part. Looked at without
    // waiting, which also tells whether anything is waiting at all.
    uint32_t direct = 0;
    Direct d = readPartDirect(buf, capacity, headroom, 0, timeoutSec, &direct);
    if (d == Direct::Failed) return false;
    if (d == Direct::Blank) continue;
    if (d == Direct::Got) {
      countReplacedPart();
      *len = direct;
      drainedBytes += (drainedBytes == 0 ? firstBytes : 0) + direct;
      continue;
    }
    const bool waiting = d == Direct::FallBack && m_sock.waitReadable(0);
    if (!waiting) {
      if (drainedBytes < kBlockedSenderBytes || settled) return true;
      // A backlog this deep may have filled the connection's buffers, and a camera held up by
      // it was blocked sending a part it captured long ago: that part was the last one drained.
      // Its next part is fresh and follows at once (or within one of its frame intervals), so
      // it is worth a short wait.
      settled = true;
      int64_t settleMs = std::min<int64_t>(kSettleMaxMs, m_Tns.load() / 1000000);
      if (!m_sock.waitReadable(static_cast<int>(settleMs))) return true;
      start = platform::monotonicNs();
      continue;
    }
    if (!m_sock.read_camera_line(line, capacity, timeoutSec)) {
      m_frameError = "between parts: " + m_sock.error;
      return false;
    }
    if (line.compare(0, m_boundaryLine.size(), m_boundaryLine) != 0) continue;
    // The newer part overwrites the older one: should it fail, the connection is broken and the
    // older one would be stale by the time a new connection delivers anyway.
    uint32_t next = 0;
    if (!readPartAfterBoundary(buf, capacity, timeoutSec, &next)) return false;
    countReplacedPart();
    *len = next;
    drainedBytes += (drainedBytes == 0 ? firstBytes : 0) + next;
  }
}

bool CIPVideoCnl::skipToBoundary(uint32_t capacity, int timeoutSec) {
  // A camera that never sends the boundary is given up on after a bounded amount of data, so
  // the channel reconnects instead of reading forever.
  std::string line;
  const uint64_t byteLimit = uint64_t(kBoundarySearchFactor) * capacity;
  uint64_t searched = 0;
  for (uint32_t lines = 0;; ++lines) {
    if (!m_sock.read_camera_line(line, capacity, timeoutSec)) {
      m_frameError = "boundary line: " + m_sock.error;
      return false;
    }
    if (line.compare(0, m_boundaryLine.size(), m_boundaryLine) == 0) return true;
    searched += line.size() + 1;
    if (searched > byteLimit || lines >= kMaxBoundarySearchLines) {
      m_frameError = "no boundary line '" + http::printable(m_boundaryLine) + "' within " +
                     std::to_string(searched) + " bytes";
      return false;
    }
  }
}

bool CIPVideoCnl::readPart(uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutSec, uint32_t* len) {
  // Only the receive of this fetch may spare the look behind its part.
  m_tookAllWaiting = false;
  if (m_predictedLead > 0) {
    Direct d = readPartPredicted(buf, capacity, headroom, timeoutSec, len);
    if (d == Direct::Got) return true;
    if (d == Direct::Failed) return false;
  }
  for (int i = 0; i < kMaxBlankRounds; ++i) {
    Direct d = readPartDirect(buf, capacity, headroom, timeoutSec, timeoutSec, len);
    if (d == Direct::Got) return true;
    if (d == Direct::Failed) return false;
    if (d == Direct::FallBack) break;
  }
  return skipToBoundary(capacity, timeoutSec) && readPartAfterBoundary(buf, capacity, timeoutSec, len);
}

namespace {

enum class Scan { Head, Blank, Unsure };

// Looks at a window of stream bytes for blank lines, a boundary line and a part head with a
// usable length, ended by its empty line. Head: *used is the length of all that; Blank: the
// window starts with complete blank lines only (*used bytes of them); Unsure: anything else,
// which the line reader then handles with all its checks.
Scan scanPartHead(const char* w, size_t n, const std::string& boundary, uint32_t capacity, size_t* used,
                  uint32_t* partLen) {
  size_t pos = 0;
  size_t start = 0, end = 0;
  auto nextLine = [&]() {
    const void* nl = std::memchr(w + pos, '\n', n - pos);
    if (!nl) return false;
    start = pos;
    end = size_t(static_cast<const char*>(nl) - w);
    pos = end + 1;
    if (end > start && w[end - 1] == '\r') --end;
    return true;
  };
  for (;;) {
    const size_t before = pos;
    if (!nextLine()) {
      *used = before;
      return before > 0 ? Scan::Blank : Scan::Unsure;
    }
    if (end > start) break;
  }
  if (end - start < boundary.size() || std::memcmp(w + start, boundary.data(), boundary.size()) != 0)
    return Scan::Unsure;
  uint64_t length = 0;
  for (int lines = 0;; ++lines) {
    if (lines >= kMaxPartHeadLines || !nextLine()) return Scan::Unsure;
    if (end == start) break;
    if (end - start >= 16 && strncasecmp(w + start, "Content-Length:", 15) == 0) {
      size_t p = start + 15;
      while (p < end && (w[p] == ' ' || w[p] == '\t')) ++p;
      if (p == end) continue;
      length = 0;
      if (!isdigit(static_cast<unsigned char>(w[p]))) return Scan::Unsure;
      for (; p < end && isdigit(static_cast<unsigned char>(w[p])); ++p) {
        length = length * 10 + uint64_t(w[p] - '0');
        if (length > capacity) return Scan::Unsure;
      }
    }
  }
  if (length == 0) return Scan::Unsure;
  *used = pos;
  *partLen = static_cast<uint32_t>(length);
  return Scan::Head;
}

}  // namespace

CIPVideoCnl::Direct CIPVideoCnl::readPartDirect(uint8_t* buf, uint32_t capacity, uint32_t headroom,
                                                int peekTimeoutSec, int timeoutSec, uint32_t* len) {
  if (!m_directParts || m_boundaryLine.empty()) return Direct::FallBack;
  if (peekTimeoutSec == 0) return readPartWaiting(buf, capacity, timeoutSec, len);
  char window[kPeekBytes];
  int n = m_sock.peek_waiting(window, sizeof window, peekTimeoutSec);
  if (n < 0) return Direct::FallBack;
  if (n == 0) {
    m_frameError = "boundary line: " + m_sock.error;
    return Direct::Failed;
  }
  size_t used = 0;
  uint32_t partLen = 0;
  Scan scan = scanPartHead(window, size_t(n), m_boundaryLine, capacity, &used, &partLen);
  if (scan == Scan::Unsure) return Direct::FallBack;
  // Exactly the bytes looked at are taken, so the body that follows is received straight into
  // the caller's buffer instead of through the socket's read-ahead buffer.
  m_sock.setReadAhead(false);
  bool ok;
  if (scan == Scan::Head) m_predictedLead = used <= headroom ? static_cast<uint32_t>(used) : 0;
  if (scan == Scan::Head && used <= headroom) {
    // The head lands in the room in front of the body (the header and comment overwrite it
    // later), so head and body come with one receive.
    ok = receiveBody(buf, capacity, partLen, timeoutSec, len, static_cast<uint32_t>(used));
  } else {
    errno = 0;
    ok = m_sock.recv_all(window, used, timeoutSec, 0) == static_cast<int>(used);
    if (!ok) {
      m_frameError = "part head: " + m_sock.describeReadFailure(errno, "line");
    } else if (scan == Scan::Head) {
      ok = receiveBody(buf, capacity, partLen, timeoutSec, len);
    }
  }
  m_sock.setReadAhead(true);
  if (!ok) return Direct::Failed;
  if (scan == Scan::Head) return Direct::Got;
  // Nothing but the blank lines was waiting when looked at (the line end behind a body).
  return used == size_t(n) ? Direct::BlankOnly : Direct::Blank;
}

CIPVideoCnl::Direct CIPVideoCnl::readPartWaiting(uint8_t* buf, uint32_t capacity, int timeoutSec, uint32_t* len) {
  const bool tookAll = m_tookAllWaiting;
  m_tookAllWaiting = false;
  m_sock.dropBufferedBlankLines();
  if (m_sock.buffered() == 0) {
    // The receive that brought the body took everything that was waiting: nothing to look at.
    if (tookAll) return Direct::Nothing;
    // Behind a body there is usually nothing but its line end. Taking what is waiting with one
    // receive, instead of a look and then a take, answers whether more is waiting and steps
    // over the line end at once.
    errno = 0;
    const int n = m_sock.bufferWaiting(kPeekBytes);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Direct::Nothing;
    if (n <= 0) {
      m_frameError = "boundary line: " + m_sock.describeReadFailure(n < 0 ? errno : 0, "line");
      return Direct::Failed;
    }
    m_sock.dropBufferedBlankLines();
    if (m_sock.buffered() == 0) return Direct::BlankOnly;
  }
  // A part of a backlog: with its whole head among the bytes taken, the rest of its body still
  // goes from the kernel straight into buf.
  size_t used = 0;
  uint32_t partLen = 0;
  if (scanPartHead(m_sock.bufferedData(), m_sock.buffered(), m_boundaryLine, capacity, &used, &partLen) !=
      Scan::Head)
    return Direct::FallBack;
  m_sock.skipBuffered(used);
  m_sock.setReadAhead(false);
  const bool ok = receiveBody(buf, capacity, partLen, timeoutSec, len);
  m_sock.setReadAhead(true);
  return ok ? Direct::Got : Direct::Failed;
}

CIPVideoCnl::Direct CIPVideoCnl::readPartPredicted(uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutSec,
                                                   uint32_t* len) {
  const uint32_t lead = m_predictedLead;
  m_predictedLead = 0;  // known again once this part's head is
  if (!m_directParts || m_boundaryLine.empty() || lead > headroom || m_sock.buffered() > 0) return Direct::FallBack;
  // One receive of what is waiting, placed so that the body lands where the record wants it if
  // the head is as long as the last one was; nothing is looked at first.
  uint8_t* at = buf - lead;
  const size_t want = std::min<size_t>(size_t(lead) + capacity, CSocket::readAheadCapacity());
  errno = 0;
  const int n = m_sock.receiveOnce(at, want, timeoutSec);
  if (n <= 0) {
    m_frameError = "boundary line: " + m_sock.describeReadFailure(n < 0 || errno == EAGAIN ? errno : 0, "line");
    return Direct::Failed;
  }
  size_t used = 0;
  uint32_t partLen = 0;
  if (scanPartHead(reinterpret_cast<const char*>(at), size_t(n), m_boundaryLine, capacity, &used, &partLen) !=
      Scan::Head) {
    // Not a plain part head in view after all: the line reader takes it all from the start.
    if (!m_sock.unread(at, size_t(n))) {
      m_frameError = "stream bytes could not be kept for the line reader";
      return Direct::Failed;
    }
    return Direct::FallBack;
  }
  const size_t got = size_t(n) - used;
  const size_t inPart = std::min<size_t>(got, partLen);
  // Bytes of what follows the part (the next part) are kept before the body may be moved over
  // them; the line end behind the body, usually all there is, would only be dropped again.
  const char* after = reinterpret_cast<const char*>(at + used + inPart);
  const size_t rest = got - inPart;
  if (rest > 0 && blankLinesAt(after, rest) != rest && !m_sock.unread(after, rest)) {
    m_frameError = "stream bytes could not be kept for the line reader";
    return Direct::Failed;
  }
  if (used != lead) std::memmove(buf, at + used, inPart);
  m_predictedLead = used <= headroom ? static_cast<uint32_t>(used) : 0;
  m_tookAllWaiting = size_t(n) < want;
  if (inPart < partLen) {
    m_tookAllWaiting = false;
    m_sock.setReadAhead(false);
    errno = 0;
    const int r = m_sock.recv_all(buf + inPart, partLen - inPart, timeoutSec, 0);
    m_sock.setReadAhead(true);
    if (r < 0 || size_t(r) != partLen - inPart) {
      m_frameError = "picture of " + std::to_string(partLen) + " bytes: " + m_sock.describeReadFailure(errno, "picture");
      return Direct::Failed;
    }
  }
  return finishBody(buf, partLen, len) ? Direct::Got : Direct::Failed;
}

bool CIPVideoCnl::readPartAfterBoundary(uint8_t* buf, uint32_t capacity, int timeoutSec,
                                        uint32_t* len) {
  uint32_t announced = 0;
  if (!readPartLength(capacity, timeoutSec, &announced)) return false;
  return receiveBody(buf, capacity, announced, timeoutSec, len);
}

bool CIPVideoCnl::readPartLength(uint32_t capacity, int timeoutSec, uint32_t* len) {
  *len = 0;
  std::string line;
  for (int i = 0; i < kMaxPartHeadLines; ++i) {
    if (!m_sock.read_camera_line(line, capacity, timeoutSec)) {
      m_frameError = "part head: " + m_sock.error;
      return false;
    }
    if (line.empty()) return true;
    // Cameras spell the name in any case.
    if (line.size() >= 16 && strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
      size_t p = 15;
      while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
      if (p >= line.size()) continue;  // an empty value is no length
      if (!isdigit(static_cast<unsigned char>(line[p]))) {
        m_frameError = "part length not a number: '" + http::printable(line) + "'";
        return false;
      }
      uint64_t v = 0;
      while (p < line.size() && isdigit(static_cast<unsigned char>(line[p]))) {
        v = v * 10 + uint64_t(line[p] - '0');
        if (v > capacity) {
          m_frameError = "part of more than " + std::to_string(capacity) + " bytes announced";
          return false;
        }
        ++p;
      }
      *len = static_cast<uint32_t>(v);
    }
  }
  m_frameError = "part head of more than " + std::to_string(kMaxPartHeadLines) + " lines";
  return false;
}

bool CIPVideoCnl::receiveBody(uint8_t* buf, uint32_t capacity, uint32_t len, int timeoutSec, uint32_t* kept,
                              uint32_t lead) {
  if (len > capacity) {
    m_frameError = "part of " + std::to_string(len) + " bytes larger than the frame buffer";
    return false;
  }
  if (len > 0) {
    errno = 0;
    int n = m_sock.recv_all(buf - lead, lead + len, timeoutSec, 0) - int(lead);
    if (n < 0 || static_cast<uint32_t>(n) != len) {
      m_frameError = "picture of " + std::to_string(len) + " bytes: " +
                     m_sock.describeReadFailure(errno, "picture");
      return false;
    }
  } else if (!readJpegByMarkers(buf, capacity, timeoutSec, &len)) {
    if (m_frameError.empty()) m_frameError = "picture without a length not read to its end marker";
    return false;
  }
  return finishBody(buf, len, kept);
}

bool CIPVideoCnl::finishBody(uint8_t* buf, uint32_t len, uint32_t* kept) {
  for (int i = 0; i < kMaxTrailingZeros && len > 0 && buf[len - 1] == 0; ++i) --len;
  if (len < 2 || buf[0] != 0xFF || buf[1] != 0xD8) {
    m_frameError = "part is not a JPEG picture (it does not start with FF D8)";
    return false;
  }
  *kept = len;
  return true;
}

void CIPVideoCnl::receiveAndWrap(FrameRec& rec, uint32_t len, int timeoutSec) {
  rec.length = 0;
  uint32_t kept = 0;
  if (m_rxBuf.size() != rec.capacity) m_rxBuf.resize(rec.capacity);
  if (!receiveBody(m_rxBuf.data(), rec.capacity, len, timeoutSec, &kept)) return;
  wrapReceived(rec, kept);
}

bool CIPVideoCnl::readJpegByMarkers(uint8_t* buf, uint32_t capacity, int timeoutSec, uint32_t* len) {
  auto take = [&](uint32_t at, uint32_t n) {
    if (uint64_t(at) + n > capacity) return false;
    return n == 0 || m_sock.recv_all(buf + at, n, timeoutSec, 0) == static_cast<int>(n);
  };
  uint32_t pos = 0;
  if (!take(0, 2) || buf[0] != 0xFF || buf[1] != 0xD8) return false;
  pos = 2;
  for (;;) {
    if (!take(pos, 2) || buf[pos] != 0xFF) return false;
    uint8_t marker = buf[pos + 1];
    pos += 2;
    if (marker == 0xDA) {
      // Entropy-coded data up to the end-of-image marker.
      for (;;) {
        if (!take(pos, 1)) return false;
        ++pos;
        if (pos >= 2 && buf[pos - 2] == 0xFF && buf[pos - 1] == 0xD9) {
          *len = pos;
          return true;
        }
      }
    }
    if (!take(pos, 2)) return false;
    uint32_t n = (uint32_t(buf[pos]) << 8) | buf[pos + 1];
    if (n < 2) return false;
    pos += 2;
    if (!take(pos, n - 2)) return false;
    pos += n - 2;
  }
}

bool CIPVideoCnl::wrapFrame(const uint8_t header[pictureblocks::kHeaderSize],
                            const std::vector<uint8_t>& comment, const uint8_t* jpeg, uint32_t len,
                            uint64_t timeNs, uint32_t sequence, uint32_t formatWord, FrameRec& rec) {
  rec.length = 0;
  if (len < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
  // The camera's JPEG loses its SOI and gains the 70-byte header and the comment segment.
  uint64_t total = uint64_t(pictureblocks::kHeaderSize) + comment.size() + (len - 2);
  if (total > rec.capacity) return false;
  uint8_t* out = rec.data;
  std::memcpy(out, header, pictureblocks::kHeaderSize);
  pictureblocks::setFrameFields(out, timeNs, sequence, formatWord);
  out += pictureblocks::kHeaderSize;
  if (!comment.empty()) std::memcpy(out, comment.data(), comment.size());
  out += comment.size();
  std::memcpy(out, jpeg + 2, len - 2);
  rec.timestamp = timeNs;
  rec.sequence = sequence;
  rec.length = static_cast<uint32_t>(total);
  return true;
}

void CIPVideoCnl::wrapReceived(FrameRec& rec, uint32_t len) {
  rec.length = 0;
  ChannelCounters& n = counters();
  ChannelCounters::add(n.received);
  if (len < 2 || m_rxBuf[0] != 0xFF || m_rxBuf[1] != 0xD8) {
    ChannelCounters::add(n.dropped);
    m_frameError = "part is not a JPEG picture (it does not start with FF D8)";
    return;
  }
  std::lock_guard<std::mutex> g(m_setLock);
  // Checked before a sequence number is taken, so dropped frames leave no gaps.
  if (uint64_t(pictureblocks::kHeaderSize) + m_comment.size() + (len - 2) > rec.capacity) {
    m_frameError = "picture too large for the frame buffer once wrapped";
    ChannelCounters::add(n.dropped);
    return;
  }
  uint32_t seq = g_ipFrameSequence.fetch_add(1) + 1;
  wrapFrame(m_header, m_comment, m_rxBuf.data(), len, platform::nowNs(), seq, m_formatWord.load(), rec);
}

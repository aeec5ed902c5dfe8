#include "endpoint/CIPVideoCnl.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/CnlList.h"
#include "endpoint/CLstSockThread.h"
#include "platform/Clock.h"

namespace {

// Shared by every IP channel, so pictures of all cameras are numbered in one sequence.
std::atomic<uint32_t> g_ipFrameSequence{0};

constexpr unsigned kPauseSliceMs = 20;

}  // namespace

CIPVideoCnl::CIPVideoCnl(int typeCode, uint32_t index, const IPVendorTraits& traits)
    : CNetVideoCnl(typeCode, index), m_traits(traits), m_sock() {
  pictureblocks::initHeader(m_header);
  auto initial = std::make_shared<IPConfig>();
  initial->camID = traits.camIdDefault;
  m_config = std::move(initial);
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

std::string CIPVideoCnl::boundary() const {
  std::lock_guard<std::mutex> g(m_setLock);
  return m_boundaryShown;
}


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
  {
    std::lock_guard<std::mutex> guard(configLock());
    listener().requestStop();
  }
  // Wakes the channel thread out of a connect, a line read or a body receive at once.
  m_sock.shutdown();
}

void CIPVideoCnl::closeSocket() {
  m_sock.close();
  m_stream.reset();
  m_readerReady = false;
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
  const auto c = settings();
  return "Q=" + std::to_string(c->quality) + " recording:" + (recordingEnabled() ? "on" : "off") +
         " m_Tns[ms]:" + std::to_string(c->periodNs / 1000000);
}

int CIPVideoCnl::run() {
  registerChannel(this);
  std::string shownName = name().empty() ? sourceTag() : name();
  listEntry().setAll(0, shownName, hostText(), "initializing...");
  if (recorder() && !recorder()->start())
    logWarning("Unable to start the channel recording thread", "CIPVideoCnl::run");
  serveStep();

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
      m_streamDone = false;
      m_patienceMs = 0;
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
      waitForPeriod();
      if (stopping()) break;
      if (m_streamDone) {
        // The camera ended its stream behind the last picture (one picture per connection), or
        // the stream turned bad there: a new connection now that the period is over.
        m_reconnect = true;
        continue;
      }
    }
    m_frameError.clear();
    getFrameSrv(backFrame(), kFrameTimeoutSec);
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

  stopListener();
  closeSocket();
  if (recorder()) {
    recorder()->stop();
    recorder()->join();
  }
  listEntry().remove();
  return 0;
}

void CIPVideoCnl::waitForPeriod() {
  // A consumer asking for a picture wakes us; otherwise one fetch per frame period.
  const uint64_t period = static_cast<uint64_t>(settings()->periodNs);
  uint64_t waited = 0;
  if (!frameWanted()) {
    // In slices, so that serving is started or stopped soon after a change.
    const uint64_t start = platform::monotonicNs();
    while (waited < period && !frameWanted() && !stopping()) {
      waitFrameWanted(std::min(period - waited, kServeLookNs));
      serveStep();
      waited = platform::monotonicNs() - start;
    }
  }
  m_patienceMs = waited < period ? int((period - waited) / 1000000) : 0;
}

void CIPVideoCnl::backOff() {
  listEntry().setState(2);
  listEntry().setStateText("Connecting... failed!");
  pause(m_retryPauseMs);
  listEntry().setStateText("waiting...");
  for (unsigned i = 0; i < kRetryWaits && !stopping(); ++i) {
    serveStep();
    pause(m_retryPauseMs);
  }
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
  const auto c = settings();
  std::string host = c->camAddr;
  // A stored address with blanks or line breaks would end up inside the request's Host line.
  if (!isValidCameraHost(host)) {
    logWarning("Invalid camera address '" + http::printable(host) + "': a host name or IPv4 address is needed",
               fn("reconnect").c_str());
    return false;
  }
  int rc = resolve(host, std::to_string(c->camPort), addr);
  if (rc != 0) {
    logWarning("Host name resolution failed. addr='" + hostText() + "', errcode=" + std::to_string(rc) +
                   " (" + gai_strerror(rc) + ")",
               fn("reconnect").c_str());
    return false;
  }
  // A served channel's list entry shows its endpoint, as an analog channel's does.
  if (!m_serving) listEntry().setAddress(toNetAddr(*addr).to_string());
  ImageDims d = imageSizeDims(c->imageSize);
  m_formatWord = pictureblocks::imageFormatWord(m_formatWord.load(), d.width, d.height);
  return true;
}

bool CIPVideoCnl::openConnection(const sockaddr_in& addr, int timeoutSec, const char* function) {
  closeSocket();
  pause(m_requestPauseMs);
  int rc = m_sock.create();
  if (rc != 0) {
    logWarning(std::string("::socket() failed: ") + std::strerror(rc), function);
    return false;
  }
  // Looked at once the socket exists: stop() sets the flag before it shuts m_sock down, so
  // either the flag is seen here or that shutdown reaches this very socket.
  if (stopping()) return false;
  rc = m_sock.connect(addr, timeoutSec * 1000);
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

std::string CIPVideoCnl::boundaryLineOf(const std::string& contentType, bool spacedEquals) {
  // The parameter name is case-insensitive; it must start the value or follow a ";" or blank.
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  size_t b = std::string::npos;
  for (size_t at = 0; at + 8 < contentType.size(); ++at) {
    if (strncasecmp(contentType.c_str() + at, "boundary", 8) != 0) continue;
    if (at > 0 && contentType[at - 1] != ';' && !isBlank(contentType[at - 1])) continue;
    size_t p = at + 8;
    while (spacedEquals && p < contentType.size() && isBlank(contentType[p])) ++p;
    if (p >= contentType.size() || contentType[p] != '=') continue;
    ++p;
    while (spacedEquals && p < contentType.size() && isBlank(contentType[p])) ++p;
    b = p;
    break;
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
    while (!value.empty() && isBlank(value.back())) value.pop_back();
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

bool CIPVideoCnl::takeBoundary(const char* headerName, const char* family, const char* function,
                               bool spacedEquals) {
  const std::string f = function ? std::string(function) : fn("reconnect");
  std::string type = m_sock.response_header(headerName);
  if (type.empty()) {
    logWarning(std::string(family) + ": HTTP '" + headerName + "' header not found", f.c_str());
    return false;
  }
  std::string line = boundaryLineOf(type, spacedEquals);
  if (line.empty()) {
    logWarning(std::string(family) + ": HTTP boundary header not found", f.c_str());
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
  // One value of the settings for the whole fetch.
  m_fetchConfig = settings();
  const std::vector<uint8_t>& comment = m_fetchConfig->comment;
  if (!m_readerReady) {
    m_reader.reset({m_boundaryLine, m_partLengthName, m_partLengthRequired});
    m_readerReady = true;
  }
  // The camera's JPEG is received straight into its place in the record, behind the room for
  // the header and the comment segment (less the 2 bytes of its own start marker, which the
  // header replaces), so a picture is never copied after it arrived.
  const uint32_t off = uint32_t(pictureblocks::kHeaderSize + comment.size() - 2);
  if (off >= rec.capacity) return;
  uint8_t* body = rec.data + off;
  const uint32_t room = rec.capacity - off;
  ChannelCounters& n = counters();
  m_sock.setReadAhead(false);  // bytes already buffered are still handed out first
  m_stream.setPatience(m_patienceMs);
  m_patienceMs = 0;
  uint32_t len = 0;
  const bool first = m_reader.next(m_stream, body, room, off, timeoutSec * 1000, &len);
  m_stream.setPatience(0);
  countRefused();
  if (!first) {
    m_frameError = m_reader.error();
    return;
  }
  ChannelCounters::add(n.received);
  // The parts that arrived whole behind it replace it, each by the next.
  size_t budget = CamPartReader::kUnknownBudget;
  for (bool more = true; more && !stopping();) {
    uint32_t newer = 0;
    switch (m_reader.newer(m_stream, body, room, off, &budget, &newer)) {
      case CamPartReader::Behind::Newer:
        ChannelCounters::add(n.received);
        ChannelCounters::add(n.dropped);  // the one it replaced
        len = newer;
        break;
      case CamPartReader::Behind::None:
        more = false;
        break;
      case CamPartReader::Behind::Ended:
      case CamPartReader::Behind::Broken:
        m_streamDone = true;
        more = false;
        break;
      case CamPartReader::Behind::Lost:
        ChannelCounters::add(n.dropped);
        countRefused();
        m_frameError = m_reader.error();
        return;
    }
  }
  countRefused();
  // The start marker was checked when the body arrived; the header now takes its place.
  const uint32_t seq = g_ipFrameSequence.fetch_add(1) + 1;
  const uint64_t now = platform::nowNs();
  std::memcpy(rec.data, m_header, pictureblocks::kHeaderSize);
  pictureblocks::setFrameFields(rec.data, now, seq, m_formatWord.load());
  if (!comment.empty()) std::memcpy(rec.data + pictureblocks::kHeaderSize, comment.data(), comment.size());
  rec.timestamp = now;
  rec.sequence = seq;
  rec.length = off + len;
}

void CIPVideoCnl::countRefused() {
  ChannelCounters& n = counters();
  for (uint32_t i = m_reader.takeRefused(); i > 0; --i) {
    ChannelCounters::add(n.received);
    ChannelCounters::add(n.dropped);
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
  // Up to three zero bytes of padding behind the picture are dropped.
  for (int i = 0; i < 3 && len > 0 && m_rxBuf[len - 1] == 0; ++i) --len;
  if (len < 2 || m_rxBuf[0] != 0xFF || m_rxBuf[1] != 0xD8) {
    ChannelCounters::add(n.dropped);
    m_frameError = "part is not a JPEG picture (it does not start with FF D8)";
    return;
  }
  const std::shared_ptr<const IPConfig> c = settings();
  // Checked before a sequence number is taken, so dropped frames leave no gaps.
  if (uint64_t(pictureblocks::kHeaderSize) + c->comment.size() + (len - 2) > rec.capacity) {
    m_frameError = "picture too large for the frame buffer once wrapped";
    ChannelCounters::add(n.dropped);
    return;
  }
  uint32_t seq = g_ipFrameSequence.fetch_add(1) + 1;
  wrapFrame(m_header, c->comment, m_rxBuf.data(), len, platform::nowNs(), seq, m_formatWord.load(), rec);
}

#include "channels/CIPVideoCnl.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

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

  while (!stopping()) {
    if (m_reconnect.load()) {
      listEntry().setState(2);
      listEntry().setStateText("Connecting...");
      reconf();
      // Cleared before the attempt: a setting changed while connecting raises it again and is
      // applied by the next round instead of being lost.
      m_reconnect = false;
      if (!reconnect(kReconnectTimeoutSec)) {
        m_reconnect = true;
        if (stopping()) break;
        listEntry().setStateText("Connecting... failed!");
        pause(m_retryPauseMs);
        listEntry().setStateText("waiting...");
        for (unsigned i = 0; i < kRetryWaits && !stopping(); ++i) pause(m_retryPauseMs);
        continue;
      }
      listEntry().setState(1);
      listEntry().setStateText(connectedStatusText());
    } else {
      // A consumer asking for a picture wakes us; otherwise one fetch per frame period.
      waitFrameWanted(static_cast<uint64_t>(m_Tns.load()));
      if (stopping()) break;
    }
    getFrameSrv(backFrame(), kFrameTimeoutSec);
    publishBackFrame();
  }

  closeSocket();
  if (recorder()) {
    recorder()->stop();
    recorder()->join();
  }
  listEntry().remove();
  return 0;
}

// ---------------------------------------------------------------- connection helpers

bool CIPVideoCnl::resolveCamera(sockaddr_in* addr) {
  std::string host = camAddr();
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
  if (!stopping())
    logWarning("1) received the following error code from the camera: " + std::to_string(m_sock.status),
               f.c_str());
  return false;
}

bool CIPVideoCnl::takeBoundary(const char* headerName, const char* family) {
  auto it = m_sock.response_headers.find(headerName);
  std::string type = it == m_sock.response_headers.end() ? std::string() : it->second;
  if (type.empty()) {
    logWarning(std::string(family) + ": HTTP '" + headerName + "' header not found", fn("reconnect").c_str());
    return false;
  }
  size_t b = type.find("boundary=");
  if (b == std::string::npos) {
    logWarning(std::string(family) + ": HTTP boundary header not found", fn("reconnect").c_str());
    return false;
  }
  std::string value = type.substr(b + 9);
  m_boundaryLine = value.compare(0, 2, "--") == 0 ? value : "--" + value;
  std::lock_guard<std::mutex> g(m_setLock);
  m_boundaryShown = m_boundaryLine;
  return true;
}

// ---------------------------------------------------------------- frame reading

void CIPVideoCnl::getFrameSrv(FrameRec& rec, int timeoutSec) {
  rec.length = 0;
  if (rec.capacity == 0 || !rec.data) return;
  if (m_rxBuf.size() != rec.capacity) m_rxBuf.resize(rec.capacity);

  // Skip to the boundary line; a camera that never sends one is given up on after a bounded
  // amount of data, so the channel reconnects instead of reading forever.
  std::string line;
  const uint64_t byteLimit = uint64_t(kBoundarySearchFactor) * rec.capacity;
  uint64_t searched = 0;
  for (uint32_t lines = 0;; ++lines) {
    if (!m_sock.read_line(line, rec.capacity, timeoutSec)) return;
    if (line.compare(0, m_boundaryLine.size(), m_boundaryLine) == 0) break;
    searched += line.size() + 1;
    if (searched > byteLimit || lines >= kMaxBoundarySearchLines) return;
  }
  uint32_t len = 0;
  if (!readPartLength(rec, timeoutSec, &len)) return;
  receiveAndWrap(rec, len, timeoutSec);
}

bool CIPVideoCnl::readPartLength(FrameRec& rec, int timeoutSec, uint32_t* len) {
  *len = 0;
  std::string line;
  for (int i = 0; i < kMaxPartHeadLines; ++i) {
    if (!m_sock.read_line(line, rec.capacity, timeoutSec)) return false;
    if (line.empty()) return true;
    if (line.size() >= 16 &&
        (line.compare(0, 15, "Content-Length:") == 0 || line.compare(0, 15, "Content-length:") == 0)) {
      size_t p = 15;
      while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
      if (p >= line.size() || !isdigit(static_cast<unsigned char>(line[p]))) return false;
      uint64_t v = 0;
      while (p < line.size() && isdigit(static_cast<unsigned char>(line[p]))) {
        v = v * 10 + uint64_t(line[p] - '0');
        if (v > rec.capacity) return false;
        ++p;
      }
      *len = static_cast<uint32_t>(v);
    }
  }
  return false;
}

void CIPVideoCnl::receiveAndWrap(FrameRec& rec, uint32_t len, int timeoutSec) {
  rec.length = 0;
  if (m_rxBuf.size() != rec.capacity) m_rxBuf.resize(rec.capacity);
  if (len > rec.capacity) return;
  if (len > 0) {
    int n = m_sock.recv_all(m_rxBuf.data(), len, timeoutSec, 0);
    if (n < 0 || static_cast<uint32_t>(n) != len) return;
    for (int i = 0; i < kMaxTrailingZeros && len > 0 && m_rxBuf[len - 1] == 0; ++i) --len;
  } else if (!readJpegByMarkers(rec.capacity, timeoutSec, &len)) {
    return;
  }
  wrapReceived(rec, len);
}

bool CIPVideoCnl::readJpegByMarkers(uint32_t capacity, int timeoutSec, uint32_t* len) {
  uint8_t* buf = m_rxBuf.data();
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
  if (len < 2 || m_rxBuf[0] != 0xFF || m_rxBuf[1] != 0xD8) return;
  std::lock_guard<std::mutex> g(m_setLock);
  // Checked before a sequence number is taken, so dropped frames leave no gaps.
  if (uint64_t(pictureblocks::kHeaderSize) + m_comment.size() + (len - 2) > rec.capacity) return;
  uint32_t seq = g_ipFrameSequence.fetch_add(1) + 1;
  wrapFrame(m_header, m_comment, m_rxBuf.data(), len, platform::nowNs(), seq, m_formatWord.load(), rec);
}

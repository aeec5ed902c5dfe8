#include "endpoint/CIPSonyVideoCnl.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "base/Tables.h"

namespace {
// Two-letter request counter shared by all Sony channels; the first letter counts fastest.
std::mutex g_lettersLock;
char g_letters[2] = {'A', 'A'};
bool g_lettersUsed = false;
}  // namespace

const IPVendorTraits CIPSonyVideoCnl::kTraits = {
    "CIPSonyVideoCnl", "Sony IP camera (digital)", "sony_", 0, -1, 0, false,
    {4, 8},
    {{"vga", "VGA (640x480) "}, {"qvga", "QVGA(320x240) "}},
    "vga"};

CIPSonyVideoCnl::CIPSonyVideoCnl(uint32_t index) : CIPVideoCnl(5, index, kTraits) {
  m_partLengthName = "DataLen:";
  m_partLengthRequired = true;
  createRecorder();
}

CIPSonyVideoCnl::~CIPSonyVideoCnl() = default;

void CIPSonyVideoCnl::nextLetters(char letters[2]) {
  std::lock_guard<std::mutex> g(g_lettersLock);
  // The counter starts at "AA": the first request uses it, every later one advances first.
  if (g_lettersUsed) {
    if (++g_letters[0] > 'Z') {
      g_letters[0] = 'A';
      if (++g_letters[1] > 'Z') g_letters[1] = 'A';
    }
  }
  g_lettersUsed = true;
  letters[0] = g_letters[0];
  letters[1] = g_letters[1];
}

std::string CIPSonyVideoCnl::imageUrl(const std::string& /*host*/, bool live) {
  return "//" + hostText() + (live ? "/image?interval=300" : "/oneshotimage.jpg");
}

std::string CIPSonyVideoCnl::cameraConfigRequest() const {
  bool vga = settings()->imageSize == imageSizeCode("vga");
  return std::string("GET /command/camera.cgi?ImageSize=") + (vga ? "4&" : "6&") +
         "Quality=" + std::to_string(settings()->quality / 10 + 1) + " HTTP/1.1\r\nHost: " + hostText() +
         "\r\nAccept: text/html\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
}

std::string CIPSonyVideoCnl::cameraStreamRequest() const {
  return "GET /image?interval=" + std::to_string(settings()->periodNs / 1000000) +
         " HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " + hostText() + "\r\nAuthorization: Basic " +
         authText() + "\r\n\r\n";
}

std::string CIPSonyVideoCnl::encoderRequest(const char letters[2]) const {
  return std::string("GET /oneshotimage1?") + letters[0] + letters[1] + " HTTP/1.1\r\nHost: " + hostText() +
         "\r\nPragma: no-cache\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
}

bool CIPSonyVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  pause(m_requestPauseMs);
  if (reconnect_cam(addr, timeoutSec)) {
    m_encoderMode = false;
    return true;
  }
  if (stopping() || !reconnect_enc(addr, timeoutSec)) return false;
  m_encoderMode = true;
  return true;
}

bool CIPSonyVideoCnl::reconnect_cam(const sockaddr_in& addr, int timeoutSec) {
  const char* f = "CIPSonyVideoCnl::reconnect_cam";
  if (!request_helper(addr, cameraConfigRequest(), timeoutSec, 204, f)) return false;
  if (!request_helper(addr, cameraStreamRequest(), timeoutSec, 200, f)) return false;
  return takeBoundary("Content-Type:", "Sony", f);
}

bool CIPSonyVideoCnl::reconnect_enc(const sockaddr_in& addr, int timeoutSec) {
  const char* f = "CIPSonyVideoCnl::reconnect_enc";
  if (!openConnection(addr, timeoutSec, f)) return false;
  // The connection test is a whole picture: its body must be taken off the connection before
  // the next request's answer can be read.
  uint32_t len = 0;
  if (m_rxBuf.size() < CVideoCnl::kFrameBufferSize) m_rxBuf.resize(CVideoCnl::kFrameBufferSize);
  if (!requestPicture(static_cast<uint32_t>(m_rxBuf.size()), timeoutSec, &len, f)) return false;
  if (m_sock.recv_all(m_rxBuf.data(), len, timeoutSec, 0) != static_cast<int>(len)) {
    logWarning("The camera's first picture did not arrive", f);
    return false;
  }
  return true;
}

bool CIPSonyVideoCnl::requestPicture(uint32_t capacity, int timeoutSec, uint32_t* len, const char* f) {
  char letters[2];
  nextLetters(letters);
  if (!sendRequest(encoderRequest(letters), f)) return false;
  // A picture comes with status 200; anything else is a refusal.
  if (!m_sock.read_response(timeoutSec)) {
    m_frameError = "no valid answer from the camera: " + m_sock.error;
    if (!stopping()) logWarning("1) " + m_frameError, f);
    return false;
  }
  if (m_sock.status != 200) {
    m_frameError = "status " + std::to_string(m_sock.status);
    if (!stopping())
      logWarning("1) received the following error code from the camera: " + std::to_string(m_sock.status), f);
    return false;
  }
  const std::string text = m_sock.response_header("Content-Length:");
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || end == text.c_str() || v == 0 || v > capacity) {
    m_frameError = "picture length '" + http::printable(text) + "' not usable";
    return false;
  }
  *len = static_cast<uint32_t>(v);
  return true;
}

void CIPSonyVideoCnl::getFrameSrv(FrameRec& rec, int timeoutSec) {
  if (m_encoderMode.load())
    getFrameSrv_enc(rec, timeoutSec);
  else
    CIPVideoCnl::getFrameSrv(rec, timeoutSec);
}

void CIPSonyVideoCnl::getFrameSrv_enc(FrameRec& rec, int timeoutSec) {
  rec.length = 0;
  uint32_t len = 0;
  if (m_rxBuf.size() != rec.capacity) m_rxBuf.resize(rec.capacity);
  if (!requestPicture(rec.capacity, timeoutSec, &len, "CIPSonyVideoCnl::getFrameSrv_enc")) return;
  if (m_sock.recv_all(m_rxBuf.data(), len, timeoutSec, 0) != static_cast<int>(len)) {
    m_frameError = "picture of " + std::to_string(len) + " bytes: " + m_sock.describeReadFailure(m_sock.lastError(), "picture");
    return;
  }
  wrapReceived(rec, len);
}

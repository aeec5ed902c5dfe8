#include "endpoint/CIPToshibaVideoCnl.h"

#include <netinet/in.h>

#include <algorithm>
#include <atomic>

#include "base/Tables.h"

namespace {
// Process-wide: every single-picture/stream URL handed out gets its own number.
std::atomic<uint32_t> g_toshibaUrlCounter{1};
}  // namespace

const IPVendorTraits CIPToshibaVideoCnl::kTraits = {
    "CIPToshibaVideoCnl", "Toshiba IP video cam (digital)", "toshiba_", 0, -1, 0, false,
    {8, 4, 9},
    {{"qvga", "QVGA.(320x240)"}, {"vga", "VGA.(640x480)"}, {"mega", "MEGA.(1280x960)"}},
    "vga"};

CIPToshibaVideoCnl::CIPToshibaVideoCnl(uint32_t index) : CIPVideoCnl(4, index, kTraits) { createRecorder(); }

CIPToshibaVideoCnl::~CIPToshibaVideoCnl() = default;

std::string CIPToshibaVideoCnl::imageUrl(const std::string& /*host*/, bool live) {
  if (!live) return "//" + hostText() + "/admin/__live.jpg";
  return "//" + hostText() + "/api/getstream.cgi?" + std::to_string(g_toshibaUrlCounter.fetch_add(1)) +
         "&&&&0&500&1&0&9000";
}

std::string CIPToshibaVideoCnl::configRequest() const {
  int size = settings()->imageSize;
  int resolution = size == imageSizeCode("qvga") ? 2 : size == imageSizeCode("vga") ? 3 : 5;
  int ratio = std::min(std::max(settings()->quality, 10), 90) * 5 / 100 + 1;
  return "GET /api/wbsetcambasic.cgi?type=Set&Resolution=" + std::to_string(resolution) +
         "&CompressionRatio=" + std::to_string(ratio) + " HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " +
         hostText() + "\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
}

std::string CIPToshibaVideoCnl::streamRequest() const {
  return "GET /api/getstream.cgi?1&&&&0&" + std::to_string(settings()->periodNs / 1000000) +
         "&1&0&9000 HTTP/1.1\r\nHost: " + hostText() + "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " +
         authText() + "\r\n\r\n";
}

bool CIPToshibaVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  // The configuration reply is only glanced at: its first line must arrive, any status will do.
  const std::string f = fn("reconnect");
  if (!openConnection(addr, timeoutSec, f.c_str()) || !sendRequest(configRequest(), f.c_str())) return false;
  std::string line;
  if (!m_sock.read_camera_line(line, 1024, timeoutSec)) {
    m_frameError = "no answer to the configuration request: " + m_sock.error;
    if (!stopping()) logWarning("No answer to the configuration request: " + m_sock.error, f.c_str());
    return false;
  }
  if (!request_helper(addr, streamRequest(), timeoutSec)) return false;
  return takeBoundary("Content-Type:", "Toshiba");
}

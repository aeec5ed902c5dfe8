#include "endpoint/CIPVivotecVideoCnl.h"

#include <netinet/in.h>

const IPVendorTraits CIPVivotecVideoCnl::kTraits = {
    "CIPVivotecVideoCnl", "Vivotec IP video cam (digital)", "vivotec_", 0, -1, 0, false,
    {8, 4, 9},
    {{"qvga", "QVGA.(320x240)"}, {"vga", "VGA.(640x480)"}, {"mega", "MEGA.(1280x960)"}},
    "vga"};

CIPVivotecVideoCnl::CIPVivotecVideoCnl(uint32_t index) : CIPVideoCnl(7, index, kTraits) { createRecorder(); }

CIPVivotecVideoCnl::~CIPVivotecVideoCnl() = default;

std::string CIPVivotecVideoCnl::imageUrl(const std::string& /*host*/, bool live) {
  return "//" + hostText() + "/video." + (live ? "m" : "") + "jpg";
}

std::string CIPVivotecVideoCnl::streamRequest() const {
  return "GET /video.mjpg HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " + hostText() +
         "\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
}

bool CIPVivotecVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  if (!request_helper(addr, streamRequest(), timeoutSec)) return false;
  return takeBoundary("Content-Type:", "Vivotec");
}

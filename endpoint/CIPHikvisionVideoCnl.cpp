#include "endpoint/CIPHikvisionVideoCnl.h"

#include <netinet/in.h>

const IPVendorTraits CIPHikvisionVideoCnl::kTraits = {
    "CIPHikvisionVideoCnl", "Hikvision IP video server (digital)", "hikvision_", 0, 3, 0, true,
    {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
    // Every accepted size is offered, so saving the page unchanged keeps the stored one.
    {{"4cif", "4CIF (704x576) "},
     {"cif", "CIF (352x288)  "},
     {"d-1pal", "D-1PAL (768x576)"},
     {"2cif", "2CIF (704x288)"},
     {"vga", "VGA (640x480)"},
     {"vga2", "VGA2 (640x480)"},
     {"qcif", "QCIF (176x144)"},
     {"qvga", "QVGA (320x240)"},
     {"mega", "MEGA (1280x960)"},
     {"3mp", "3MP (2048x1536)"}},
    "4cif"};

CIPHikvisionVideoCnl::CIPHikvisionVideoCnl(uint32_t index) : CIPVideoCnl(8, index, kTraits) {
  createRecorder();
}

CIPHikvisionVideoCnl::~CIPHikvisionVideoCnl() = default;

std::string CIPHikvisionVideoCnl::imageUrl(const std::string& /*host*/, bool /*live*/) {
  return "//" + hostText() + "/streaming/channels/1/preview";
}

std::string CIPHikvisionVideoCnl::streamRequest() const {
  return "GET /streaming/channels/1/preview HTTP/1.1\r\nAccept: text/html; image/jpg\r\n"
         "User-Agent: Mozilla/5.0\r\nKeep-Alive: 115\r\nConnection: keep-alive\r\nHost: " +
         hostText() + "\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
}

bool CIPHikvisionVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  if (!request_helper(addr, streamRequest(), timeoutSec)) return false;
  return takeBoundary("Content-Type:", "Hikvision");
}

#include "endpoint/CIPLilinVideoCnl.h"

#include <netinet/in.h>

#include "base/TextHelpers.h"

const IPVendorTraits CIPLilinVideoCnl::kTraits = {
    "CIPLilinVideoCnl", "Lilin IP camera (digital)", "lilin_", 1, 4, 1, false,
    {2, 6, 4, 13},
    {{"4cif", "4CIF (704x576) "}, {"cif", "CIF(352x288) "}, {"vga", "VGA(640x480) "},
     {"720p", "720p(1280x768) "}},
    "4cif"};

CIPLilinVideoCnl::CIPLilinVideoCnl(uint32_t index) : CIPVideoCnl(2, index, kTraits) { createRecorder(); }

CIPLilinVideoCnl::~CIPLilinVideoCnl() = default;

const char* CIPLilinVideoCnl::formatName(int code) {
  switch (code) {
    case 2: return "QCIF";
    case 4: return "VGA";
    case 6: return "CIF";
    case 13: return "720p";
    default: return "";
  }
}

// The query parameters are joined with "&" like every other camera URL; run together
// ("camera=1fmt=VGA") they would read as one malformed value.
std::string CIPLilinVideoCnl::imageUrl(const std::string& /*host*/, bool live) {
  std::string id = std::to_string(settings()->camID);
  if (live) return "//" + hostText() + "/getimage?fmt=sif&delay=10&VideoID=" + id + "&camera=" + id;
  return "//" + hostText() + "/images" + id + "sif";
}

std::string CIPLilinVideoCnl::configRequest() const {
  return "GET /setvideo?save=1&VideoID=" + std::to_string(settings()->camID) +
         "&JPEG%20Quality=" + std::to_string((100 - settings()->quality) * 30 / 100) +
         "&BitmapEnable=1&BitmapTime=1&BitmapX=5&BitmapY=5&BitmapTextEnable=1&BitmapText=" +
         url_encode(name().substr(0, 50)) + " HTTP/1.1\r\nHost: " + hostText() +
         "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
}

std::string CIPLilinVideoCnl::streamRequest() const {
  return "GET /getimage?camera=" + std::to_string(settings()->camID) + "&fmt=" + formatName(settings()->imageSize) +
         "&delay=" + std::to_string(settings()->periodNs / 10000000) +
         " HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " + hostText() + "\r\nAuthorization: Basic " +
         authText() + "\r\n\r\n";
}

bool CIPLilinVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  if (!request_helper(addr, configRequest(), timeoutSec)) return false;
  if (!request_helper(addr, streamRequest(), timeoutSec)) return false;
  return takeBoundary("Content-Type:", "Lilin");
}

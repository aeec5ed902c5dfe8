#include "endpoint/CIPAxisVideoCnl.h"

#include <netinet/in.h>

#include "base/Tables.h"
#include "base/TextHelpers.h"

const IPVendorTraits CIPAxisVideoCnl::kTraits = {
    "CIPAxisVideoCnl", "Axis IP camera (digital)", "axis_", 1, 4, 1, false,
    {1, 2, 3, 4, 6, 7, 9, 10},
    {{"3mp", "3MP (2048x1536)"},
     {"mega", "MEGA (1280x960)"},
     {"d-1pal", "D-1PAL (768x576)"},
     {"4cif", "4CIF (704x576)"},
     {"2cif", "2CIF (704x288)"},
     {"vga", "VGA (640x480)"},
     {"cif", "CIF (352x288)"},
     {"qcif", "QCIF (176x144)"}},
    "vga"};

CIPAxisVideoCnl::CIPAxisVideoCnl(uint32_t index) : CIPVideoCnl(1, index, kTraits) { createRecorder(); }

CIPAxisVideoCnl::~CIPAxisVideoCnl() = default;

const char* CIPAxisVideoCnl::resolutionName(int code) {
  static const char* const kNames[] = {"NC",  "D_1PAL", "QCIF", "2CIF",   "VGA",  "NC",
                                       "CIF", "QCIF",   "NC",   "_MEGA_", "_3MP_"};
  if (code < 0 || code > 10) return "NC";
  return kNames[code];
}

std::string CIPAxisVideoCnl::imageUrl(const std::string& /*host*/, bool live) {
  return "//" + hostText() + "/axis-cgi/" + (live ? "mjpg/video.cgi?fps=4&" : "jpg/image.cgi?") +
         "resolution=CIF&compression=50&camera=" + std::to_string(settings()->camID);
}

std::string CIPAxisVideoCnl::streamRequest(bool byName) const {
  ImageDims d = imageSizeDims(settings()->imageSize);
  std::string resolution = byName ? std::string(resolutionName(settings()->imageSize))
                                  : std::to_string(d.width) + "x" + std::to_string(d.height);
  int64_t tns = settings()->periodNs;
  int64_t fps = tns > 0 ? 1000000000ll / tns : 0;
  return "GET /axis-cgi/mjpg/video.cgi?camera=" + std::to_string(settings()->camID) + "&resolution=" + resolution +
         "&date=1&clock=1&duration=0&nbroffames=0&fps=" + std::to_string(fps) +
         "&compression=" + std::to_string(100 - settings()->quality) + "&text=1&textstring=\"" +
         url_encode(name()) + "\"&textposition=top&textpos=0 HTTP/1.1\r\nHost: " + hostText() +
         "\r\nAccept: multipart/x-mixed-replace,*/*\r\nUser-Agent: Firefox\r\nAuthorization: Basic " +
         authText() + "\r\n\r\n";
}

bool CIPAxisVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  if (!request_helper(addr, streamRequest(false), timeoutSec) &&
      !request_helper(addr, streamRequest(true), timeoutSec))
    return false;
  return takeBoundary("Content-Type:", "Axis");
}

#include "endpoint/CIPGrandstreamVideoCnl.h"

#include <netinet/in.h>

#include <algorithm>

#include "base/Tables.h"

const IPVendorTraits CIPGrandstreamVideoCnl::kTraits = {
    "CIPGrandstreamVideoCnl", "Grandstream IP video camera (digital)", "grandstream_", 1, 4, 1, false,
    {12, 6, 4, 8, 7, 11},
    {{"d-1ntsc", "D1 NTSC (720x480)"}, {"vga", "VGA (640x480)   "}, {"cif", "CIF (352x288)   "},
     {"qvga", "QVGA (320x240)  "}, {"wqvga", "WQVGA (480x272) "}, {"qcif", "QCIF (176x144)  "}},
    "vga"};

CIPGrandstreamVideoCnl::CIPGrandstreamVideoCnl(uint32_t index) : CIPVideoCnl(9, index, kTraits) {
  createRecorder();
}

CIPGrandstreamVideoCnl::~CIPGrandstreamVideoCnl() = default;

std::string CIPGrandstreamVideoCnl::imageUrl(const std::string& /*host*/, bool live) {
  if (!live) return "//" + hostText() + "/snapshot/view0.jpg";
  return "//" + hostText() + "/goform/stream?cmd=get&channel=" + std::to_string(settings()->camID - 1);
}

std::string CIPGrandstreamVideoCnl::configRequest() const {
  ImageDims d = imageSizeDims(settings()->imageSize);
  int64_t tns = settings()->periodNs;
  int64_t fps = std::min<int64_t>(std::max<int64_t>(tns > 0 ? 1000000000ll / tns : 1, 1), 30);
  return "GET /goform/audio_video?cmd=set&channel=" + std::to_string(settings()->camID - 1) +
         "&video.primary.encoder=26&video.primary.bitrate=2048&video.primary.resolution=" +
         std::to_string(uint32_t(d.width) * 65536u + d.height) + "&video.primary.framerate=" +
         std::to_string(fps) + "&video.primary.imagequality=" + std::to_string(5 - settings()->quality * 4 / 100) +
         " HTTP/1.1\r\nHost: " + hostText() +
         "\r\nAccept: text/html; image/jpg\r\nCookie: gs_product_model=GXV3615\r\nAuthorization: Basic " +
         authText() + "\r\n\r\n";
}

std::string CIPGrandstreamVideoCnl::streamRequest(int nonce) const {
  return "GET /goform/stream?cmd=get&channel=" + std::to_string(settings()->camID - 1) + "&" + std::to_string(nonce) +
         " HTTP/1.1\r\nHost: " + hostText() + "\r\nCookie: gs_product_model=GXV3615\r\nAuthorization: Basic " +
         authText() + "\r\n\r\n";
}

bool CIPGrandstreamVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  const std::string f = fn("reconnect");
  // These cameras say "OK" when they mean it; a 200 with another phrase is a refusal.
  auto okReason = [&]() {
    if (m_sock.reason == "OK") return true;
    logWarning("Unexpected reason phrase from the camera: '" + http::printable(m_sock.reason) + "'", f.c_str());
    return false;
  };
  if (!request_helper(addr, configRequest(), timeoutSec) || !okReason()) return false;
  if (!request_helper(addr, streamRequest(pseudoRandom()), timeoutSec) || !okReason()) return false;
  return takeBoundary("Content-Type:", "Grandstream");
}

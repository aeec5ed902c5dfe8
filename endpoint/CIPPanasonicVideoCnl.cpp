#include "endpoint/CIPPanasonicVideoCnl.h"

#include <netinet/in.h>

#include "base/Tables.h"
#include "platform/Clock.h"

namespace {
// Starts at the program's start time in milliseconds (low 32 bits), so URLs of a new run
// differ from the last run's.
std::atomic<uint32_t> g_panasonicUid{static_cast<uint32_t>(platform::nowNs() / 1000000ull)};
}  // namespace

const IPVendorTraits CIPPanasonicVideoCnl::kTraits = {
    "CIPPanasonicVideoCnl", "Panasonic IP camera (digital)", "panasonic_", 1, 4, 1, false,
    {8, 4},
    {{"qvga", "QVGA (320x240) "}, {"vga", "VGA(640x480) "}},
    "vga"};

CIPPanasonicVideoCnl::CIPPanasonicVideoCnl(uint32_t index) : CIPVideoCnl(6, index, kTraits) {
  createRecorder();
}

CIPPanasonicVideoCnl::~CIPPanasonicVideoCnl() = default;

uint32_t CIPPanasonicVideoCnl::nextUid() { return g_panasonicUid.fetch_add(1); }

CIPPanasonicVideoCnl::Rate CIPPanasonicVideoCnl::snapRate(int64_t t) {
  const int64_t ms = 1000000;
  if (t < 33 * ms) return {"30", 33 * ms};
  if (t <= 500 * ms) {
    int64_t rate = 1000000000ll / t;
    return {std::to_string(rate), 1000000000ll / rate};
  }
  if (t <= 1000 * ms) return {"1", 1000 * ms};
  if (t <= 2000 * ms) return {"0.5", 2000 * ms};
  if (t <= 4000 * ms) return {"0.25", 4000 * ms};
  if (t <= 6000 * ms) return {"0.167", 6000 * ms};
  if (t <= 8000 * ms) return {"0.125", 8000 * ms};
  return {"0.1", 10000 * ms};
}

std::string CIPPanasonicVideoCnl::imageUrl(const std::string& /*host*/, bool live) {
  if (m_variant.load())
    return "//" + hostText() + (live ? "/nphMotionJpeg?Framerate=1&" : "/SnapshotJPEG?") +
           "Resolution=320x240&Quality=Standard&Count=" + std::to_string(pseudoRandom());
  return "//" + hostText() +
         (live ? "/cgi-bin/jpeg?connect=start&framerate=2&resolution=320&vmdinfo=none"
               : "/cgi-bin/camera?resolution=640.jpg") +
         "&UID=" + std::to_string(nextUid()) + "&ch=" + std::to_string(settings()->camID);
}

std::string CIPPanasonicVideoCnl::firstRequest(const std::string& rate, uint32_t uid) const {
  ImageDims d = imageSizeDims(settings()->imageSize);
  return "GET /cgi-bin/jpeg?connect=start&framerate=" + rate + "&resolution=" + std::to_string(d.width) +
         "&vmdinfo=none&UID=" + std::to_string(uid) + "&ch=" + std::to_string(settings()->camID) +
         " HTTP/1.1\r\nHost: " + hostText() + "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " +
         authText() + "\r\n\r\n";
}

std::string CIPPanasonicVideoCnl::secondRequest(const std::string& rate) const {
  ImageDims d = imageSizeDims(settings()->imageSize);
  return "GET /nphMotionJpeg?Resolution=" + std::to_string(d.width) + "x" + std::to_string(d.height) +
         "&Quality=Standard&Framerate=" + rate + " HTTP/1.1\r\nHost: " + hostText() +
         "\r\nAccept: image/jpg\r\nUser-Agent: Firefox\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
}

bool CIPPanasonicVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  const Rate r = snapRate(settings()->periodNs);
  if (request_helper(addr, firstRequest(r.text, nextUid()), timeoutSec)) {
    m_variant = false;
  } else if (request_helper(addr, secondRequest(r.text), timeoutSec)) {
    m_variant = true;
  } else {
    return false;
  }
  // Its cameras may put blanks around the boundary parameter's "=".
  return takeBoundary("Content-type:", "Panasonic", nullptr, true);
}

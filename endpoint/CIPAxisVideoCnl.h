#pragma once
// Axis network cameras and video servers (type code 1): MJPEG stream from
// /axis-cgi/mjpg/video.cgi, resolution given as WxH, or by name when the camera refuses that.
// Threads as CIPVideoCnl.
#include "endpoint/CIPVideoCnl.h"

class CIPAxisVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPAxisVideoCnl(uint32_t index);
  ~CIPAxisVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  // The stream request with the resolution as "WxH" (A) or by the Axis name (B).
  std::string streamRequest(bool byName) const;
  // Axis resolution names by image size code ("NC" where there is none).
  static const char* resolutionName(int code);

  static const IPVendorTraits kTraits;
};

#pragma once
// Lilin network cameras (type code 2): a configuration request (quality and the channel name as
// overlay text), then the MJPEG stream.
// Threads as CIPVideoCnl.
#include "endpoint/CIPVideoCnl.h"

class CIPLilinVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPLilinVideoCnl(uint32_t index);
  ~CIPLilinVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  std::string configRequest() const;
  std::string streamRequest() const;
  // Lilin format names by image size code ("" where there is none).
  static const char* formatName(int code);
  static const IPVendorTraits kTraits;
};

#pragma once
// Vivotek network cameras (type code 7, written "Vivotec" in all texts): one MJPEG request.
// Threads as CIPVideoCnl.
#include "endpoint/CIPVideoCnl.h"

class CIPVivotecVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPVivotecVideoCnl(uint32_t index);
  ~CIPVivotecVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  std::string streamRequest() const;
  static const IPVendorTraits kTraits;
};

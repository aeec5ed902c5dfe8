#pragma once
// Hikvision video servers (type code 8): one MJPEG preview request; camera number and video
// standard are stored and shown but the preview URL does not carry them.
// Threads as CIPVideoCnl.
#include "endpoint/CIPVideoCnl.h"

class CIPHikvisionVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPHikvisionVideoCnl(uint32_t index);
  ~CIPHikvisionVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  std::string streamRequest() const;
  static const IPVendorTraits kTraits;
};

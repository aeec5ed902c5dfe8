#pragma once
// Asip video servers (type code 3): video mode, compression and resolution set by three requests,
// each on a fresh connection, then the MJPEG stream.
// Threads as CIPVideoCnl.
#include "endpoint/CIPVideoCnl.h"

class CIPAsipVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPAsipVideoCnl(uint32_t index);
  ~CIPAsipVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  // The three configuration requests in the order they are sent, then the stream request.
  std::vector<std::string> requests() const;
  static const IPVendorTraits kTraits;
};

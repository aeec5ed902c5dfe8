#pragma once
// Toshiba network cameras (type code 4): a configuration request whose reply is only glanced at,
// then the MJPEG stream on a new connection.
// Threads as CIPVideoCnl.
#include "endpoint/CIPVideoCnl.h"

class CIPToshibaVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPToshibaVideoCnl(uint32_t index);
  ~CIPToshibaVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  std::string configRequest() const;
  std::string streamRequest() const;
  static const IPVendorTraits kTraits;
};

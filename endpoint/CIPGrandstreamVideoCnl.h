#pragma once
// Grandstream network cameras (type code 9): a configuration request and the stream request,
// both answered with status 200 and the reason phrase "OK".
// Threads as CIPVideoCnl.
#include "endpoint/CIPVideoCnl.h"

class CIPGrandstreamVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPGrandstreamVideoCnl(uint32_t index);
  ~CIPGrandstreamVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  std::string configRequest() const;
  std::string streamRequest(int nonce) const;
  static const IPVendorTraits kTraits;
};

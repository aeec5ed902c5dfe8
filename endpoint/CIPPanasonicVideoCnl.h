#pragma once
// Panasonic network cameras (type code 6): two request forms for the MJPEG stream (older and
// newer firmware); the frame period is snapped to a rate the cameras accept.
// Threads as CIPVideoCnl.
#include <atomic>

#include "endpoint/CIPVideoCnl.h"

class CIPPanasonicVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPPanasonicVideoCnl(uint32_t index);
  ~CIPPanasonicVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;

  // The frame rate text the cameras accept for a period, and the period that rate really gives.
  struct Rate {
    std::string text;
    int64_t periodNs;
  };
  static Rate snapRate(int64_t periodNs);
  std::string firstRequest(const std::string& rate, uint32_t uid) const;
  std::string secondRequest(const std::string& rate) const;
  bool secondFormInUse() const { return m_variant.load(); }
  // Process-wide request counter; each use takes its value and advances it.
  static uint32_t nextUid();

  static const IPVendorTraits kTraits;

 protected:
  // The cameras take only some rates: the period is stored as the one they will send at.
  int64_t cameraPeriodNs(int64_t configured) const override { return snapRate(configured).periodNs; }

 private:
  std::atomic<bool> m_variant{false};  // the second request form was accepted
};

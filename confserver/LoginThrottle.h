#pragma once
// Limits password guessing on the configuration pages: after kMaxFailures failed logins from
// one address within kWindowNs, that address is refused (401, whatever it sends) for kBlockNs.
// Other addresses are not affected. Times are monotonic nanoseconds given by the caller.
//
// Configuration server thread only (no lock). The table is bounded: when it is full, expired
// entries are pruned first, then the oldest entry makes room.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

class LoginThrottle {
 public:
  static constexpr int kMaxFailures = 5;
  static constexpr uint64_t kWindowNs = 60ull * 1000000000ull;
  static constexpr uint64_t kBlockNs = 60ull * 1000000000ull;
  static constexpr size_t kMaxAddresses = 4096;

  // True while ip is refused.
  bool blocked(const std::string& ip, uint64_t nowNs);
  // Counts a failed login from ip; true when this failure starts a block (log it once).
  bool failed(const std::string& ip, uint64_t nowNs);

 private:
  struct Entry {
    std::deque<uint64_t> failures;  // times of the recent failures, oldest first
    uint64_t blockedUntil = 0;
    uint64_t last() const { return failures.empty() ? blockedUntil : failures.back(); }
  };
  void makeRoom(uint64_t nowNs);
  std::map<std::string, Entry> m_entries;
};

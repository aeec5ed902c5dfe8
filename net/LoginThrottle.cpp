#include "net/LoginThrottle.h"

#include <iterator>

bool LoginThrottle::blocked(const std::string& ip, uint64_t nowNs) {
  auto it = m_entries.find(ip);
  return it != m_entries.end() && nowNs < it->second.blockedUntil;
}

bool LoginThrottle::failed(const std::string& ip, uint64_t nowNs) {
  if (m_entries.find(ip) == m_entries.end() && m_entries.size() >= kMaxAddresses) makeRoom(nowNs);
  Entry& e = m_entries[ip];
  if (nowNs < e.blockedUntil) return false;  // already refused; logged when it began
  if (e.failures == 0 || nowNs - e.windowStart >= kWindowNs) {
    e.windowStart = nowNs;
    e.failures = 0;
  }
  if (++e.failures < kMaxFailures) return false;
  e.failures = 0;
  e.blockedUntil = nowNs + kBlockNs;
  return true;
}

void LoginThrottle::makeRoom(uint64_t nowNs) {
  for (auto it = m_entries.begin(); it != m_entries.end();) {
    const Entry& e = it->second;
    const bool expired = nowNs >= e.blockedUntil && nowNs - e.windowStart >= kWindowNs;
    it = expired ? m_entries.erase(it) : std::next(it);
  }
  if (m_entries.size() < kMaxAddresses) return;
  auto oldest = m_entries.begin();
  for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
    if (it->second.windowStart < oldest->second.windowStart) oldest = it;
  m_entries.erase(oldest);
}

#include "confserver/LoginThrottle.h"

#include <iterator>

bool LoginThrottle::blocked(const std::string& ip, uint64_t nowNs) {
  auto it = m_entries.find(ip);
  return it != m_entries.end() && nowNs < it->second.blockedUntil;
}

bool LoginThrottle::failed(const std::string& ip, uint64_t nowNs) {
  if (m_entries.find(ip) == m_entries.end() && m_entries.size() >= kMaxAddresses) makeRoom(nowNs);
  Entry& e = m_entries[ip];
  if (nowNs < e.blockedUntil) return false;  // already refused; logged when it began
  e.failures.push_back(nowNs);
  while (nowNs - e.failures.front() >= kWindowNs) e.failures.pop_front();
  if (e.failures.size() < size_t(kMaxFailures)) return false;
  e.failures.clear();
  e.blockedUntil = nowNs + kBlockNs;
  return true;
}

void LoginThrottle::makeRoom(uint64_t nowNs) {
  for (auto it = m_entries.begin(); it != m_entries.end();) {
    const Entry& e = it->second;
    const bool expired = nowNs >= e.blockedUntil && nowNs - e.last() >= kWindowNs;
    it = expired ? m_entries.erase(it) : std::next(it);
  }
  if (m_entries.size() < kMaxAddresses) return;
  auto oldest = m_entries.begin();
  for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
    if (it->second.last() < oldest->second.last()) oldest = it;
  m_entries.erase(oldest);
}

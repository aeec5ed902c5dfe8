#include "falconsim/FailInjector.h"

#include <cstdlib>

namespace falconsim {

namespace {

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  const size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

}  // namespace

void FailInjector::configure(const std::string& text, const char* keep) {
  std::map<std::string, long> rules;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = trim(text.substr(start, end - start));
    start = end + 1;
    if (entry.compare(0, 3, "is_") != 0) continue;
    const size_t colon = entry.find(':');
    long count = -1;
    if (colon != std::string::npos) {
      const std::string number = trim(entry.substr(colon + 1));
      char* rest = nullptr;
      count = std::strtol(number.c_str(), &rest, 10);
      if (number.empty() || *rest != '\0' || count <= 0) continue;
    }
    rules[trim(entry.substr(0, colon))] = count;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  if (keep) {
    auto old = m_rules.find(keep);
    auto now = rules.find(keep);
    if (old != m_rules.end() && now != rules.end()) now->second = old->second;
  }
  m_rules.swap(rules);
}

bool FailInjector::shouldFail(const char* function) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_rules.empty()) return false;
  auto it = m_rules.find(function);
  if (it == m_rules.end() || it->second == 0) return false;
  if (it->second > 0) --it->second;
  return true;
}

}  // namespace falconsim

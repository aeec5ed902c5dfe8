#include "falconsim/HangRules.h"

#include <cstdio>

namespace falconsim {

void HangRules::configure(const std::string& text) {
  std::map<std::pair<unsigned, int>, Hang> rules;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string entry;
    for (char c : text.substr(start, end - start))
      if (c != ' ' && c != '\t') entry += c;
    start = end + 1;
    const size_t colon = entry.find(':');
    const std::string mode = colon == std::string::npos ? "" : entry.substr(colon + 1);
    if (!mode.empty() && mode != "stuck") continue;
    unsigned board = 0;
    int input = 0;
    char extra = 0;
    if (std::sscanf(entry.substr(0, colon).c_str(), "%u.%d%c", &board, &input, &extra) != 2)
      continue;
    rules[{board, input}] = mode.empty() ? Hang::NoSignal : Hang::Stuck;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  m_rules.swap(rules);
}

Hang HangRules::of(unsigned board, int input) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_rules.find({board, input});
  return it == m_rules.end() ? Hang::None : it->second;
}

}  // namespace falconsim

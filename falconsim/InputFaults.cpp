#include "falconsim/InputFaults.h"

#include <cstdio>

namespace falconsim {

void InputFaults::configure(const std::string& text) {
  std::map<std::pair<unsigned, int>, Fault> faults;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string entry;
    for (char c : text.substr(start, end - start))
      if (c != ' ' && c != '\t') entry += c;
    start = end + 1;
    const size_t colon = entry.find(':');
    if (colon == std::string::npos) continue;
    const std::string word = entry.substr(colon + 1);
    const Fault fault = word == "black"    ? Fault::Black
                        : word == "blue"   ? Fault::Blue
                        : word == "frozen" ? Fault::Frozen
                                           : Fault::None;
    if (fault == Fault::None) continue;
    const std::string where = entry.substr(0, colon);
    unsigned board = kEveryBoard;
    int input = 0;
    char extra = 0;
    if (where.find('.') != std::string::npos) {
      if (std::sscanf(where.c_str(), "%u.%d%c", &board, &input, &extra) != 2 || board == kEveryBoard)
        continue;
    } else if (std::sscanf(where.c_str(), "%d%c", &input, &extra) != 1) {
      continue;
    }
    faults[{board, input}] = fault;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  m_faults.swap(faults);
}

Fault InputFaults::of(unsigned board, int input) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_faults.find({board, input});
  if (it == m_faults.end()) it = m_faults.find({kEveryBoard, input});
  return it == m_faults.end() ? Fault::None : it->second;
}

}  // namespace falconsim

#pragma once
// Injected failures: "is_Name[:count],..." makes the named calls fail, count times or (without
// a count) always. Names that are not among the library's functions are ignored, as are entries
// with a count that is not a positive number.
// Thread-safe: shouldFail() may be called from any thread.
#include <map>
#include <mutex>
#include <string>

namespace falconsim {

class FailInjector {
 public:
  // Replaces the rules and their counts; the remaining count of the function named keep (when
  // given and still ruled) carries over.
  void configure(const std::string& text, const char* keep = nullptr);
  // True when this call of the function is to fail (uses up one of a counted rule's failures).
  bool shouldFail(const char* function);

 private:
  std::mutex m_lock;
  std::map<std::string, long> m_rules;  // remaining failures, -1 always; protected by m_lock
};

}  // namespace falconsim

#pragma once
// Captures that hang, for showing what a camera without signal or a stuck library does:
// "<board>.<input>[:stuck],...".
//   1.3        input 3 of board 1 has no video signal: is_FreezeVideo on it fails with
//              "no video signal" once a bounded wait has passed, and with the unbounded wait
//              (FALCON_WAIT) never returns;
//   1.3:stuck  is_FreezeVideo on input 3 of board 1 never returns, whatever its wait.
// Entries that do not read this way are ignored. Thread-safe.
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace falconsim {

enum class Hang { None, NoSignal, Stuck };

class HangRules {
 public:
  void configure(const std::string& text);
  Hang of(unsigned board, int input);

 private:
  std::mutex m_lock;
  std::map<std::pair<unsigned, int>, Hang> m_rules;  // protected by m_lock
};

}  // namespace falconsim

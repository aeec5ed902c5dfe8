#pragma once
// Inputs whose picture is faulty, for showing what the gateway makes of a bad source:
// "<input>:<fault>,..." (the input of every board) or "<board>.<input>:<fault>,...".
//   black   a black screen (a covered lens): nearly black, with a little noise that changes
//           from frame to frame, as a real camera's black has;
//   blue    a blue screen (a recorder or switcher without input), with the same noise;
//   frozen  the same test picture every time (a source that hangs on its last frame).
// Entries that do not read this way are ignored. Thread-safe.
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace falconsim {

enum class Fault { None, Black, Blue, Frozen };

class InputFaults {
 public:
  void configure(const std::string& text);
  Fault of(unsigned board, int input);

 private:
  static constexpr unsigned kEveryBoard = 0;  // board handles start at 1
  std::mutex m_lock;
  std::map<std::pair<unsigned, int>, Fault> m_faults;  // protected by m_lock
};

}  // namespace falconsim

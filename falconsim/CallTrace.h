#pragma once
// The call trace: one line per library call, appended to the file named by
// $TELVGATE_FALCON_TRACE.
//
// Line format: the function's name, then every argument in the order of the C declaration,
// separated by single spaces. Integers (the board handle included) in decimal; scaler factors
// as the shortest decimal form ("1", "0", "0.5"); pointers as 1 when given and 0 when null,
// except is_InitBoard's handle pointer, shown as the handle's value on entry (0: any board).
// Examples: "is_InitBoard 0 0", "is_SetImagePos 1 64 48", "is_SetScaler 1 1 1",
// "is_AllocImageMem 1 640 480 32 1 1", "is_CopyImageMem 1 1 3 1", "is_GetNumberOfDevices".
// Each line is written with one write() on a file opened for appending, so lines of several
// threads (or processes) never mix. Thread-safe.
#include <mutex>
#include <string>

namespace falconsim {

class TraceLine {
 public:
  explicit TraceLine(const char* function) : m_text(function) {}
  TraceLine& num(long long v);
  TraceLine& real(float v);
  TraceLine& ptr(const void* p) { return num(p ? 1 : 0); }
  const std::string& text() const { return m_text; }

 private:
  std::string m_text;
};

class CallTrace {
 public:
  CallTrace() = default;
  ~CallTrace();
  CallTrace(const CallTrace&) = delete;
  CallTrace& operator=(const CallTrace&) = delete;

  // Starts appending to path, opening it afresh (a test may have removed the old file); ""
  // stops tracing.
  void open(const std::string& path);
  bool enabled();
  void write(const TraceLine& line);

 private:
  std::mutex m_lock;
  int m_fd = -1;       // protected by m_lock
};

}  // namespace falconsim

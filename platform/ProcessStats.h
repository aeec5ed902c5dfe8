#pragma once
// Figures of the running process from /proc/self, for the metrics page. Any thread.
#include <cstdint>

namespace platform {

struct ProcessStats {
  bool ok = false;            // false when /proc could not be read
  uint64_t threads = 0;
  uint64_t openFds = 0;
  uint64_t residentBytes = 0;
};

ProcessStats readProcessStats();

}  // namespace platform

#pragma once
// Time as the system sees it: 64-bit nanoseconds. Any thread may call these.
#include <cstdint>

namespace platform {

// Wall clock, nanoseconds since 1970-01-01 00:00 UTC (frame time stamps, log lines, file ages).
uint64_t nowNs();

// Monotonic clock in nanoseconds, for deadlines and time-outs that must not jump with the wall clock.
uint64_t monotonicNs();

// Sleeps for the given number of nanoseconds (0 only yields the processor).
void sleepNs(uint64_t ns);

inline void sleepMs(uint64_t ms) { sleepNs(ms * 1000000ull); }

}  // namespace platform

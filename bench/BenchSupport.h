#pragma once
// Small pieces the benchmark programs share: processor-time clocks, absolute sleeps and a
// stand-in picture. Header-only, since every bench/*.cpp is a program of its own.
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "channels/PictureBlocks.h"

namespace bench {

// Processor time of the whole process (every thread), in seconds.
inline double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Processor time of the calling thread alone, in seconds.
inline double threadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Sleeps until the given CLOCK_MONOTONIC time in nanoseconds, so schedules do not drift.
inline void sleepUntilMonotonic(uint64_t ns) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000ull);
  ts.tv_nsec = static_cast<long>(ns % 1000000000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// A picture-sized buffer of pseudo-random bytes that starts like a published picture (SOI and
// the time-stamp segment) and ends with EOI; consumers pass it on without decoding it.
inline std::vector<uint8_t> makePicture(uint32_t bytes, uint32_t seed) {
  std::vector<uint8_t> pic(bytes);
  uint32_t r = seed;
  for (auto& b : pic) {
    r = r * 1103515245u + 12345u;
    b = static_cast<uint8_t>(r >> 16);
  }
  pictureblocks::initHeader(pic.data());
  pic[bytes - 2] = 0xFF;
  pic[bytes - 1] = 0xD9;
  return pic;
}

}  // namespace bench

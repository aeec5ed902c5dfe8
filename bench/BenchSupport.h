#pragma once
// Small pieces the benchmark programs share: processor-time clocks, absolute sleeps, a
// stand-in picture, a gathering send and the median and minimum of rounds. Header-only, since
// every bench/*.cpp is a program of its own.
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
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

// Sends a part's head and body with one gathering send (more only when the socket takes less),
// as the channel's push sender hands a viewer its part. False when the connection failed.
inline bool sendPart(int fd, const void* head, size_t headLen, const void* body, size_t bodyLen) {
  iovec v[2] = {{const_cast<void*>(head), headLen}, {const_cast<void*>(body), bodyLen}};
  int first = 0;
  while (first < 2) {
    msghdr m{};
    m.msg_iov = v + first;
    m.msg_iovlen = size_t(2 - first);
    ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) return false;
    for (; first < 2 && size_t(n) >= v[first].iov_len; ++first) n -= ssize_t(v[first].iov_len);
    if (first < 2) {
      v[first].iov_base = static_cast<char*>(v[first].iov_base) + n;
      v[first].iov_len -= size_t(n);
    }
  }
  return true;
}

// The median and the minimum of a benchmark's rounds (0 for none).
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}
inline double least(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end()); }
inline double most(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); }

}  // namespace bench

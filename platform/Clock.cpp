#include "platform/Clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace platform {

static uint64_t readClock(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

uint64_t nowNs() { return readClock(CLOCK_REALTIME); }

uint64_t monotonicNs() { return readClock(CLOCK_MONOTONIC); }

void sleepNs(uint64_t ns) {
  if (ns == 0) {
    sched_yield();
    return;
  }
  timespec req{time_t(ns / 1000000000ull), long(ns % 1000000000ull)};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace platform

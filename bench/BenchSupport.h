#pragma once
// Small pieces the benchmark programs share: processor-time clocks, absolute sleeps, a
// stand-in picture, a gathering send, the median and minimum of rounds and a child process.
// Header-only, since every bench/*.cpp is a program of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channels/PictureBlocks.h"
#include "platform/Clock.h"

extern char** environ;

namespace bench {

// Processor time of the whole process (every thread), in seconds.
inline double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Processor time of another process (every thread, ended ones too), in seconds, to the
// nanosecond: /proc's counts are in clock ticks, too coarse for a few pictures a second. 0 when
// it cannot be read.
inline double cpuSecondsOf(pid_t pid) {
  clockid_t clock;
  timespec ts{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
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

// A child process started with posix_spawn; ended with SIGTERM (then SIGKILL) by the destructor.
class Child {
 public:
  // Standard output into outFile, error output into outFile + ".err".
  bool start(const std::vector<std::string>& args, const std::string& outFile) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, (outFile + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return spawn(args, fa);
  }
  // Standard output into the handle outFd (the caller's stays open), error output discarded.
  bool startWithOutput(const std::vector<std::string>& args, int outFd) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    return spawn(args, fa);
  }
  ~Child() { stop(); }
  void stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        return;
      }
      platform::sleepMs(10);
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }
  pid_t pid() const { return m_pid; }

 private:
  bool spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t& fa) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&m_pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) m_pid = -1;
    return m_pid > 0;
  }

  pid_t m_pid = -1;
};

// A loopback port that was free a moment ago.
inline uint16_t freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace bench

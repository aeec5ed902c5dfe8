#include "platform/Descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/Net.h"

namespace platform {

uint64_t raiseDescriptorLimit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
  if (r.rlim_cur < r.rlim_max) {
    rlimit raised = r;
    raised.rlim_cur = r.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) r = raised;
  }
  return r.rlim_cur == RLIM_INFINITY ? UINT64_MAX : uint64_t(r.rlim_cur);
}

uint64_t descriptorLimit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
  return r.rlim_cur == RLIM_INFINITY ? UINT64_MAX : uint64_t(r.rlim_cur);
}

int connectionDescriptorBound() {
  uint64_t limit = descriptorLimit();
  if (limit == 0 || limit > uint64_t(INT_MAX)) limit = uint64_t(INT_MAX);
  uint64_t reserve = 64 + limit / 16;
  if (reserve > limit / 4) reserve = limit / 4;
  return int(limit - reserve);
}

bool outOfDescriptors(int err) { return err == EMFILE || err == ENFILE; }

namespace {

int openSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

std::mutex g_spareLock;
int g_spare = openSpare();  // guarded by g_spareLock; taken at start, before the table fills

}  // namespace

bool shedConnection(int listenFd) {
  std::lock_guard<std::mutex> g(g_spareLock);
  if (g_spare < 0) g_spare = openSpare();  // taken back once descriptors are free again
  if (g_spare < 0) return false;
  ::close(g_spare);
  int err = 0;
  const int c = acceptTimed(listenFd, 0, nullptr, &err);  // never blocks on an empty backlog
  if (c >= 0) ::close(c);
  g_spare = openSpare();
  return c >= 0;
}

}  // namespace platform

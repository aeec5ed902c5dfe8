#include "platform/WakePipe.h"

#include <sys/eventfd.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

// An event counter rather than a pipe: one descriptor instead of two, and every endpoint,
// push sender and server has one.
WakePipe::WakePipe() : m_read(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakePipe::~WakePipe() {
  if (m_read >= 0) ::close(m_read);
}

void WakePipe::signal() {
  if (m_read < 0) return;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(m_read, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

void WakePipe::drain() {
  if (m_read < 0) return;
  uint64_t count;
  while (::read(m_read, &count, sizeof count) > 0) {
  }
}

int waitReadableEither(int fdA, int fdB, int64_t timeoutNs, bool* aReady, bool* bReady) {
  *aReady = *bReady = false;
  pollfd p[2] = {{fdA, POLLIN, 0}, {fdB, POLLIN, 0}};
  const int ms = timeoutNs < 0 ? -1 : int((timeoutNs + 999999) / 1000000);
  int r;
  do {
    r = ::poll(p, 2, ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return r;
  *aReady = fdA >= 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
  *bReady = p[1].revents & (POLLIN | POLLHUP | POLLERR);
  return 1;
}

}  // namespace platform

#include "platform/WakePipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

WakePipe::WakePipe() {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
    m_read = fds[0];
    m_write = fds[1];
  }
}

WakePipe::~WakePipe() {
  if (m_read >= 0) ::close(m_read);
  if (m_write >= 0) ::close(m_write);
}

void WakePipe::signal() {
  if (m_write < 0) return;
  const char byte = 1;
  ssize_t n;
  do {
    n = ::write(m_write, &byte, 1);
  } while (n < 0 && errno == EINTR);
}

void WakePipe::drain() {
  if (m_read < 0) return;
  char buf[64];
  while (::read(m_read, buf, sizeof buf) > 0) {
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

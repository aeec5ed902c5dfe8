#include "platform/WritableWait.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

WritableWait::WritableWait() { m_epoll = ::epoll_create1(EPOLL_CLOEXEC); }

WritableWait::~WritableWait() {
  if (m_epoll >= 0) ::close(m_epoll);
}

bool WritableWait::watchReadable(int readFd, void* tag) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = tag;
  return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, readFd, &ev) == 0;
}

bool WritableWait::armWritable(int fd, void* tag, bool* known) {
  epoll_event ev{};
  ev.events = EPOLLOUT | EPOLLONESHOT;
  ev.data.ptr = tag;
  if (::epoll_ctl(m_epoll, *known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  *known = true;
  return true;
}

void WritableWait::forget(int fd) { ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr); }

int WritableWait::wait(int64_t timeoutNs, void** tags, int maxTags) {
  epoll_event events[64];
  if (maxTags > 64) maxTags = 64;
  const int ms = timeoutNs < 0 ? -1 : int((timeoutNs + 999999) / 1000000);
  const int n = ::epoll_wait(m_epoll, events, maxTags, ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) tags[i] = events[i].data.ptr;
  return n;
}

ssize_t sendVecNow(int fd, const iovec* pieces, int count) {
  msghdr msg{};
  msg.msg_iov = const_cast<iovec*>(pieces);
  msg.msg_iovlen = static_cast<size_t>(count);
  ssize_t n;
  do {
    n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace platform

#pragma once
// Waits for many sockets at once until they take data again, plus one wake-up descriptor: the
// seam under the push-stream sender, which sends to every viewer of a channel from one thread
// and must never block on any one of them.
//
// A socket is armed after a send found it full and fires once (one-shot): a viewer that reads
// steadily costs no wake-ups at all, and one that hangs up is reported once, not forever.
// The owner's thread alone calls every member; descriptors stay the caller's.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>

namespace platform {

class WritableWait {
 public:
  WritableWait();
  ~WritableWait();
  WritableWait(const WritableWait&) = delete;
  WritableWait& operator=(const WritableWait&) = delete;

  bool ok() const { return m_epoll >= 0; }
  // Reports tag once readFd is readable, for as long as it is (the wake-up pipe).
  bool watchReadable(int readFd, void* tag);
  // Reports tag once, when fd takes data again or fails. *known: whether fd is already in the
  // set (updated); the first arm adds it.
  bool armWritable(int fd, void* tag, bool* known);
  // Takes fd out of the set; a report still pending for it is dropped with it.
  void forget(int fd);
  // Waits up to timeoutNs (< 0: no limit) and stores the tags of what is ready: their count,
  // 0 on time-out, -1 on error (errno kept).
  int wait(int64_t timeoutNs, void** tags, int maxTags);

 private:
  int m_epoll = -1;
};

// One gathering send that never waits (MSG_DONTWAIT, MSG_NOSIGNAL): bytes sent, or -1 with
// errno (EAGAIN: the socket is full).
ssize_t sendVecNow(int fd, const iovec* pieces, int count);

}  // namespace platform

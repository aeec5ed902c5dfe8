#pragma once
// A self-pipe that lets one thread wake another out of a wait on sockets: the waiting thread
// polls readFd() together with its own descriptors, any thread calls signal(). It is one
// non-blocking, close-on-exec event counter that lives as long as the object, so a wake-up never
// touches a descriptor that its owner may be closing or re-creating.
//
// signal() may be called from any thread (it is async-signal-safe); drain() and the waits only
// by the owning thread.
#include <cstdint>

namespace platform {

class WakePipe {
 public:
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  bool ok() const { return m_read >= 0; }
  int readFd() const { return m_read; }
  void signal();  // a full pipe already holds a wake-up: nothing is lost
  void drain();   // takes every pending wake-up

 private:
  int m_read = -1;  // read and written
};

// Waits until fdA or fdB is readable (fdA < 0 is left out), up to timeoutNs (< 0: no limit).
// 1 with *aReady/*bReady set, 0 on time-out, -1 on error (errno kept).
int waitReadableEither(int fdA, int fdB, int64_t timeoutNs, bool* aReady, bool* bReady);

}  // namespace platform

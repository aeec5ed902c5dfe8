#pragma once
// The thread base class of every long-lived activity (channels, consumers, servers, cleaners).
//
// It keeps the toolkit thread's interface (start, join, running, a virtual run body) but joins
// for real: the toolkit's own class forgets a thread whose body has already returned, so
// join() there neither waits nor releases the thread, and every ended connection or consumer
// thread would keep its stack for the life of the process.
//
// start() and join() are called by the owner's thread; running() from any thread. The owner
// always joins before destroying (the destructor joins a started thread as a last resort).
// A body that returns at once still counts as running until start() has recorded the thread,
// so whoever sees running() turn false (a reaper on another thread) can always join it.
#include <pthread.h>

#include <atomic>
#include <mutex>

class CThread {
 public:
  CThread() = default;
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Starts run() on a new thread. False when the thread cannot be created (errno tells why)
  // or was started before and not yet joined.
  bool start(unsigned long stackSize = 0);
  // Waits for run() to return and releases the thread. False when it was never started (or
  // already joined); a no-op for a thread that never ran.
  bool join();
  bool join(int& code);
  // True from a successful start() until run() has returned.
  bool running() const { return m_running.load(); }
  // True on the thread that start() made, while it runs (for the "own thread only" checks).
  bool isCurrent() const { return m_started && pthread_equal(m_thread, pthread_self()); }
  // The platform thread handle (for log lines); 0 when not started.
  unsigned long handle() const { return m_started ? static_cast<unsigned long>(m_thread) : 0; }
  // Marks the calling thread as one that works in bursts for throughput (a sender walking many
  // sockets): the scheduler then lets it finish its slice rather than switch to every thread
  // its sends wake. False when the platform refuses.
  static bool preferThroughput();

 protected:
  virtual int run() = 0;

 private:
  static void* trampoline(void* self);

  // Held by start() until the thread is recorded; the new thread passes it before run().
  std::mutex m_startLock;
  pthread_t m_thread{};
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_running{false};
  int m_code = 0;                   // written by the thread before it ends; read after join
};

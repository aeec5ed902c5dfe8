#include "platform/Thread.h"

#include <sched.h>

#include <cassert>
#include <cerrno>

CThread::~CThread() {
  // An owner that forgot to join would otherwise leave a thread running on a dead object.
  join();
}

void* CThread::trampoline(void* self) {
  CThread* t = static_cast<CThread*>(self);
  // Wait until start() has recorded this thread: a body that ended before that could be
  // reaped (seen not running) by another thread that would then find nothing to join, and
  // start() would write into an object that was deleted meanwhile.
  { std::lock_guard<std::mutex> recorded(t->m_startLock); }
  t->m_code = t->run();
  t->m_running = false;
  return nullptr;
}

bool CThread::preferThroughput() {
  sched_param p{};
  p.sched_priority = 0;
  return sched_setscheduler(0, SCHED_BATCH, &p) == 0;
}

bool CThread::start(unsigned long stackSize) {
  std::lock_guard<std::mutex> recording(m_startLock);
  if (m_started) return false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackSize) pthread_attr_setstacksize(&attr, stackSize);
  m_running = true;
  int rc = pthread_create(&m_thread, &attr, &CThread::trampoline, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    m_running = false;
    errno = rc;
    return false;
  }
  m_started = true;
  return true;
}

bool CThread::join() {
  int code;
  return join(code);
}

bool CThread::join(int& code) {
  if (!m_started) return false;
  assert(!isCurrent() && "a thread never joins itself");
  pthread_join(m_thread, nullptr);
  m_started = false;
  code = m_code;
  return true;
}

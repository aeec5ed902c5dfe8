#include "endpoint/CFalconCaller.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

// Shared by the owner and the capture thread, so that a thread left inside the library never
// touches a destroyed owner.
struct CFalconCaller::State {
  std::mutex lock;
  std::condition_variable changed;
  // Below guarded by lock.
  Capture fn = nullptr;
  FALCON_BOARD board = 0;
  int arg = 0;
  bool pending = false;  // a call was handed over and has not returned
  bool stop = false;
  int result = 0;
};

bool CFalconCaller::call(Capture fn, FALCON_BOARD board, int arg, unsigned waitMs, int* result) {
  if (!m_state) {
    m_state = std::make_shared<State>();
    try {
      m_thread = std::thread(captureLoop, m_state);
    } catch (const std::system_error&) {
      m_state.reset();
    }
    if (!m_state) {
      *result = fn(board, arg);
      return true;
    }
  }
  State& s = *m_state;
  std::unique_lock<std::mutex> guard(s.lock);
  if (s.pending) return false;
  s.fn = fn;
  s.board = board;
  s.arg = arg;
  s.pending = true;
  s.changed.notify_all();
  if (!s.changed.wait_for(guard, std::chrono::milliseconds(waitMs), [&s] { return !s.pending; }))
    return false;
  *result = s.result;
  return true;
}

bool CFalconCaller::busy() const {
  if (!m_state) return false;
  std::lock_guard<std::mutex> guard(m_state->lock);
  return m_state->pending;
}

CFalconCaller::~CFalconCaller() {
  if (!m_state) return;
  bool stuck;
  {
    std::lock_guard<std::mutex> guard(m_state->lock);
    stuck = m_state->pending;
    m_state->stop = true;
    m_state->changed.notify_all();
  }
  // Joining a thread that is inside a call which never returns would hang the shutdown.
  if (stuck)
    m_thread.detach();
  else
    m_thread.join();
}

void CFalconCaller::captureLoop(std::shared_ptr<State> s) {
  std::unique_lock<std::mutex> guard(s->lock);
  for (;;) {
    s->changed.wait(guard, [&s] { return s->pending || s->stop; });
    if (!s->pending) return;
    const Capture fn = s->fn;
    const FALCON_BOARD board = s->board;
    const int arg = s->arg;
    guard.unlock();
    const int result = fn(board, arg);
    guard.lock();
    s->result = result;
    s->pending = false;
    s->changed.notify_all();
    if (s->stop) return;
  }
}

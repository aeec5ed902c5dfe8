#pragma once
// Runs a board's image captures on a thread of its own, so that whoever asked can stop waiting
// for one that does not come back: a driver library stuck in a capture then holds that thread,
// not the channel thread, the board lock, the configuration pages or the shutdown.
//
// One call at a time: while a call that outlived its wait is still inside the library, busy()
// is true and every further call is refused at once, since the library is not to be entered
// again for that board until it has returned.
//
// Threads: call() from the board's users, under the board lock; busy() from any thread. The
// destructor joins the thread, or, when a call is still inside the library, leaves the thread
// to it (it ends by itself should the call ever return): it holds no reference to the owner.
#include <memory>
#include <thread>

#include "platform/FalconLib.h"

class CFalconCaller {
 public:
  using Capture = int (*)(FALCON_BOARD, int);

  CFalconCaller() = default;
  ~CFalconCaller();
  CFalconCaller(const CFalconCaller&) = delete;
  CFalconCaller& operator=(const CFalconCaller&) = delete;

  // fn(board, arg) on the capture thread, waiting at most waitMs for it. True with its result
  // in *result when it returned in time; false when it did not (it goes on, and busy() stays
  // true until it returns) or when an earlier call is still inside the library. Without a
  // capture thread (it could not be started) the call is made directly.
  bool call(Capture fn, FALCON_BOARD board, int arg, unsigned waitMs, int* result);
  // True while a call that outlived its wait has not returned.
  bool busy() const;

 private:
  struct State;
  static void captureLoop(std::shared_ptr<State> s);

  std::shared_ptr<State> m_state;  // created with the thread, at the first call
  std::thread m_thread;
};

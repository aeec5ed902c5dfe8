// Thread base: join must really wait for and release a thread, also one whose body already
// returned (the toolkit's own thread class forgets those, leaking one stack per thread).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/Thread.h"
#include "tests/support/PthreadHooks.h"

namespace {

struct Quick : CThread {
  int run() override { return 7; }
};

struct Waiting : CThread {
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  int run() override {
    while (!release) platform::sleepMs(1);
    finished = true;
    return 3;
  }
};

long vmSizeKb() {
  std::ifstream f("/proc/self/status");
  std::string l;
  while (std::getline(f, l))
    if (l.rfind("VmSize:", 0) == 0) return std::stol(l.substr(7));
  return -1;
}

}  // namespace

TEST(Thread, JoinReturnsTheBodysCodeEvenAfterTheBodyEnded) {
  Quick t;
  ASSERT_TRUE(t.start());
  while (t.running()) platform::sleepMs(1);
  int code = 0;
  EXPECT_TRUE(t.join(code));
  EXPECT_EQ(code, 7);
  EXPECT_FALSE(t.join());  // already joined
  EXPECT_TRUE(t.start());  // and can run again
  EXPECT_TRUE(t.join());
}

TEST(Thread, JoinWaitsForARunningBody) {
  Waiting t;
  ASSERT_TRUE(t.start());
  EXPECT_TRUE(t.running());
  EXPECT_FALSE(t.start());  // a started thread is not started twice
  t.release = true;
  int code = 0;
  EXPECT_TRUE(t.join(code));
  EXPECT_TRUE(t.finished);
  EXPECT_FALSE(t.running());
  EXPECT_EQ(code, 3);
}

TEST(Thread, JoinOfANeverStartedThreadIsANoOp) {
  Quick t;
  EXPECT_FALSE(t.running());
  EXPECT_FALSE(t.join());
}

TEST(Thread, EndedThreadsDoNotKeepTheirStacks) {
  const long before = vmSizeKb();
  for (int i = 0; i < 300; ++i) {
    Quick t;
    ASSERT_TRUE(t.start());
    while (t.running()) platform::sleepNs(0);
    t.join();
  }
  // 300 forgotten threads would hold about 2.4 GB of stack address space.
  EXPECT_LT(vmSizeKb() - before, 200 * 1024);
}

TEST(Thread, BodyEndingBeforeStartHasReturnedIsStillJoinedByAReaper) {
  struct Flagging : CThread {
    std::atomic<bool> ran{false};
    int run() override {
      ran = true;
      return 5;
    }
  } t;
  // A reaper on another thread joins the thread as soon as it sees the body has ended, as a
  // channel reaps its consumers; start() meanwhile returns late.
  std::atomic<int> joined{-1};
  std::thread reaper([&] {
    for (int i = 0; i < 3000 && !(t.ran && !t.running()); ++i) platform::sleepMs(1);
    int code = 0;
    joined = t.join(code) ? code : 0;
  });
  pthreadhooks::delayCreateReturn(static_cast<CThread*>(&t), 200);
  EXPECT_TRUE(t.start());
  reaper.join();
  pthreadhooks::reset();
  EXPECT_EQ(joined, 5) << "the reaper found nothing to join";
}

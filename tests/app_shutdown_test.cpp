// The close sequence over the global channel list: every channel stopped first, then each
// joined and destroyed, the list left empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/AppShutdown.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "platform/Clock.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

// What happened to the channels, in order, across threads.
struct EventLog {
  std::mutex lock;
  std::vector<std::string> events;
  void add(const std::string& e) {
    std::lock_guard<std::mutex> g(lock);
    events.push_back(e);
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> g(lock);
    return events;
  }
};

// A channel whose run loop registers itself like the real ones and then idles until stopped;
// it notes its stop, the end of its run and its destruction.
class FakeChannel : public CVideoCnl {
 public:
  FakeChannel(uint32_t index, EventLog* log, int lingerMs = 0)
      : CVideoCnl(1, index), m_log(log), m_lingerMs(lingerMs) {}
  ~FakeChannel() override {
    m_log->add("delete " + std::to_string(index()) + (running() ? " while running" : ""));
  }
  void stop() override {
    m_log->add("stop " + std::to_string(index()));
    CVideoCnl::stop();
  }
  std::string imageUrl(const std::string&, bool) override { return ""; }
  CNetAddr localAddr() override { return CNetAddr(); }
  CNetAddr peerAddr() override { return CNetAddr(); }
  std::string sourceTag() override { return "fake"; }
  std::atomic<bool> registered{false};

 protected:
  int run() override {
    registerChannel(this);
    registered = true;
    while (!stopping()) platform::sleepMs(2);
    // A channel that needs a while to wind down (closing a camera connection, say).
    platform::sleepMs(m_lingerMs);
    m_log->add("ended " + std::to_string(index()));
    return 0;
  }

 private:
  EventLog* m_log;
  int m_lingerMs;
};

// A channel whose thread is slow to get going (a loaded machine): its run only begins
// after a while, and only then would it list itself.
class LateRunningChannel : public FakeChannel {
 public:
  using FakeChannel::FakeChannel;

 protected:
  int run() override {
    platform::sleepMs(200);
    return FakeChannel::run();
  }
};

bool waitRegistered(const std::vector<FakeChannel*>& cnls) {
  const auto all = [&] {
    return std::all_of(cnls.begin(), cnls.end(), [](FakeChannel* c) { return bool(c->registered); });
  };
  return waitFor(all, 5000, 1);
}

}  // namespace

TEST(CloseAllChannels, StopsEveryChannelBeforeJoiningAndDestroyingThemInListOrder) {
  IsolatedHome home;
  EventLog log;
  std::vector<FakeChannel*> cnls;
  for (uint32_t i = 1; i <= 3; ++i) {
    cnls.push_back(new FakeChannel(i, &log, i == 1 ? 150 : 0));
    ASSERT_TRUE(cnls.back()->start());
    ASSERT_TRUE(waitRegistered({cnls.back()}));  // keeps the list order 1, 2, 3
  }
  ASSERT_EQ(snapshotChannels().size(), 3u);

  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(closeAllChannels(), 3u);
  const auto took = std::chrono::steady_clock::now() - t0;

  const std::vector<std::string> ev = log.get();
  ASSERT_EQ(ev.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(ev.begin(), ev.begin() + 3),
            (std::vector<std::string>{"stop 1", "stop 2", "stop 3"}));
  // Each channel is destroyed only after its run ended, and in list order.
  std::vector<std::string> deletes;
  for (size_t i = 3; i < ev.size(); ++i) {
    if (ev[i].compare(0, 6, "delete") == 0) {
      deletes.push_back(ev[i]);
      const std::string n = ev[i].substr(7, 1);
      EXPECT_NE(std::find(ev.begin(), ev.begin() + i, "ended " + n), ev.begin() + i) << ev[i];
    }
  }
  EXPECT_EQ(deletes, (std::vector<std::string>{"delete 1", "delete 2", "delete 3"}));
  EXPECT_TRUE(snapshotChannels().empty());
  // Stopped together, the slow channel's wind-down is not added to the others'.
  EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST(CloseAllChannels, ChannelAppendedLaterIsLeftForTheNextCall) {
  IsolatedHome home;
  EventLog log;
  auto* first = new FakeChannel(1, &log);
  ASSERT_TRUE(first->start());
  ASSERT_TRUE(waitRegistered({first}));
  EXPECT_EQ(closeAllChannels(), 1u);

  // A configuration submission may create a channel after the window closed; the entry point
  // runs the sequence again once the configuration server has ended.
  auto* late = new FakeChannel(2, &log);
  ASSERT_TRUE(late->start());
  ASSERT_TRUE(waitRegistered({late}));
  EXPECT_EQ(closeAllChannels(), 1u);
  EXPECT_EQ(closeAllChannels(), 0u);
  const std::vector<std::string> ev = log.get();
  EXPECT_EQ(ev, (std::vector<std::string>{"stop 1", "ended 1", "delete 1", "stop 2", "ended 2",
                                          "delete 2"}));
}

TEST(CloseAllChannels, ChannelWhoseThreadHasNotRunYetIsStillTakenDown) {
  IsolatedHome home;
  EventLog log;
  auto* cnl = new LateRunningChannel(1, &log);
  {
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    ASSERT_TRUE(startListedChannel(cnl));
  }
  EXPECT_EQ(closeAllChannels(), 1u);
  EXPECT_EQ(log.get(), (std::vector<std::string>{"stop 1", "ended 1", "delete 1"}));
  // Its own late registration did not list it a second time.
  EXPECT_TRUE(snapshotChannels().empty());
}

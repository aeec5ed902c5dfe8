// The frame store: how producer and consumers meet through the channel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "channels/CMXClient.h"
#include "platform/Clock.h"
#include "tests/support/TestChannel.h"
#include "tests/support/Waiting.h"

namespace {

TestChannel::Options manual() {
  TestChannel::Options o;
  o.periodMs = 0;
  o.withRecorder = false;
  return o;
}

}  // namespace

TEST(FrameStore, ConsumerHoldingCurrentPictureWaitsUntilNextPublication) {
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  ASSERT_GT(cnl.publishPicture(), 0u);
  FrameRec rec;
  ASSERT_TRUE(cnl.getNewFrame(rec));
  EXPECT_EQ(rec.sequence, 1u);
  EXPECT_EQ(rec.timestamp, cnl.lastTimestamp());
  const std::vector<uint8_t> first = cnl.lastPicture();
  ASSERT_EQ(rec.length, first.size());
  EXPECT_EQ(0, memcmp(rec.data, first.data(), first.size()));

  std::atomic<bool> got{false};
  std::atomic<bool> result{false};
  std::thread consumer([&] {
    result = cnl.getNewFrame(rec);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got) << "a consumer holding the current picture must wait";
  cnl.publishPicture();
  consumer.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(rec.sequence, 2u);
  int w = 0, h = 0;
  EXPECT_TRUE(TestChannel::decodeJpeg(rec.data, rec.length, &w, &h));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
}

TEST(FrameStore, WaitWithoutPublicationTimesOutAfterOneSecond) {
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  cnl.publishPicture();
  FrameRec rec;
  ASSERT_TRUE(cnl.getNewFrame(rec));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(cnl.getNewFrame(rec));
  const double ms = msSince(t0);
  EXPECT_GE(ms, 990);
  EXPECT_LT(ms, 1500);
}

TEST(FrameStore, ChannelWithoutPictureGivesFalse) {
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  cnl.setWaitTimeoutNs(100000000ull);
  FrameRec rec;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(cnl.getNewFrame(rec));
  EXPECT_GE(msSince(t0), 95);
  EXPECT_EQ(rec.length, 0u);
}

TEST(FrameStore, EmptyStepFailsEveryConsumerAndRaisesReconnect) {
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  cnl.setWaitTimeoutNs(300000000ull);
  cnl.publishPicture();
  FrameRec holder, fresh;
  ASSERT_TRUE(cnl.getNewFrame(holder));
  // init() raised the flag; a channel's run loop clears it after reopening its source.
  std::atomic<bool> waiterResult{true};
  std::thread waiter([&] { waiterResult = cnl.getNewFrame(holder); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  cnl.publishEmpty();
  waiter.join();
  EXPECT_FALSE(waiterResult);
  EXPECT_TRUE(cnl.reconnectPending());
  // A consumer that never had the picture gets false at once: the current record is empty.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(cnl.getNewFrame(fresh));
  EXPECT_LT(msSince(t0), 100);
  // The next good picture is delivered again.
  cnl.publishPicture();
  EXPECT_TRUE(cnl.getNewFrame(holder));
  EXPECT_EQ(holder.sequence, cnl.lastSequence());
}

TEST(FrameStore, ConsumerBufferGrowsByHalfAgainItsNeed) {
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  FrameRec rec;
  std::vector<uint8_t> pic(1000, 0xAB);
  ASSERT_TRUE(cnl.publishRaw(pic));
  ASSERT_TRUE(cnl.getNewFrame(rec));
  EXPECT_EQ(rec.capacity, 1500u);
  pic.assign(1500, 0xCD);
  ASSERT_TRUE(cnl.publishRaw(pic));
  ASSERT_TRUE(cnl.getNewFrame(rec));
  EXPECT_EQ(rec.capacity, 1500u) << "a picture that fits must not reallocate";
  EXPECT_EQ(rec.data[1499], 0xCD);
  pic.assign(1501, 0xEF);
  ASSERT_TRUE(cnl.publishRaw(pic));
  ASSERT_TRUE(cnl.getNewFrame(rec));
  EXPECT_EQ(rec.capacity, 2251u);
  EXPECT_EQ(rec.length, 1501u);
  EXPECT_EQ(rec.data[1500], 0xEF);
  // The frame buffers bound a picture at 512 KiB.
  EXPECT_FALSE(cnl.publishRaw(std::vector<uint8_t>(CVideoCnl::kFrameBufferSize + 1, 1)));
  EXPECT_TRUE(cnl.publishRaw(std::vector<uint8_t>(CVideoCnl::kFrameBufferSize, 2)));
  ASSERT_TRUE(cnl.getNewFrame(rec));
  EXPECT_EQ(rec.capacity, CVideoCnl::kFrameBufferSize / 2 * 3);
}

TEST(FrameStore, FrameWantedWakesAProducerWithALongPeriod) {
  TestChannel::Options o = manual();
  o.periodMs = 2000;
  o.wakeOnWanted = true;
  TestChannel cnl(o);
  ASSERT_TRUE(cnl.startChannel());
  FrameRec rec;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(cnl.getNewFrame(rec));
  EXPECT_LT(msSince(t0), 500);
  EXPECT_GE(cnl.wakeUps(), 1u);
}

// init() runs again after every form submission, while producer and consumers use the
// buffers: it must keep them (and the picture in them).
TEST(FrameStore, InitAgainKeepsTheBuffersAndThePicture) {
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  cnl.publishPicture();
  const std::vector<uint8_t> pic = cnl.lastPicture();
  FrameRec holder;
  ASSERT_TRUE(cnl.getNewFrame(holder));
  std::atomic<bool> result{false};
  std::thread waiter([&] { result = cnl.getNewFrame(holder); });
  ASSERT_TRUE(cnl.init());
  FrameRec fresh;
  ASSERT_TRUE(cnl.getNewFrame(fresh));
  ASSERT_EQ(fresh.length, pic.size());
  EXPECT_EQ(0, memcmp(fresh.data, pic.data(), pic.size()));
  cnl.publishPicture();
  waiter.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(holder.sequence, 2u);
}

TEST(FrameStore, StopWakesWaitingConsumersPromptly) {
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  cnl.publishPicture();
  FrameRec rec;
  ASSERT_TRUE(cnl.getNewFrame(rec));
  std::atomic<bool> result{true};
  std::chrono::steady_clock::time_point woke;
  std::thread waiter([&] {
    result = cnl.getNewFrame(rec);
    woke = std::chrono::steady_clock::now();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto t0 = std::chrono::steady_clock::now();
  cnl.stop();
  waiter.join();
  EXPECT_FALSE(result);
  const double ms = std::chrono::duration<double, std::milli>(woke - t0).count();
  EXPECT_LT(ms, 100);
}

namespace {

// A consumer that attaches and then either ends at once or loops until stopped.
class CountingClient : public CVideoClient {
 public:
  CountingClient(CVideoCnl* cnl, std::atomic<int>* destroyed, bool loop, uint32_t periodMs = 50)
      : CVideoClient(cnl, periodMs), m_destroyed(destroyed), m_loop(loop) {}
  ~CountingClient() override { ++*m_destroyed; }
  std::atomic<bool> attached{false};

 protected:
  int run() override {
    m_cnl->addClient(this);
    attached = true;
    while (m_loop && !stopping()) waitNewFrame();
    return 0;
  }

 private:
  std::atomic<int>* m_destroyed;
  bool m_loop;
};

}  // namespace

TEST(ChannelConsumers, EndedConsumerIsReapedByTheNextAttach) {
  std::atomic<int> destroyed{0};
  TestChannel cnl(manual());
  ASSERT_TRUE(cnl.startChannel());
  auto* quick = new CountingClient(&cnl, &destroyed, false);
  ASSERT_TRUE(quick->start());
  ASSERT_TRUE(waitFor([&] { return quick->attached && !quick->running(); }, 2000));
  EXPECT_EQ(cnl.clientCount(), 1u) << "an ended consumer stays listed until reaped";
  auto* second = new CountingClient(&cnl, &destroyed, true);
  ASSERT_TRUE(second->start());
  ASSERT_TRUE(waitFor([&] { return second->attached.load(); }, 2000));
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(cnl.clientCount(), 1u);
  cnl.reapClients();  // the running one stays
  EXPECT_EQ(cnl.clientCount(), 1u);
}

TEST(ChannelConsumers, DestroyingTheChannelStopsAndJoinsAttachedConsumers) {
  std::atomic<int> destroyed{0};
  std::chrono::steady_clock::time_point t0;
  {
    TestChannel::Options o = manual();
    o.periodMs = 40;
    TestChannel cnl(o);
    ASSERT_TRUE(cnl.startChannel());
    // One-second consumers are asleep in their pacing most of the time.
    for (int i = 0; i < 3; ++i)
      ASSERT_TRUE((new CountingClient(&cnl, &destroyed, true, 1000))->start());
    ASSERT_TRUE(waitFor([&] { return cnl.clientCount() == 3; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    t0 = std::chrono::steady_clock::now();
  }
  EXPECT_EQ(destroyed, 3);
  EXPECT_LT(msSince(t0), 300);
}

TEST(ChannelConsumers, ConsumerAttachingWhileTheChannelIsDestroyedIsStoppedAndJoined) {
  // Started just before its channel goes away (as a connection thread may do), it reaches
  // addClient only while the channel's destructor runs.
  class LateClient : public CVideoClient {
   public:
    LateClient(CVideoCnl* cnl, std::atomic<int>* destroyed)
        : CVideoClient(cnl, 50), m_destroyed(destroyed) {}
    ~LateClient() override { ++*m_destroyed; }

   protected:
    int run() override {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      m_cnl->addClient(this);
      while (!stopping()) waitNewFrame();
      return 0;
    }

   private:
    std::atomic<int>* m_destroyed;
  };
  std::atomic<int> destroyed{0};
  {
    TestChannel cnl(manual());
    ASSERT_TRUE(cnl.startChannel());
    ASSERT_TRUE((new LateClient(&cnl, &destroyed))->start());
  }
  EXPECT_EQ(destroyed, 1) << "the consumer outlived its channel";
}

TEST(VideoClient, PeriodIsClampedTo50To1000Ms) {
  TestChannel cnl(manual());
  std::atomic<int> destroyed{0};
  CountingClient fast(&cnl, &destroyed, false);
  EXPECT_EQ(fast.periodNs(), 50000000ull);
  struct Plain : CVideoClient {
    Plain(CVideoCnl* c, uint32_t ms) : CVideoClient(c, ms) {}
    int run() override { return 0; }
  };
  EXPECT_EQ(Plain(&cnl, 0).periodNs(), 50000000ull);
  EXPECT_EQ(Plain(&cnl, 333).periodNs(), 333000000ull);
  EXPECT_EQ(Plain(&cnl, 5000).periodNs(), 1000000000ull);
}

TEST(FrameStore, SharedPictureIsOneFrozenCopyPerPublication) {
  TestChannel cnl(manual());
  cnl.setWaitTimeoutNs(100000000ull);
  ASSERT_TRUE(cnl.startChannel());
  cnl.publishPicture();
  const std::vector<uint8_t> first = cnl.lastPicture();
  std::shared_ptr<const SharedPicture> a, b;
  ASSERT_TRUE(cnl.getNewPicture(a, 0));
  ASSERT_TRUE(cnl.getNewPicture(b, 0));
  EXPECT_EQ(a.get(), b.get()) << "consumers share the picture instead of copying it";
  ASSERT_EQ(first.size(), a->length);
  EXPECT_EQ(0, memcmp(a->data.get(), first.data(), first.size()));
  EXPECT_FALSE(cnl.getNewPicture(b, a->timestamp)) << "never the same picture twice";

  // A later publication gives a new picture; the one still being sent stays intact.
  cnl.publishPicture();
  cnl.publishPicture();
  ASSERT_TRUE(cnl.getNewPicture(b, a->timestamp));
  EXPECT_EQ(3u, b->sequence);
  EXPECT_EQ(1u, a->sequence);
  EXPECT_EQ(0, memcmp(a->data.get(), first.data(), first.size()));
  cnl.publishEmpty();
  EXPECT_FALSE(cnl.getNewPicture(b, b->timestamp));
}

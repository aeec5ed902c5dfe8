// IP channels against cameras that send as real ones do: one picture per interval asked for
// (evenly or unevenly), back to back as fast as the connection drains, one picture per
// connection, or good pictures before a broken part. Every picture such a camera sends in time
// is published, on one connection for as long as the camera keeps it.
#include "tests/ipcam_fixture.h"

#include "channels/PictureBlocks.h"

using namespace ipcamtest;
using fakecam::Misbehave;
using fakecam::Pace;

namespace {

class IpcamPacing : public IpcamTest {
 protected:
  // The stamped frame numbers of every picture the channel made current while cond was false
  // (bounded by ms), looked at every 10 ms without asking the channel for pictures.
  std::vector<uint64_t> framesShown(const std::function<bool()>& cond, int ms) {
    std::vector<uint64_t> frames;
    uint64_t last = 0;
    waitFor([&] {
      std::shared_ptr<const SharedPicture> pic;
      const uint64_t t = cnl->currentPicture(pic);
      uint64_t frame = 0, us = 0;
      if (pic && t != last && fakecam::readStamp(pic->data.get(), pic->length, &frame, &us)) frames.push_back(frame);
      last = t;
      return cond();
    }, ms);
    return frames;
  }
};

// Four families whose stream requests ask for an interval, each camera sending exactly that
// (Panasonic's period snaps from 2.5 to 4 s), evenly and with intervals 30 % off either way:
// 8 s on the connection they started with, no reconnect, and never a period without a picture.
TEST_F(IpcamPacing, CamerasSendingAtTheAskedIntervalKeepTheirConnection) {
  struct Fam {
    const char* name;
    int type;
  } fams[] = {{"lilin", 2}, {"toshiba", 4}, {"sony", 5}, {"panasonic", 6}};
  struct Run {
    std::string what;
    double jitter;
    std::unique_ptr<fakecam::Server> cam;
    std::unique_ptr<CIPVideoCnl> cnl;
    size_t accepted = 0;
    uint64_t published = 0, lastChangeMs = 0, longestGapMs = 0;
  };
  std::vector<Run> runs;
  uint32_t index = 1;
  for (double jitter : {0.0, 0.3}) {
    for (const Fam& f : fams) {
      Run r;
      r.what = std::string(f.name) + (jitter > 0 ? " with jitter" : "");
      r.jitter = jitter;
      fakecam::Options o;
      o.family = f.name;
      o.pace = Pace::Asked;
      o.jitter = jitter;
      r.cam.reset(new fakecam::Server(o));
      ASSERT_TRUE(r.cam->start());
      configure(f.type, index, r.cam->port());
      recordingOn(f.type, index, 2500);
      r.cnl.reset(static_cast<CIPVideoCnl*>(createIPChannel(f.type, index++)));
      r.cnl->setRequestPauseMs(5);
      r.cnl->setRetryPauseMs(20);
      ASSERT_TRUE(r.cnl->init());
      ASSERT_TRUE(r.cnl->start());
      runs.push_back(std::move(r));
    }
  }
  ASSERT_TRUE(waitFor([&] {
    for (const Run& r : runs)
      if (r.cnl->counters().published.load() == 0) return false;
    return true;
  }, 6000));
  const auto t0 = std::chrono::steady_clock::now();
  auto sinceMs = [&] {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
  };
  for (Run& r : runs) {
    r.accepted = r.cam->connectionsAccepted();
    r.published = r.cnl->counters().published.load();
  }
  // Each publication ends a gap; the time after the last one is a gap too.
  waitFor([&] {
    const uint64_t now = sinceMs();
    for (Run& r : runs) {
      const uint64_t p = r.cnl->counters().published.load();
      if (p != r.published) r.lastChangeMs = now;
      r.published = p;
      r.longestGapMs = std::max(r.longestGapMs, now - r.lastChangeMs);
    }
    return false;
  }, 8000);
  for (Run& r : runs) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(r.cam->connectionsAccepted(), r.accepted);
    EXPECT_EQ(r.cnl->counters().reconnects.load(), 0u);
    const uint64_t periodMs = uint64_t(r.cnl->framePeriodNs() / 1000000);
    EXPECT_LE(r.longestGapMs, uint64_t(periodMs * (1 + r.jitter)) + 400) << "period " << periodMs << " ms";
    r.cnl->stop();
  }
  for (Run& r : runs) r.cnl->join();
  std::lock_guard<std::mutex> g(g_cnlListLock);
  g_cnlList.clear();
}

// A camera that fills its link: every fetch publishes the newest complete part of what has
// arrived, however long the backlog, and every part received is published or counted dropped.
TEST_F(IpcamPacing, GaplessStreamPublishesTheNewestPartOfItsBacklog) {
  startCam("axis", Misbehave::None, [](fakecam::Options& o) {
    o.pace = Pace::Gapless;
    o.stamp = true;
  });
  configure(1, 1, cam->port());
  recordingOn(1, 1, 300);
  startChannel(1, 1);
  const std::vector<uint64_t> frames = framesShown([] { return false; }, 3000);
  ASSERT_GE(frames.size(), 5u);
  // Whole backlogs were stepped over: far more parts arrived than were published.
  EXPECT_GT(frames.back() - frames.front(), 20 * (frames.size() - 1));
  EXPECT_EQ(cnl->counters().reconnects.load(), 0u);
}

// One picture per connection, then the camera closes: each is published, and the channel asks
// again once per period, not as fast as the camera answers.
TEST_F(IpcamPacing, CameraClosingAfterEachPictureHasEachPublished) {
  startCam("vivotec", Misbehave::None, [](fakecam::Options& o) { o.closeAfterPart = true; });
  configure(7, 1, cam->port());
  recordingOn(7, 1, 300);
  startChannel(7, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  const uint64_t published = cnl->counters().published.load();
  EXPECT_GE(published, 5u);
  EXPECT_LE(cam->connectionsAccepted(), 3000 / 300 + 2u);
  EXPECT_LE(cam->connectionsAccepted(), published + 2);
}

// Five good parts, then a lying length or garbage: the fifth is published before the channel
// reconnects, and what arrived whole is either published or counted dropped.
TEST_F(IpcamPacing, GoodPartsBeforeABrokenOneArePublishedFirst) {
  for (Misbehave m : {Misbehave::LyingLength, Misbehave::Garbage}) {
    SCOPED_TRACE(m == Misbehave::Garbage ? "garbage" : "lying length");
    startCam("axis", m, [](fakecam::Options& o) {
      o.goodParts = 5;
      o.stamp = true;
      o.fps = 25;
    });
    configure(1, 1, cam->port());
    recordingOn(1, 1, 1000);
    startChannel(1, 1);
    ChannelCounters& n = cnl->counters();
    const std::vector<uint64_t> frames = framesShown([&] { return n.reconnects.load() > 0; }, 8000);
    EXPECT_NE(std::find(frames.begin(), frames.end(), 5u), frames.end()) << frames.size() << " shown";
    cnl->stop();
    cnl->join();
    EXPECT_EQ(n.received.load(), n.published.load() + n.dropped.load());
    stopChannel();
    cam.reset();
  }
}

}  // namespace

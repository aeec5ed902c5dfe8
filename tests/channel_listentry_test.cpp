// A channel's row in the window's list: texts kept, changes forwarded to the sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "channels/CnlList.h"
#include "channels/CnlListEntry.h"
#include "platform/Clock.h"
#include "tests/support/TestChannel.h"

namespace {

struct Event {
  uint64_t id;
  bool removed;
  int state;
  std::string text;
};

class RecordingSink : public CnlListSink {
 public:
  void entryChanged(uint64_t id, int state, const std::string& text) override {
    std::lock_guard<std::mutex> g(lock);
    events.push_back({id, false, state, text});
  }
  void entryRemoved(uint64_t id) override {
    std::lock_guard<std::mutex> g(lock);
    events.push_back({id, true, 0, ""});
  }
  std::mutex lock;
  std::vector<Event> events;
};

class ListEntry : public ::testing::Test {
 protected:
  void SetUp() override { setCnlListSink(&sink); }
  void TearDown() override { setCnlListSink(nullptr); }
  RecordingSink sink;
};

}  // namespace

TEST_F(ListEntry, ChangesAreForwardedWithTheFullText) {
  uint64_t id;
  {
    CnlListEntry e;
    EXPECT_FALSE(e.shown());
    e.setAll(2, "Gate", "10.0.0.5:80", "Connecting...");
    EXPECT_TRUE(e.shown());
    e.setStateText("Connecting...");  // unchanged: no repaint
    e.setState(1);
    e.setStateText("running");
    ASSERT_EQ(sink.events.size(), 3u);
    id = sink.events[0].id;
    EXPECT_EQ(sink.events[0].text, "Gate (10.0.0.5:80) Connecting...");
    EXPECT_EQ(sink.events[1].state, 1);
    EXPECT_EQ(sink.events[2].text, "Gate (10.0.0.5:80) running");
    EXPECT_EQ(e.text(), "Gate (10.0.0.5:80) running");
  }
  ASSERT_EQ(sink.events.size(), 4u);
  EXPECT_TRUE(sink.events[3].removed) << "destroying the entry removes the row";
  EXPECT_EQ(sink.events[3].id, id);
}

TEST_F(ListEntry, EntriesHaveDistinctIdsAndAreCreatedOnFirstUse) {
  CnlListEntry a, b;
  a.setName("A");
  b.setAddress("Not bound");
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_NE(sink.events[0].id, sink.events[1].id);
  EXPECT_EQ(sink.events[1].text, " (Not bound) ");
  a.remove();
  a.remove();  // only once
  EXPECT_EQ(sink.events.size(), 3u);
}

TEST_F(ListEntry, Latin1UmlautsBecomeUtf8) {
  CnlListEntry e;
  e.setAll(1, "T\xE4r \xC4 \xF6\xD6 \xFC\xDC \xDF", "x", "y");
  EXPECT_EQ(e.text(), "T\xC3\xA4r \xC3\x84 \xC3\xB6\xC3\x96 \xC3\xBC\xC3\x9C \xC3\x9F (x) y");
  e.setName("Gro\xDF T\xFCr");
  EXPECT_EQ(sink.events.back().text, "Gro\xC3\x9F T\xC3\xBCr (x) y");
  // Czech, Hebrew and Japanese names are already UTF-8 and stay exactly as they are.
  const std::string utf8 = "\xC4\x8C\x65sk\xC3\xBD \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xE6\x9D\xB1\xE4\xBA\xAC";
  e.setName(utf8);
  EXPECT_EQ(e.text(), utf8 + " (x) y");
}

TEST_F(ListEntry, RunningChannelRegistersAndShowsItsName) {
  TestChannel::Options o;
  o.periodMs = 0;
  o.withRecorder = false;
  o.registerInList = true;
  const size_t before = snapshotChannels().size();
  {
    TestChannel cnl(o, 7, 3);
    ASSERT_TRUE(cnl.startChannel());
    for (int i = 0; i < 200 && !cnl.listEntry().shown(); ++i) platform::sleepMs(5);
    EXPECT_EQ(cnl.listEntry().name(), "Channel 7 3") << "an unnamed channel shows its section";
    const auto list = snapshotChannels();
    EXPECT_NE(std::find(list.begin(), list.end(), &cnl), list.end());
  }
  EXPECT_EQ(snapshotChannels().size(), before);
}

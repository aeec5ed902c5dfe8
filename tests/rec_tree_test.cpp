// The recording tree on disk (scan, removal, links, FIFOs) and the cleaner's decisions,
// driven directly on real directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "recording/CRecCleaner.h"
#include "recording/EventTree.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestEnv.h"

namespace {

const uint64_t kBaseUs = 1700000000000000ull;

// Writes event n with a stamped E00000.jpg at timeUs and an M00001.jpg of extra bytes.
void writeEvent(const std::string& cnlDir, uint32_t n, uint64_t timeUs, size_t extra = 0) {
  std::string dir = eventtree::eventDir(cnlDir, n);
  ASSERT_TRUE(eventtree::createPath(dir));
  std::vector<uint8_t> jpeg = TestChannel::makeJpeg(32, 32, 50, n);
  std::vector<uint8_t> pic = TestChannel::wrapPicture(jpeg, "cam", "a", timeUs * 1000, n, 32, 32);
  ASSERT_TRUE(writeFile(dir + "E00000.jpg", std::string(pic.begin(), pic.end())));
  if (extra) {
    ASSERT_TRUE(writeFile(dir + "M00001.jpg", std::string(extra, 'x')));
  }
  ASSERT_TRUE(writeFile(dir + "INFO.jpg", "info"));
}

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

TEST(EventTreeScan, FindsOldestAndNewestByTimeAcrossTheWrap) {
  TempDir tmp;
  std::string cnl = tmp.path() + "/";
  // Numbers wrapped: 999998 and 999999 are older than 0 and 1.
  writeEvent(cnl, 999998, kBaseUs + 1, 1000);
  writeEvent(cnl, 999999, kBaseUs + 2, 1000);
  writeEvent(cnl, 0, kBaseUs + 3, 1000);
  writeEvent(cnl, 1, kBaseUs + 4, 1000);
  std::vector<std::string> unknown;
  eventtree::ScanResult r = eventtree::scanTree(cnl, [&](const std::string& p) { unknown.push_back(p); });
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.oldestEvent, 999998u);
  EXPECT_EQ(r.newestEvent, 1u);
  EXPECT_EQ(r.oldestUs, kBaseUs + 1);
  EXPECT_EQ(r.events, 4u);
  EXPECT_TRUE(unknown.empty());
  // INFO.jpg is not counted; E00000.jpg and M00001.jpg are.
  uint64_t expected = 0;
  for (uint32_t n : {999998u, 999999u, 0u, 1u})
    expected += 1000 + eventtree::regularFileSize(eventtree::eventDir(cnl, n) + "E00000.jpg");
  EXPECT_EQ(r.bytes, expected);
}

TEST(EventTreeScan, OddDirectoriesAndUnreadableEvents) {
  TempDir tmp;
  std::string cnl = tmp.path() + "/";
  writeEvent(cnl, 5, kBaseUs + 5, 100);
  writeEvent(cnl, 999005, kBaseUs + 9, 100);  // top "999" is accepted
  ASSERT_TRUE(eventtree::createPath(cnl + "abc/001"));
  ASSERT_TRUE(eventtree::createPath(cnl + "000/x1y"));
  ASSERT_TRUE(eventtree::createPath(cnl + ".hi"));
  // An event without a readable time: neither chosen nor counted.
  ASSERT_TRUE(eventtree::createPath(cnl + "000/007"));
  ASSERT_TRUE(writeFile(cnl + "000/007/E00000.jpg", "not a picture"));
  ASSERT_TRUE(writeFile(cnl + "000/007/M00001.jpg", std::string(5000, 'y')));
  std::vector<std::string> unknown;
  eventtree::ScanResult r = eventtree::scanTree(cnl, [&](const std::string& p) { unknown.push_back(p); });
  EXPECT_EQ(r.events, 2u);
  EXPECT_EQ(r.oldestEvent, 5u);
  EXPECT_EQ(r.newestEvent, 999005u);
  EXPECT_LT(r.bytes, 5000u);
  std::sort(unknown.begin(), unknown.end());
  EXPECT_EQ(unknown, (std::vector<std::string>{cnl + "000/x1y", cnl + "abc"}));
}

TEST(EventTreeScan, NeverEntersLinksNorBlocksOnFifos) {
  TempDir tmp;
  std::string cnl = tmp.path() + "/cnl/";
  std::string outside = tmp.path() + "/outside/";
  writeEvent(cnl, 1, kBaseUs + 1, 10);
  writeEvent(outside, 2, kBaseUs + 2, 1000000);
  // A linked event directory and a linked top directory: not part of the tree.
  ASSERT_EQ(symlink(eventtree::eventDir(outside, 2).c_str(), (cnl + "000/002").c_str()), 0);
  ASSERT_EQ(symlink((outside + "000").c_str(), (cnl + "005").c_str()), 0);
  // A FIFO named like the first picture of an event.
  ASSERT_TRUE(eventtree::createPath(cnl + "000/003"));
  ASSERT_EQ(mkfifo((cnl + "000/003/E00000.jpg").c_str(), 0600), 0);
  auto scan = std::async(std::launch::async, [&] { return eventtree::scanTree(cnl, nullptr); });
  if (scan.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    int fd = open((cnl + "000/003/E00000.jpg").c_str(), O_RDWR);  // unblock it before failing
    ADD_FAILURE() << "the scan blocked on a FIFO";
    scan.wait();
    close(fd);
    return;
  }
  eventtree::ScanResult r = scan.get();
  EXPECT_EQ(r.events, 1u);
  EXPECT_EQ(r.newestEvent, 1u);
  EXPECT_LT(r.bytes, 100000u);
}

TEST(EventTreeRemove, CountsFilesAndLeavesLinkTargets) {
  TempDir tmp;
  std::string cnl = tmp.path() + "/cnl/";
  std::string outside = tmp.path() + "/outside/";
  writeEvent(cnl, 1, kBaseUs, 3000);
  writeEvent(outside, 2, kBaseUs, 7000);
  std::string ev = eventtree::eventDir(cnl, 1);
  ASSERT_EQ(symlink(outside.c_str(), (ev + "link").c_str()), 0);
  ASSERT_EQ(symlink(eventtree::eventDir(outside, 2).c_str(), (cnl + "000/002").c_str()), 0);
  uint64_t expected = eventtree::regularFileSize(ev + "E00000.jpg") + 3000 + 4;  // + INFO.jpg
  EXPECT_EQ(eventtree::removeTree(ev), expected);
  EXPECT_FALSE(exists(ev));
  EXPECT_EQ(eventtree::removeTree(cnl + "000/002/"), 0u) << "a link frees nothing";
  EXPECT_FALSE(exists(cnl + "000/002"));
  EXPECT_EQ(eventtree::regularFileSize(eventtree::eventDir(outside, 2) + "M00001.jpg"), 7000u);
  EXPECT_EQ(eventtree::removeTree(cnl + "nothing"), 0u);
}

TEST(EventTreeCreate, NestedAndRefusedPaths) {
  TempDir tmp;
  EXPECT_TRUE(eventtree::createPath(tmp.path() + "/a/b/c/"));
  EXPECT_TRUE(eventtree::createPath(tmp.path() + "/a/b/c"));
  EXPECT_TRUE(eventtree::createPath("/"));
  ASSERT_TRUE(writeFile(tmp.path() + "/file", "x"));
  EXPECT_FALSE(eventtree::createPath(tmp.path() + "/file/sub/"));
  EXPECT_FALSE(eventtree::createPath(tmp.path() + "/file"));
}

// ---- The cleaner, against a fake owner ----

class FakeOwner : public RecCleanerOwner {
 public:
  bool active = true;
  uint32_t quota = 0;
  uint64_t age = 0;
  std::atomic<uint32_t> used{0};
  std::string dir;
  std::mutex lock;
  erdinfo::Record rec;

  bool cleanerActive() const override { return active; }
  uint32_t quotaKB() const override { return quota; }
  uint64_t maxAgeNs() const override { return age; }
  uint32_t usedKB() const override { return used; }
  void subtractUsedKB(uint32_t kb) override { used = used > kb ? used - kb : 0; }
  std::string cleanerDir() const override { return dir; }
  std::mutex& indexLock() override { return lock; }
  erdinfo::Record& indexRecord() override { return rec; }
};

class CleanerTest : public ::testing::Test {
 protected:
  void SetUp() override { owner.dir = tmp.path() + "/"; }
  // Events first..last (wrapping), one second apart, 10 KB of sequence data each.
  void makeEvents(uint32_t first, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) writeEvent(owner.dir, (first + i) % erdinfo::kEventCount, kBaseUs + i * 1000000ull, 10240);
    owner.rec.oldest = first;
    owner.rec.oldestStamp.seconds = uint32_t(kBaseUs / 1000000);
    owner.rec.newest = (first + count - 1) % erdinfo::kEventCount;
  }
  bool has(uint32_t n) { return exists(eventtree::eventDir(owner.dir, n)); }
  uint64_t now = (kBaseUs + 100 * 1000000ull) * 1000;  // 100 s after the first event
  TempDir tmp;
  FakeOwner owner;
  CRecCleaner cleaner{&owner};
};

TEST_F(CleanerTest, NoLimitsNeverDelete) {
  makeEvents(1, 3);
  owner.used = 1u << 30;
  EXPECT_FALSE(cleaner.cleanOnce(now + 1000000000000000ull));
  EXPECT_TRUE(has(1));
}

TEST_F(CleanerTest, NewestIsNeverDeleted) {
  makeEvents(4, 1);
  owner.age = 1;
  owner.quota = 1;
  owner.used = 1000;
  EXPECT_FALSE(cleaner.cleanOnce(now));
  EXPECT_TRUE(has(4));
}

TEST_F(CleanerTest, InactiveOwnerIsLeftAlone) {
  makeEvents(1, 3);
  owner.age = 1;
  owner.active = false;
  EXPECT_FALSE(cleaner.cleanOnce(now));
  EXPECT_TRUE(has(1));
}

TEST_F(CleanerTest, AgeDeletesOldestAndSkipsUnreadableEvents) {
  makeEvents(1, 4);
  ASSERT_TRUE(writeFile(eventtree::eventDir(owner.dir, 2) + "E00000.jpg", "garbage"));
  owner.age = 50ull * 1000000000ull;  // the oldest stamp is 100 s old
  EXPECT_TRUE(cleaner.cleanOnce(now));
  EXPECT_FALSE(has(1));
  EXPECT_TRUE(has(2)) << "only one event per cycle";
  EXPECT_EQ(owner.rec.oldest, 3u) << "event 2 has no readable time and is skipped";
  EXPECT_EQ(owner.rec.oldestStamp.event, 3u);
  EXPECT_EQ(owner.rec.oldestStamp.seconds, uint32_t(kBaseUs / 1000000) + 2);
  // Event 3 is 98 s old: still too old; event 4 is the newest and stays.
  EXPECT_TRUE(cleaner.cleanOnce(now));
  EXPECT_EQ(owner.rec.oldest, 3u) << "no readable event before the newest: unchanged";
  EXPECT_TRUE(has(2));
  EXPECT_TRUE(has(4));
}

TEST_F(CleanerTest, QuotaDeletesUntilWithinAndCountsFreedSpace) {
  makeEvents(998, 5);  // 998, 999 in top 000; 1000..1002 in top 001
  owner.used = 5 * 12;
  owner.quota = 30;
  int deleted = 0;
  while (cleaner.cleanOnce(now) && deleted < 10) ++deleted;
  EXPECT_EQ(deleted, 3);
  EXPECT_LE(owner.used.load(), 30u);
  EXPECT_FALSE(exists(owner.dir + "000")) << "an emptied top directory is removed";
  EXPECT_TRUE(exists(owner.dir + "001"));
  EXPECT_EQ(owner.rec.oldest, 1001u);
  EXPECT_TRUE(has(1002));
}

TEST_F(CleanerTest, SearchFollowsTheNumberWrap) {
  makeEvents(999998, 6);  // 999998, 999999, 0, 1, 2, 3
  eventtree::removeTree(eventtree::eventDir(owner.dir, 999999));
  eventtree::removeTree(eventtree::eventDir(owner.dir, 0));
  owner.age = 1;
  EXPECT_TRUE(cleaner.cleanOnce(now));
  EXPECT_EQ(owner.rec.oldest, 1u);
  EXPECT_EQ(owner.rec.newest, 3u);
}

TEST_F(CleanerTest, LinkedOldestEventGoesButItsTargetStays) {
  TempDir outside;
  std::string target = outside.path() + "/keep/";
  ASSERT_TRUE(eventtree::createPath(target));
  ASSERT_TRUE(writeFile(target + "M00001.jpg", std::string(4096, 'k')));
  makeEvents(2, 2);
  ASSERT_TRUE(eventtree::createPath(owner.dir + "000"));
  ASSERT_EQ(symlink(target.c_str(), (owner.dir + "000/001").c_str()), 0);
  owner.rec.oldest = 1;
  owner.used = 100;
  owner.age = 1;
  EXPECT_TRUE(cleaner.cleanOnce(now));
  EXPECT_FALSE(exists(owner.dir + "000/001"));
  EXPECT_EQ(eventtree::regularFileSize(target + "M00001.jpg"), 4096u);
  EXPECT_EQ(owner.used.load(), 100u) << "the link freed nothing";
  EXPECT_EQ(owner.rec.oldest, 2u);
}

TEST_F(CleanerTest, ThreadCleansEachCycleAndStopsPromptly) {
  makeEvents(1, 3);
  owner.age = 1;
  cleaner.setCyclePeriodNs(20000000ull);
  ASSERT_TRUE(cleaner.start());
  for (int i = 0; i < 200 && has(2); ++i) usleep(10000);
  auto t0 = std::chrono::steady_clock::now();
  cleaner.setCyclePeriodNs(CRecCleaner::kCyclePeriodNs);
  cleaner.requestStop();
  cleaner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_FALSE(has(1));
  EXPECT_FALSE(has(2));
  EXPECT_TRUE(has(3)) << "the newest stays";
}

}  // namespace

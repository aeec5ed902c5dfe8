// The recorder running on a real test channel: files of an event, the index accepted,
// rebuilt or caught up, the number wrap, a root that appears late, and a full disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "recording/CRecVideoClient.h"
#include "recording/EventTree.h"
#include "recording/IndexFile.h"
#include "tests/support/PthreadHooks.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

const char* kSection = "Channel 1 1";  // TestChannel(type 1, index 1)

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// The log lines written since `start` (lineCount() at that time), newest first.
std::string logSince(size_t start) {
  size_t n = g_logFile.lineCount();
  return n > start ? g_logFile.logText(unsigned(n - start)) : "";
}

size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

void writeIndex(const std::string& cnlDir, const erdinfo::Record& rec, uint32_t headerSize = 332,
                bool closedCleanly = false) {
  IndexFile f;
  ASSERT_TRUE(eventtree::createPath(cnlDir));
  ASSERT_EQ(f.rebuild(cnlDir, rec), IndexFile::Rebuild::Written);
  EXPECT_TRUE(!closedCleanly || f.writeCleanMark(rec));
  f.close();
  if (headerSize != 332) {
    std::string bytes = readFile(IndexFile::pathIn(cnlDir));
    putLE32(reinterpret_cast<uint8_t*>(&bytes[8]), headerSize);
    ASSERT_TRUE(writeFile(IndexFile::pathIn(cnlDir), bytes));
  }
}

erdinfo::Record readIndex(const std::string& cnlDir) {
  std::string bytes = readFile(IndexFile::pathIn(cnlDir));
  EXPECT_EQ(bytes.size(), erdinfo::kFileSize);
  if (bytes.size() != erdinfo::kFileSize) return erdinfo::Record();
  return erdinfo::decodeRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + erdinfo::kHeaderSize);
}

void writeStampedEvent(const std::string& cnlDir, uint32_t n, uint64_t timeNs) {
  std::string dir = eventtree::eventDir(cnlDir, n);
  ASSERT_TRUE(eventtree::createPath(dir));
  std::vector<uint8_t> pic =
      TestChannel::wrapPicture(TestChannel::makeJpeg(32, 32, 50, n), "x", "a", timeNs, n, 32, 32);
  ASSERT_TRUE(writeFile(dir + "E00000.jpg", std::string(pic.begin(), pic.end())));
  ASSERT_TRUE(writeFile(dir + "M00001.jpg", std::string(2048, 'm')));
}

// Gives event n a sequence file that counts 1 GB (sparse: it takes no room on the disk).
void addHugeFile(const std::string& cnlDir, uint32_t n) {
  const std::string file = eventtree::eventDir(cnlDir, n) + "M00002.jpg";
  ASSERT_TRUE(writeFile(file, "") && truncate(file.c_str(), off_t(1) << 30) == 0);
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = home.dir().path() + "/rec/";
    cnlDir = root + "test_1/";
  }
  void TearDown() override { channel.reset(); }

  void configure(const std::string& rootPath, bool active = true, int periodMs = 40) {
    g_settings.writeBool(kSection, "CnlEventRecActive", active);
    g_settings.writeString(kSection, "CnlEventRootPath", rootPath);
    g_settings.writeInt(kSection, "CnlEventFramePeriod", periodMs);
  }
  // Creates the channel (its constructor reads the settings) and starts it.
  void startChannel(TestChannel::Options opt = TestChannel::Options(), uint64_t cleanerCycleNs = 0,
                    int cleanerStartFailures = 0) {
    channel = std::make_unique<TestChannel>(opt);
    rec()->setTimings(sequenceSpanNs, 50000000ull, 100000000ull, 100000000ull);
    if (cleanerCycleNs) rec()->cleaner().setCyclePeriodNs(cleanerCycleNs);
    if (cleanerStartFailures)
      pthreadhooks::failCreate(static_cast<CThread*>(&rec()->cleaner()), cleanerStartFailures);
    ASSERT_TRUE(channel->startChannel());
  }
  CRecVideoClient* rec() { return recorderOf(*channel); }
  bool eventStarted(uint32_t n) {
    return exists(eventtree::eventDir(cnlDir, n) + "E00000.jpg");
  }
  bool eventFinished(uint32_t n) { return exists(eventtree::eventDir(cnlDir, n) + "INFO.jpg"); }

  IsolatedHome home;
  std::string root, cnlDir;
  uint64_t sequenceSpanNs = 120000000ull;
  std::unique_ptr<TestChannel> channel;
};

TEST_F(RecorderTest, FirstEventFilesInfoAndIndex) {
  size_t log0 = g_logFile.lineCount();
  configure(root);
  const mode_t oldMask = umask(0);  // recordings are not for every local user, whatever the umask
  startChannel();
  ASSERT_TRUE(waitFor([&] { return eventFinished(1); }, 5000));
  umask(oldMask);
  channel.reset();  // stop: the index is saved
  for (std::string p : {"", "000/001/", "000/001/E00000.jpg", "000/001/INFO.jpg", ".erdinfo"})
    EXPECT_EQ(platform::fileMode(cnlDir + p), p.empty() || p.back() == '/' ? 0750 : 0640) << p;

  std::string ev = eventtree::eventDir(cnlDir, 1);
  EXPECT_EQ(ev, cnlDir + "000/001/");
  std::string first = readFile(ev + "E00000.jpg");
  int w = 0, h = 0;
  ASSERT_TRUE(TestChannel::decodeJpeg(reinterpret_cast<const uint8_t*>(first.data()), first.size(), &w, &h));
  EXPECT_EQ(w, 320);
  uint64_t firstUs = 0;
  ASSERT_TRUE(eventtree::readEventTime(ev + "E00000.jpg", &firstUs));

  // Sequence files hold whole pictures back to back (all pictures have one size here).
  for (int i = 1; i <= 6; ++i) {
    std::string m = readFile(ev + eventtree::sequenceFileName(i));
    ASSERT_FALSE(m.empty()) << i;
    EXPECT_EQ(m.size() % first.size(), 0u) << i;
    EXPECT_EQ(m.compare(0, 4, "\xFF\xD8\xFF\xFE"), 0);
  }
  std::string info = readFile(ev + "INFO.jpg");
  ASSERT_GT(info.size(), 8u);
  EXPECT_EQ(info.compare(0, 4, "\xFF\xD8\xFF\xFE"), 0);
  EXPECT_EQ(info.substr(info.size() - 2), "\xFF\xD9");
  EXPECT_NE(info.find("\r\nCNT=6\r\nREC=CONT\r\n"), std::string::npos) << info;
  EXPECT_NE(info.find("\r\nFTI=" + std::to_string(firstUs / 1000000) + "\r\n"), std::string::npos);

  std::string bytes = readFile(IndexFile::pathIn(cnlDir));
  ASSERT_EQ(bytes.size(), 488u);
  uint8_t hdr[erdinfo::kHeaderSize];
  erdinfo::encodeHeader(hdr);
  EXPECT_EQ(bytes.compare(0, 332, std::string(reinterpret_cast<char*>(hdr), 332)), 0);
  erdinfo::Record r = readIndex(cnlDir);
  EXPECT_EQ(r.oldest, 1u);
  EXPECT_GE(r.newest, 1u);
  eventtree::ScanResult scan = eventtree::scanTree(cnlDir, nullptr);
  EXPECT_EQ(scan.newestEvent, r.newest);
  EXPECT_NEAR(double(r.usedKB), double(scan.bytes) / 1024, 2.0);

  std::string log = logSince(log0);
  EXPECT_NE(log.find("Configured recording thread. T=40ms, root path=" + cnlDir), std::string::npos) << log;
  EXPECT_NE(log.find("Rec. cli. on cnl. Channel 1 1"), std::string::npos);
  EXPECT_NE(log.find("Stopped recording thread."), std::string::npos);
}

TEST_F(RecorderTest, ValidIndexIsUsedWithoutScanning) {
  writeStampedEvent(cnlDir, 41, 1700000000000000000ull);
  addHugeFile(cnlDir, 41);  // a measuring would count it; a rebuild would report "abc"
  erdinfo::Record r = erdinfo::freshRecord(1000);
  r.newest = 41;
  r.newestStamp.event = 41;
  r.usedKB = 77;
  writeIndex(cnlDir, r, 332, true);
  ASSERT_TRUE(eventtree::createPath(cnlDir + "abc"));
  size_t log0 = g_logFile.lineCount();
  configure(root);
  startChannel();
  ASSERT_TRUE(waitFor([&] { return eventFinished(42); }, 5000));
  EXPECT_FALSE(exists(IndexFile::markPathIn(cnlDir))) << "a crash from now on would go unnoticed";
  channel.reset();
  EXPECT_EQ(logSince(log0).find("Unknown dir."), std::string::npos) << "the tree was scanned";
  const int32_t used = readIndex(cnlDir).usedKB;
  EXPECT_TRUE(used >= 77 && used < (1 << 20)) << used << " KB: the tree was measured";
}

TEST_F(RecorderTest, InconsistentIndexIsRebuiltFromTheTree) {
  const uint64_t t0 = 1700000000000000000ull;
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    eventtree::removeTree(root);
    writeStampedEvent(cnlDir, 9, t0 + 2000000000ull);
    writeStampedEvent(cnlDir, 7, t0 + 1000000000ull);
    ASSERT_TRUE(eventtree::createPath(cnlDir + "abc"));
    erdinfo::Record r = erdinfo::freshRecord(1000);
    r.newest = 500;
    if (variant == 0) {
      writeIndex(cnlDir, r, 331);  // wrong header size
    } else if (variant == 1) {
      r.usedKB = -1;  // negative used space
      writeIndex(cnlDir, r);
    } else {
      ASSERT_TRUE(writeFile(IndexFile::pathIn(cnlDir), "short"));  // rebuilt without a word
    }
    size_t log0 = g_logFile.lineCount();
    configure(root);
    startChannel();
    ASSERT_TRUE(waitFor([&] { return eventStarted(10); }, 5000));
    channel.reset();
    std::string log = logSince(log0);
    EXPECT_EQ(countOf(log, "Consistency error reading the '.erdinfo' file: " + cnlDir + ".erdinfo'"),
              variant == 2 ? 0u : 1u) << log;
    EXPECT_NE(log.find("Unknown dir. found in the file server structure: '" + cnlDir + "abc'"),
              std::string::npos);
    erdinfo::Record back = readIndex(cnlDir);
    EXPECT_EQ(back.oldest, 7u);
    EXPECT_EQ(back.oldestStamp.seconds, uint32_t(t0 / 1000000000ull) + 1);
    EXPECT_GE(back.newest, 10u);
    EXPECT_FALSE(eventStarted(501));
  }
}

TEST_F(RecorderTest, IndexBehindTheTreeIsCaughtUp) {
  // The process died after event 4 began but before the index named it: event 4 must not
  // be reused (and overwritten) by the next start.
  const uint64_t t0 = 1700000000000000000ull;
  writeStampedEvent(cnlDir, 3, t0);
  writeStampedEvent(cnlDir, 4, t0 + 1000000000ull);
  std::string before = readFile(eventtree::eventDir(cnlDir, 4) + "E00000.jpg");
  erdinfo::Record r = erdinfo::freshRecord(1000);
  r.oldest = 3;
  r.newest = 3;
  r.newestStamp.event = 3;
  r.newestStamp.seconds = uint32_t(t0 / 1000000000ull);
  writeIndex(cnlDir, r);
  size_t log0 = g_logFile.lineCount();
  configure(root);
  startChannel();
  ASSERT_TRUE(waitFor([&] { return eventStarted(5); }, 5000));
  channel.reset();
  EXPECT_EQ(readFile(eventtree::eventDir(cnlDir, 4) + "E00000.jpg"), before);
  EXPECT_EQ(logSince(log0).find("Consistency error"), std::string::npos) << "the index is consistent";
}

TEST_F(RecorderTest, EventNumberWrapsTo0AndDropsStaleFiles) {
  erdinfo::Record r = erdinfo::freshRecord(1000);
  r.newest = 999999;
  r.newestStamp.event = 999999;
  r.newestStamp.seconds = 2000000000;  // the old event 0 below is older: a leftover
  writeIndex(cnlDir, r);
  writeStampedEvent(cnlDir, 0, 1000000000000000000ull);
  ASSERT_TRUE(writeFile(eventtree::eventDir(cnlDir, 0) + "M00006.jpg", "stale"));
  configure(root);
  startChannel();
  ASSERT_TRUE(waitFor([&] {
    uint64_t t = 0;
    return eventtree::readEventTime(eventtree::eventDir(cnlDir, 0) + "E00000.jpg", &t) &&
           t > 1000000000000000ull;
  }, 5000));
  EXPECT_NE(readFile(eventtree::eventDir(cnlDir, 0) + "M00006.jpg"), "stale");
  ASSERT_TRUE(waitFor([&] { return eventStarted(1); }, 5000));
  channel.reset();
  EXPECT_EQ(eventtree::eventDir(cnlDir, 0), cnlDir + "000/000/");
}

TEST_F(RecorderTest, UnusableRootIsRetriedWithoutNewInit) {
  std::string blocker = home.dir().path() + "/late";
  ASSERT_TRUE(writeFile(blocker, "a file where the root should be"));
  root = blocker + "/rec/";
  cnlDir = root + "test_1/";
  size_t log0 = g_logFile.lineCount();
  configure(root);
  startChannel();
  ASSERT_TRUE(waitFor([&] { return logSince(log0).find("Unable to create the path: '" + cnlDir) != std::string::npos; }, 3000));
  usleep(400000);  // several retries: each logged only once
  std::string log = logSince(log0);
  EXPECT_EQ(countOf(log, "Unable to create the path"), 1u) << log;
  EXPECT_EQ(countOf(log, "Error initializing the recording process."), 1u);
  ASSERT_EQ(unlink(blocker.c_str()), 0);
  ASSERT_TRUE(waitFor([&] { return eventStarted(1); }, 5000));
  EXPECT_TRUE(rec()->active());
}

TEST_F(RecorderTest, UnwritableIndexIsRetried) {
  ASSERT_TRUE(eventtree::createPath(IndexFile::pathIn(cnlDir) + ".new/"));  // blocks the rebuild
  size_t log0 = g_logFile.lineCount();
  configure(root);
  startChannel();
  ASSERT_TRUE(waitFor([&] { return logSince(log0).find("Unable to open/create file '" + cnlDir + ".erdinfo'") != std::string::npos; }, 3000));
  usleep(300000);
  EXPECT_FALSE(eventStarted(1)) << "recorded without an index";
  EXPECT_EQ(countOf(logSince(log0), "Unable to open/create file"), 1u);
  ASSERT_EQ(rmdir((IndexFile::pathIn(cnlDir) + ".new").c_str()), 0);
  ASSERT_TRUE(waitFor([&] { return eventStarted(1); }, 5000));
  channel.reset();
  EXPECT_EQ(readFile(IndexFile::pathIn(cnlDir)).size(), 488u);
}

TEST_F(RecorderTest, QuotaKeepsTheTreeSmallAndFollowsANewRoot) {
  configure(root);
  g_settings.writeUnsigned(kSection, "CnlEventDiskQuota", 1);  // 1 MB
  sequenceSpanNs = 40000000ull;
  TestChannel::Options opt;
  opt.noise = true;  // large pictures: an event is several hundred KB
  opt.quality = 90;
  startChannel(opt, 20000000ull);
  ASSERT_TRUE(waitFor([&] { return eventStarted(5); }, 10000));
  ASSERT_TRUE(waitFor([&] { return !exists(eventtree::eventDir(cnlDir, 2)); }, 5000));
  EXPECT_FALSE(exists(eventtree::eventDir(cnlDir, 1)));
  // The cleaner deletes an event, then moves the index's oldest past it.
  EXPECT_TRUE(waitFor([&] { return rec()->recordCopy().oldest > 2u; }, 2000)) << rec()->recordCopy().oldest;
  eventtree::ScanResult s = eventtree::scanTree(cnlDir, nullptr);
  EXPECT_LT(s.bytes, 4u * 1024 * 1024) << "the quota is not kept";

  // A new root while running: the recording moves, and the cleaner (stopped, joined and
  // started again) keeps the new tree within the quota too.
  std::string root2 = home.dir().path() + "/rec2/";
  std::string cnlDir2 = root2 + "test_1/";
  g_settings.writeString(kSection, "CnlEventRootPath", root2);
  ASSERT_TRUE(rec()->init());
  ASSERT_TRUE(waitFor([&] { return exists(eventtree::eventDir(cnlDir2, 3) + "E00000.jpg"); }, 10000));
  uint32_t oldNewest = eventtree::scanTree(cnlDir, nullptr).newestEvent;
  EXPECT_TRUE(waitFor([&] { return !exists(eventtree::eventDir(cnlDir2, 1)); }, 5000));
  channel.reset();
  EXPECT_EQ(eventtree::scanTree(cnlDir, nullptr).newestEvent, oldNewest) << "the old root grew";
  IndexFile f;
  erdinfo::Record r;
  ASSERT_EQ(f.load(cnlDir2, &r), IndexFile::Load::Accepted);
  EXPECT_GE(r.newest, 3u);
}

TEST_F(RecorderTest, FullDiskWarnsSparinglyAndResumes) {
  std::string mnt = home.dir().path() + "/small";
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m") != 0)
    GTEST_SKIP() << "cannot mount a 2 MB tmpfs here (" << std::strerror(errno)
                 << "); the full-disk test needs CAP_SYS_ADMIN";
  struct Unmount {
    std::string p;
    ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
  } unmount{mnt};
  root = mnt + "/";
  cnlDir = root + "test_1/";
  size_t log0 = g_logFile.lineCount();
  configure(root);
  TestChannel::Options opt;
  opt.noise = true;  // large pictures fill 2 MB within a second or two
  opt.quality = 90;
  startChannel(opt);
  ASSERT_TRUE(waitFor([&] { return logSince(log0).find("Unable to write to file") != std::string::npos; }, 10000));
  uint64_t fullSince = platform::monotonicNs();
  usleep(1500000);
  std::string log = logSince(log0);
  size_t warnings = countOf(log, "Rec. cli. on cnl.") - countOf(log, "Configured recording thread.");
  uint64_t seconds = (platform::monotonicNs() - fullSince) / 1000000000ull + 2;
  EXPECT_LE(warnings, seconds + 1) << log;
  EXPECT_NE(log.find("No space left on device"), std::string::npos);

  // Free the space: recording goes on by itself.
  uint64_t freedAtUs = platform::nowNs() / 1000;
  for (const char* top : {"000", "001", "002"}) eventtree::removeTree(cnlDir + top);
  ASSERT_TRUE(waitFor([&] {
    eventtree::ScanResult now = eventtree::scanTree(cnlDir, nullptr);
    return now.found && now.newestUs > freedAtUs;
  }, 10000)) << logSince(log0);
  channel.reset();
  IndexFile f;
  erdinfo::Record back;
  EXPECT_EQ(f.load(cnlDir, &back), IndexFile::Load::Accepted);
}

}  // namespace

namespace {

// A channel whose sourceTag() takes its time when asked to, so the recorder's init() spends
// that long between reading the settings and handing the new directory over.
class SlowTagChannel : public TestChannel {
 public:
  using TestChannel::TestChannel;
  // Every thread ends before this part of the object goes: the recorder calls sourceTag().
  ~SlowTagChannel() override {
    stop();
    join();
  }
  std::atomic<int> tagDelayMs{0};
  std::string sourceTag() override {
    usleep(useconds_t(tagDelayMs.load()) * 1000);
    return TestChannel::sourceTag();
  }
};

}  // namespace

TEST_F(RecorderTest, ActivationSurvivesTheThreadWakingDuringInit) {
  configure(root, false);
  auto* slow = new SlowTagChannel(TestChannel::Options());
  channel.reset(slow);
  // Idle pauses of 5 ms: the recording thread looks at its flags all the time.
  rec()->setTimings(sequenceSpanNs, 50000000ull, 5000000ull, 100000000ull);
  ASSERT_TRUE(channel->startChannel());
  usleep(100000);
  g_settings.writeBool(kSection, "CnlEventRecActive", true);
  slow->tagDelayMs = 150;
  EXPECT_TRUE(rec()->init());
  slow->tagDelayMs = 0;
  EXPECT_TRUE(waitFor([&] { return eventStarted(1); }, 5000)) << "the activation was lost";
  EXPECT_TRUE(rec()->active());
}

TEST_F(RecorderTest, CleanerThatCannotStartIsLoggedAtErrorAndRetried) {
  size_t log0 = g_logFile.lineCount();
  configure(root);
  startChannel(TestChannel::Options(), 0, 3);
  const bool started = waitFor([&] { return rec()->cleaner().running(); }, 10000);
  pthreadhooks::reset();
  EXPECT_TRUE(started) << "the cleaner was never started again";
  const std::string log = logSince(log0);
  EXPECT_EQ(countOf(log, "Unable to start the cleaner thread"), 1u) << log;
  EXPECT_NE(log.find("(Error)   : CRecVideoClient::reconf : Rec. cli. on cnl. Channel 1 1 : Unable "
                     "to start the cleaner thread"),
            std::string::npos)
      << log;
}

TEST_F(RecorderTest, AfterAnUncleanEndRecordingStartsAtOnceAndTheCleanerWaitsForTheMeasuredSpace) {
  const uint64_t t0 = 1700000000000000000ull;
  for (uint32_t n = 1; n <= 3; ++n) writeStampedEvent(cnlDir, n, t0 + n * 1000000000ull);
  addHugeFile(cnlDir, 2);  // the tree is far above the quota
  // The index a killed recorder leaves: consistent, but its count far behind the tree.
  erdinfo::Record r = erdinfo::freshRecord(1000);
  r.newest = 3;
  r.newestStamp.event = 3;
  r.newestStamp.seconds = uint32_t(t0 / 1000000000ull) + 3;
  r.usedKB = 1;
  writeIndex(cnlDir, r);
  configure(root);
  g_settings.writeUnsigned(kSection, "CnlEventDiskQuota", 100);
  // The cleaner's thread, which measures, cannot start: the recording must not wait for it.
  startChannel(TestChannel::Options(), 0, 1000000);
  EXPECT_TRUE(waitFor([&] { return eventStarted(4); }, 5000));
  EXPECT_LT(rec()->usedKB(), 1u << 20) << "the tree was measured before recording";
  channel.reset();
  pthreadhooks::reset();
  EXPECT_FALSE(exists(IndexFile::markPathIn(cnlDir))) << "a count not measured was marked clean";

  // With its cleaner the tree is measured beside the recording; then the quota applies.
  startChannel(TestChannel::Options(), 20000000ull);
  EXPECT_TRUE(waitFor([&] { return !exists(eventtree::eventDir(cnlDir, 2)); }, 5000));
  channel.reset();
  EXPECT_TRUE(exists(IndexFile::markPathIn(cnlDir)));
  const eventtree::ScanResult tree = eventtree::scanTree(cnlDir, nullptr);  // INFO.jpg not counted
  EXPECT_NEAR(double(readIndex(cnlDir).usedKB), double(tree.bytes) / 1024, 2.0 + tree.events);

  // Earlier versions marked a clean close in the record's bytes 144..147: trusted once, cleared.
  std::string bytes = readFile(IndexFile::pathIn(cnlDir));
  bytes.replace(332 + 140, 8, std::string("\5\0\0\0CLSD", 8));
  ASSERT_TRUE(writeFile(IndexFile::pathIn(cnlDir), bytes));
  ASSERT_EQ(unlink(IndexFile::markPathIn(cnlDir).c_str()), 0);
  TestChannel::Options still;
  still.periodMs = 0;  // no pictures: nothing is recorded
  startChannel(still);
  EXPECT_TRUE(waitFor([&] { return rec()->recordCopy().usedKB == 5; }, 3000));
  channel.reset();
  EXPECT_EQ(readFile(IndexFile::pathIn(cnlDir)).substr(332 + 140, 8), std::string("\5\0\0\0\0\0\0\0", 8));
  EXPECT_TRUE(exists(IndexFile::markPathIn(cnlDir)));
}

// Pictures the gateway generates in place of a failed source (the no-signal picture) are not
// recorded, and the event's INFO.jpg names the last picture taken from the source.
TEST_F(RecorderTest, InfoNamesTheLastSourcePictureNotAGeneratedOne) {
  configure(root);
  TestChannel::Options opt;
  opt.periodMs = 0;  // published by hand below
  startChannel(opt);
  for (int i = 0; i < 5; ++i) {
    channel->publishPicture();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const uint32_t lastSource = channel->lastSequence();
  const std::vector<uint8_t> generated =
      TestChannel::wrapPicture(TestChannel::makeJpeg(32, 32, 50, 7), "x", "a", platform::nowNs(), 900000, 32, 32);
  for (uint32_t i = 0; i < 100 && !eventFinished(1); ++i) {
    channel->publishGenerated(generated.data(), uint32_t(generated.size()), platform::nowNs(), 900000 + i);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  ASSERT_TRUE(eventFinished(1));
  const std::string info = readFile(eventtree::eventDir(cnlDir, 1) + "INFO.jpg");
  EXPECT_NE(info.find("\r\nLFR=" + std::to_string(lastSource) + "\r\n"), std::string::npos) << info;
  for (int i = 1; i <= 6; ++i)
    EXPECT_EQ(readFile(eventtree::eventDir(cnlDir, 1) + eventtree::sequenceFileName(i)).find("NAM=x"),
              std::string::npos) << i;
}

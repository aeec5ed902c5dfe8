// A recorder killed with SIGKILL at random moments: every next start must accept or rebuild
// the index and go on without overwriting anything that was completely written before.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "base/CSettings.h"
#include "platform/Clock.h"
#include "recording/CRecVideoClient.h"
#include "recording/EventTree.h"
#include "recording/IndexFile.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

struct FileState {
  uint64_t size;
  int64_t mtimeNs;
};

// Every regular file below dir (recursively, links not followed).
void listFiles(const std::string& dir, std::map<std::string, FileState>* out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string p = dir + "/" + name;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      listFiles(p, out);
    } else if (S_ISREG(st.st_mode) && name.size() == 10 && eventtree::isRecordedFileName(name)) {
      (*out)[p] = FileState{uint64_t(st.st_size), int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }
  }
  closedir(d);
}

// The files that were complete: all but the most recently changed one (being written when
// the process died).
std::map<std::string, FileState> completeFiles(const std::string& dir) {
  std::map<std::string, FileState> files;
  listFiles(dir, &files);
  auto newest = files.end();
  for (auto it = files.begin(); it != files.end(); ++it)
    if (newest == files.end() || it->second.mtimeNs > newest->second.mtimeNs) newest = it;
  if (newest != files.end()) files.erase(newest);
  return files;
}

// Child: records from a test channel until it is killed.
[[noreturn]] void recordUntilKilled() {
  TestChannel::Options opt;
  opt.periodMs = 40;
  TestChannel* ch = new TestChannel(opt);
  recorderOf(*ch)->setTimings(60000000ull, 20000000ull, 50000000ull, 50000000ull);
  if (!ch->startChannel()) _exit(3);
  for (;;) pause();
}

TEST(RecCrash, KilledRecorderNeverLosesFinishedFiles) {
  IsolatedHome home;
  const std::string root = home.dir().path() + "/rec/";
  const std::string cnlDir = root + "test_1/";
  g_settings.writeBool("Channel 1 1", "CnlEventRecActive", true);
  g_settings.writeString("Channel 1 1", "CnlEventRootPath", root);
  g_settings.writeInt("Channel 1 1", "CnlEventFramePeriod", 40);

  std::mt19937 rng(12345);
  const int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    std::map<std::string, FileState> before = completeFiles(cnlDir);
    size_t filesBefore = before.size() + 1;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) recordUntilKilled();

    // Let it get going (a few new files), then kill it at a random moment.
    std::map<std::string, FileState> now;
    waitFor(
        [&] {
          now.clear();
          listFiles(cnlDir, &now);
          return now.size() >= filesBefore + 2;
        },
        5000);
    usleep(useconds_t(std::uniform_int_distribution<int>(0, 250000)(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;
    EXPECT_GE(now.size(), filesBefore + 2) << "the restarted recorder did not record";

    // Nothing that was complete before this start was rewritten or removed.
    std::map<std::string, FileState> after;
    listFiles(cnlDir, &after);
    for (const auto& f : before) {
      auto it = after.find(f.first);
      ASSERT_NE(it, after.end()) << f.first << " vanished";
      EXPECT_EQ(it->second.size, f.second.size) << f.first;
      EXPECT_EQ(it->second.mtimeNs, f.second.mtimeNs) << f.first << " was rewritten";
    }
    erdinfo::Record rec;
    IndexFile idx;
    IndexFile::Load state = idx.load(cnlDir, &rec);
    EXPECT_NE(state, IndexFile::Load::Inconsistent);
    if (state == IndexFile::Load::Accepted) {
      EXPECT_LT(rec.newest, erdinfo::kEventCount);
      EXPECT_GE(rec.usedKB, 0);
    }
  }

  // A last start in this process: the index is accepted or rebuilt and names the newest event.
  eventtree::ScanResult scanBefore = eventtree::scanTree(cnlDir, nullptr);
  ASSERT_TRUE(scanBefore.found);
  {
    TestChannel::Options opt;
    TestChannel ch(opt);
    recorderOf(ch)->setTimings(60000000ull, 20000000ull, 50000000ull, 50000000ull);
    ASSERT_TRUE(ch.startChannel());
    waitFor([&] { return eventtree::scanTree(cnlDir, nullptr).newestUs > scanBefore.newestUs; }, 5000, 10);
  }
  eventtree::ScanResult scanAfter = eventtree::scanTree(cnlDir, nullptr);
  EXPECT_GT(scanAfter.newestUs, scanBefore.newestUs);
  erdinfo::Record rec;
  IndexFile idx;
  ASSERT_EQ(idx.load(cnlDir, &rec), IndexFile::Load::Accepted);
  EXPECT_EQ(rec.newest, scanAfter.newestEvent);
  // The counter is kept incrementally: a kill loses at most the bytes of the file being
  // written since the last index write, and never counts anything twice.
  std::map<std::string, FileState> files;
  listFiles(cnlDir, &files);
  uint64_t largest = 0;
  for (const auto& f : files) largest = std::max(largest, f.second.size);
  double actualKB = double(scanAfter.bytes) / 1024;
  EXPECT_LE(double(rec.usedKB), actualKB + 2);
  EXPECT_GE(double(rec.usedKB), actualKB - double(kRounds * largest) / 1024 - 4);
}

}  // namespace

// Log file: line format, trimming arithmetic, continuing an existing file, the form fields.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <sstream>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "confserver/LogForm.h"
#include "tests/support/TestEnv.h"

namespace {

std::vector<std::string> fileLines(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(readFile(path));
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

struct UtcZone {
  UtcZone() {
    const char* tz = std::getenv("TZ");
    had = tz != nullptr;
    if (tz) old = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~UtcZone() {
    if (had) setenv("TZ", old.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  bool had;
  std::string old;
};

}  // namespace

TEST(LogLine, HasTheTimeTagFunctionSourceAndMessage) {
  UtcZone utc;
  const time_t t = 1796643201;  // Mon Dec 07 11:33:21 2026 UTC
  EXPECT_EQ(CLogFile::formatLine(t, 3, "system", "TelvGate 1.3.4.7 started.", "main"),
            "Mon Dec 07 11:33:21 2026 (Info)    : main : system : TelvGate 1.3.4.7 started.");
  EXPECT_EQ(CLogFile::formatLine(t, 0, "s", "m", "f"), "Mon Dec 07 11:33:21 2026 (Fatal)   : f : s : m");
  EXPECT_EQ(CLogFile::formatLine(t, 1, "s", "m", "f"), "Mon Dec 07 11:33:21 2026 (Error)   : f : s : m");
  EXPECT_EQ(CLogFile::formatLine(t, 2, "s", "m", "f"), "Mon Dec 07 11:33:21 2026 (Warning) : f : s : m");
  // Above level 3 there is no tag: the time runs straight into the function name.
  EXPECT_EQ(CLogFile::formatLine(t, 4, "s", "m", "f"), "Mon Dec 07 11:33:21 2026f : s : m");
}

TEST(LogLine, LineBreaksInsideTextsCannotForgeASecondLine) {
  std::string line = CLogFile::formatLine(0, 2, "cam\r\n", "a\nFri Jan 01 00:00:00 1999 (Info)    : x", "f\r");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\r'), std::string::npos);
}

class LogFileTest : public ::testing::Test {
 protected:
  IsolatedHome home;
  std::string path = home.dir().file("test.log");
  void configure(const std::string& p, int sizeMb) {
    g_settings.writeString("System", "LogFilePath", p);
    if (sizeMb >= 0) g_settings.writeUnsigned("System", "LogFileSize", unsigned(sizeMb));
  }
};

TEST_F(LogFileTest, LinesReachTheFileAtOnce) {
  configure(path, -1);
  CLogFile log;
  log.init();
  log.log(3, "system", "hello", "main");
  auto lines = fileLines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" (Info)    : main : system : hello"), std::string::npos);
  EXPECT_EQ(log.path(), path);
  EXPECT_EQ(log.sizeLimit(), 5u * 1048576u);  // the default when the size is not set
  EXPECT_EQ(log.byteCount(), lines[0].size());
}

TEST_F(LogFileTest, TrimsToFiftyEightSixtyFourthsOfTheLimitOldestFirst) {
  configure(path, 1);
  CLogFile log;
  log.init();
  ASSERT_EQ(log.sizeLimit(), 1048576u);
  const std::string payload(200, 'x');
  int n = 0;
  uint64_t total = 0;
  while (total <= 1048576) {
    log.log(3, "src", payload + std::to_string(n), "fn");
    total += CLogFile::formatLine(0, 3, "src", payload + std::to_string(n), "fn").size();
    ++n;
  }
  // The last line pushed the count over the limit: the file was rewritten.
  const uint32_t keep = 1048576u * 58 / 64;  // 950272
  EXPECT_LE(log.byteCount(), keep);
  EXPECT_GT(log.byteCount(), keep - 300u);  // only whole oldest lines went
  auto lines = fileLines(path);
  ASSERT_EQ(lines.size(), log.lineCount());
  uint64_t sum = 0;
  for (auto& l : lines) sum += l.size();
  EXPECT_EQ(sum, log.byteCount());
  // Newest line exactly once, at the end; the oldest lines are the ones gone.
  const std::string newest = payload + std::to_string(n - 1);
  EXPECT_NE(lines.back().find(newest), std::string::npos);
  int count = 0;
  for (auto& l : lines) count += l.find(newest) != std::string::npos;
  EXPECT_EQ(count, 1);
  // The first line kept is the one right after the last line dropped.
  const std::string oldestKept = " : src : " + payload + std::to_string(n - int(lines.size()));
  EXPECT_EQ(lines.front().substr(lines.front().size() - oldestKept.size()), oldestKept);
  // Logging goes on appending after the rewrite.
  log.log(3, "src", "after", "fn");
  EXPECT_NE(fileLines(path).back().find("after"), std::string::npos);
}

TEST_F(LogFileTest, SizeAboveFiveCountsAsFive) {
  configure(path, 9);
  CLogFile log;
  log.init();
  EXPECT_EQ(log.sizeLimit(), 5u * 1048576u);
}

TEST_F(LogFileTest, RestartContinuesTheExistingFileAndCountsIt) {
  configure(path, -1);
  {
    CLogFile log;
    log.init();
    log.log(3, "system", "first run", "main");
  }
  CLogFile log;
  log.init();
  EXPECT_EQ(log.lineCount(), 1u);
  log.log(3, "system", "second run", "main");
  auto lines = fileLines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("first run"), std::string::npos);
  EXPECT_EQ(log.byteCount(), lines[0].size() + lines[1].size());
}

TEST_F(LogFileTest, LoadingStopsAtAVeryLongLine) {
  // The name is historical: loading now goes on past a long line, cutting it, so that a later
  // trim still drops the oldest lines and keeps the newer ones.
  const std::string first = CLogFile::formatLine(0, 3, "s", "short one", "f");
  writeFile(path, first + "\n" + std::string(600, 'y') + "\nnewer\n");
  configure(path, -1);
  CLogFile log;
  log.init();
  EXPECT_EQ(log.lineCount(), 3u);
  EXPECT_EQ(log.byteCount(), first.size() + 510 + 5);  // the long line cut to 510 characters
  EXPECT_EQ(log.logText(1), "newer\n");
}

TEST_F(LogFileTest, UnopenablePathWarnsAndKeepsThePreviousFile) {
  configure(path, -1);
  CLogFile log;
  log.init();
  configure(home.dir().file("missing-dir/x.log"), -1);
  log.init();
  EXPECT_EQ(log.path(), path);
  auto lines = fileLines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("(Warning) : CLogFile::init : log file : Unable to open the file '"),
            std::string::npos);
}

TEST_F(LogFileTest, LogTextGivesTheNewestLinesFirst) {
  configure(path, -1);
  CLogFile log;
  log.init();
  for (int i = 1; i <= 5; ++i) log.log(3, "s", "line" + std::to_string(i), "f");
  std::string three = log.logText(3);
  EXPECT_EQ(std::count(three.begin(), three.end(), '\n'), 3);
  EXPECT_LT(three.find("line5"), three.find("line4"));
  EXPECT_EQ(three.find("line2"), std::string::npos);
  std::string all = log.logText(0);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 5);
  EXPECT_EQ(CLogFile().logText(0), "");
}

TEST_F(LogFileTest, UpdateStoresAUsablePathAndLeavesAnExistingFileAlone) {
  configure(path, -1);
  CLogFile log;
  log.init();
  const std::string other = home.dir().file("other <b>.log");
  const std::string keep = CLogFile::formatLine(0, 3, "s", "keep me", "f") + "\n";
  writeFile(other, keep);
  std::string html;
  EXPECT_TRUE(logFileUpdate(log, {{"sys_logFilePath", other}}, html));
  EXPECT_EQ(html, "<P class=upd>Updated the <EM>Log file path</EM> value to '<STRONG>" +
                      home.dir().file("other &lt;b&gt;.log") + "'</STRONG></P>");
  EXPECT_EQ(readFile(other), keep);
  EXPECT_EQ(g_settings.readString("System", "LogFilePath", ""), other);
  // The same path again is no change.
  html.clear();
  log.init();
  EXPECT_FALSE(logFileUpdate(log, {{"sys_logFilePath", other}}, html));
  EXPECT_EQ(html, "");
}

TEST_F(LogFileTest, UpdateRefusesAPathInAMissingDirectoryAndLeavesNoProbeFile) {
  configure(path, -1);
  CLogFile log;
  log.init();
  std::string html;
  EXPECT_FALSE(logFileUpdate(log, {{"sys_logFilePath", home.dir().file("nope/x.log")}}, html));
  EXPECT_EQ(html, "<P class=warn>The <EM>Log file path</EM> string is not a valid file name.</P>");
  EXPECT_EQ(g_settings.readString("System", "LogFilePath", ""), path);
  // A usable new path is probed without leaving a file behind.
  html.clear();
  const std::string fresh = home.dir().file("fresh.log");
  EXPECT_TRUE(logFileUpdate(log, {{"sys_logFilePath", fresh}}, html));
  struct stat st;
  EXPECT_NE(stat(fresh.c_str(), &st), 0);
}

TEST_F(LogFileTest, UpdateClampsTheSizeAndIgnoresUnreadableValues) {
  configure(path, 1);
  CLogFile log;
  log.init();
  std::string html;
  EXPECT_TRUE(logFileUpdate(log, {{"sys_logFileSize", "7"}}, html));
  EXPECT_EQ(html, "<P class=upd>Updated the <EM>Log file max size [Mb]</EM> value to <STRONG>5</STRONG></P>");
  EXPECT_EQ(g_settings.readUnsigned("System", "LogFileSize", 0), 5u);
  html.clear();
  EXPECT_FALSE(logFileUpdate(log, {{"sys_logFileSize", "1"}}, html));  // unchanged limit: 1 MiB
  EXPECT_FALSE(logFileUpdate(log, {{"sys_logFileSize", "abc"}}, html));
  EXPECT_EQ(html, "");
}

TEST_F(LogFileTest, AnotherNameForTheSameFileReplacesTheLinesInsteadOfDoublingThem) {
  configure(path, -1);
  CLogFile log;
  log.init();
  log.log(3, "s", "one", "f");
  log.log(3, "s", "two", "f");
  ASSERT_EQ(symlink(path.c_str(), home.dir().file("link.log").c_str()), 0);
  for (const std::string& other : {home.dir().file("link.log"), home.dir().path() + "/./test.log"}) {
    configure(other, -1);
    log.init();
    EXPECT_EQ(log.path(), other);
    EXPECT_EQ(log.lineCount(), 2u) << other;
  }
}

TEST_F(LogFileTest, TrimWritesANewFileAndRenamesIt) {
  configure(path, 1);
  CLogFile log;
  log.init();
  log.log(3, "s", "first", "f");
  // A second name keeps the file the trim started from: it must never be cut (a crash during a
  // rewrite in place would lose the log).
  const std::string before = home.dir().file("before.log");
  ASSERT_EQ(link(path.c_str(), before.c_str()), 0);
  const std::string content = readFile(before);
  const std::string payload(1000, 'x');
  for (int i = 0; i < 1050; ++i) log.log(3, "s", payload, "f");
  EXPECT_TRUE(readFile(before).compare(0, content.size(), content) == 0);
  EXPECT_EQ(fileLines(path).size(), log.lineCount());
  EXPECT_EQ(fileLines(path).front().find("first"), std::string::npos);
}

TEST_F(LogFileTest, AnyStartUpFileIsTakenAndTrimsKeepWritingWithinTheLimit) {
  // Returns the file's lines after logging n lines of 1000 characters and then "last".
  auto logTo = [&](const std::string& file, const std::string& content, int n) {
    configure(file, 1);
    EXPECT_TRUE(writeFile(file, content));
    CLogFile log;
    log.init();
    for (int i = 0; i < n; ++i) log.log(3, "s", std::string(1000, 'x'), "f");
    log.log(3, "s", "last", "f");
    auto lines = fileLines(file);
    EXPECT_EQ(lines.size(), log.lineCount()) << file;
    EXPECT_NE(lines.back().find("last"), std::string::npos) << file;
    return lines;
  };
  logTo(path, "\n", 0);  // what "echo > log" leaves
  // 600 KB of lines of another kind after the first: the first trim keeps one of them first.
  std::string text = CLogFile::formatLine(0, 3, "s", "start", "f");
  for (int i = 0; i < 3000; ++i) text += "\n" + std::string(200, 'n');
  EXPECT_EQ(logTo(path, text + "\n", 500).front(), std::string(200, 'n'));
  // A folder that takes no new file (here: the replacement's name is taken by a folder).
  const std::string other = home.dir().file("other.log");
  ASSERT_EQ(mkdir((other + ".tmp" + std::to_string(getpid())).c_str(), 0700), 0);
  logTo(other, "", 1500);
  EXPECT_LE(readFile(other).size(), 1048576u) << "grew past the limit";
}

namespace {

// Runs f on another thread; false when it has not finished within 5 s (then unblock() is called
// so the thread can end).
template <typename F, typename U>
bool finishesSoon(F f, U unblock) {
  auto done = std::async(std::launch::async, f);
  if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return true;
  unblock();
  done.wait();
  return false;
}

}  // namespace

TEST_F(LogFileTest, OnlyEmptyFilesAndOurOwnLogsAreTakenAsTheLog) {
  configure(path, -1);
  CLogFile log;
  log.init();
  const std::string settings = home.dir().file("settings"), fifo = home.dir().file("fifo"),
                    fifoLink = home.dir().file("fifo-link"), empty = home.dir().file("empty.log"),
                    ours = home.dir().file("ours.log");
  writeFile(settings, "[Admins]\nadmin=secret\n");
  writeFile(empty, "");
  writeFile(ours, CLogFile::formatLine(0, 3, "system", "old", "main") + "\n");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink(fifo.c_str(), fifoLink.c_str()), 0);
  // Opening both ends releases anything waiting to open the FIFO.
  auto unblock = [&] { close(open(fifo.c_str(), O_RDWR | O_NONBLOCK)); };
  for (const std::string& bad : {settings, fifo, fifoLink, home.dir().path(), std::string("/dev/zero")}) {
    std::string html;
    bool changed = true;
    EXPECT_TRUE(finishesSoon([&] { changed = logFileUpdate(log, {{"sys_logFilePath", bad}}, html); },
                             unblock)) << bad;
    EXPECT_FALSE(changed) << bad;
    // Even when set by hand in the settings, init keeps the log where it is.
    configure(bad, -1);
    EXPECT_TRUE(finishesSoon([&] { log.init(); }, unblock)) << bad;
    EXPECT_EQ(log.path(), path) << bad;
  }
  EXPECT_EQ(readFile(settings), "[Admins]\nadmin=secret\n");
  for (const std::string& good : {empty, ours}) {
    std::string html;
    EXPECT_TRUE(logFileUpdate(log, {{"sys_logFilePath", good}}, html)) << good;
    log.init();
    EXPECT_EQ(log.path(), good);
  }
  EXPECT_EQ(log.lineCount(), 1u);
}

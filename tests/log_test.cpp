// Log file: line format, trimming arithmetic, continuing an existing file, the form fields.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "app/CLogFile.h"
#include "app/CSettings.h"
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
  EXPECT_EQ(log.sizeLimit(), 0u);
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
  EXPECT_EQ(lines.front().find(payload + "0 "), std::string::npos);
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
  writeFile(path, "short one\n" + std::string(600, 'y') + "\nnever loaded\n");
  configure(path, -1);
  CLogFile log;
  log.init();
  EXPECT_EQ(log.lineCount(), 1u);
  EXPECT_EQ(log.byteCount(), 9u);
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
  writeFile(other, "keep me\n");
  std::string html;
  EXPECT_TRUE(log.update({{"sys_logFilePath", other}}, html));
  EXPECT_EQ(html, "<P class=upd>Updated the <EM>Log file path</EM> value to '<STRONG>" +
                      home.dir().file("other &lt;b&gt;.log") + "'</STRONG></P>");
  EXPECT_EQ(readFile(other), "keep me\n");
  EXPECT_EQ(g_settings.readString("System", "LogFilePath", ""), other);
  // The same path again is no change.
  html.clear();
  log.init();
  EXPECT_FALSE(log.update({{"sys_logFilePath", other}}, html));
  EXPECT_EQ(html, "");
}

TEST_F(LogFileTest, UpdateRefusesAPathInAMissingDirectoryAndLeavesNoProbeFile) {
  configure(path, -1);
  CLogFile log;
  log.init();
  std::string html;
  EXPECT_FALSE(log.update({{"sys_logFilePath", home.dir().file("nope/x.log")}}, html));
  EXPECT_EQ(html, "<P class=warn>The <EM>Log file path</EM> string is not a valid file name.</P>");
  EXPECT_EQ(g_settings.readString("System", "LogFilePath", ""), path);
  // A usable new path is probed without leaving a file behind.
  html.clear();
  const std::string fresh = home.dir().file("fresh.log");
  EXPECT_TRUE(log.update({{"sys_logFilePath", fresh}}, html));
  struct stat st;
  EXPECT_NE(stat(fresh.c_str(), &st), 0);
}

TEST_F(LogFileTest, UpdateClampsTheSizeAndIgnoresUnreadableValues) {
  configure(path, 1);
  CLogFile log;
  log.init();
  std::string html;
  EXPECT_TRUE(log.update({{"sys_logFileSize", "7"}}, html));
  EXPECT_EQ(html, "<P class=upd>Updated the <EM>Log file max size [Mb]</EM> value to <STRONG>5</STRONG></P>");
  EXPECT_EQ(g_settings.readUnsigned("System", "LogFileSize", 0), 5u);
  html.clear();
  EXPECT_FALSE(log.update({{"sys_logFileSize", "1"}}, html));  // unchanged limit: 1 MiB
  EXPECT_FALSE(log.update({{"sys_logFileSize", "abc"}}, html));
  EXPECT_EQ(html, "");
}

// The recordings pages and the export tool against the real telvgate with an analog channel of
// the simulated grabber that records for two minutes (two events and a bit) or 15 s: events.json, the three export
// formats checked by ffprobe, unzip and sha256sum, the pace of the played-back stream, bad
// input, the limit of eight jobs, the cleaner cutting an export short, and headless Chromium on
// the day and play pages.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/ByteOrder.h"
#include "recording/EventTree.h"
#include "recordings/RecExport.h"
#include "tests/conf_fixture.h"
#include "tests/support/Browser.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

const char kChannel[] = "Channel+0+1+0";

std::string sh(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// Every picture stamp in the tree, found by the head of the 68-byte time-stamp comment that
// every recorded picture carries once: independent of the reader under test.
std::vector<uint64_t> treeStamps(const std::string& dir) {
  std::vector<std::string> files;
  findFiles(dir, "E00000.jpg", &files);
  for (int i = 1; i <= 6; ++i) findFiles(dir, "M0000" + std::to_string(i) + ".jpg", &files);
  const std::string head("\xFF\xFE\x00\x42TLF\x00", 8);
  std::vector<uint64_t> out;
  for (const std::string& f : files) {
    const std::string b = readFile(f);
    for (size_t p = b.find(head); p != std::string::npos && p + 20 <= b.size(); p = b.find(head, p + 1))
      out.push_back(getLE64(reinterpret_cast<const uint8_t*>(b.data()) + p + 12));
  }
  return out;
}

size_t countIn(const std::vector<uint64_t>& stamps, uint64_t fromUs, uint64_t toUs) {
  size_t n = 0;
  for (uint64_t s : stamps) n += s >= fromUs && s < toUs;
  return n;
}

class RecordingsBlackBox : public ::testing::Test {
 protected:
  // Starts the gateway and lets it record for the given time (each test program runs one).
  static void record(int seconds) {
    home = new ProgramHome;
    home->writeSettings("\n[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\nCnlIPPort=0\nImageSize=qvga\n"
                        "CnlEventRecActive=true\nCnlEventFramePeriod=100\nCnlEventRootPath=" +
                        home->file("rec") + "\n");
    gate = new ChildProcess;
    ASSERT_TRUE(home->start(*gate, {"--headless", "127.0.0.1", "0"}, {{"TMPDIR", home->path()}}));
    const int p = confPort(*gate);
    ASSERT_GT(p, 0) << gate->stdoutText() << gate->stderrText();
    port = uint16_t(p);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    tree = home->file("rec/falcon_1_0/");
    stamps = treeStamps(tree);
  }
  static void TearDownTestSuite() {
    gate->signal(SIGTERM);
    int code = -1;
    EXPECT_TRUE(gate->wait(10000, &code));
    delete gate;
    delete home;
  }
  void SetUp() override {
    ASSERT_GT(stamps.size(), 80u) << home->log();
    first = *std::min_element(stamps.begin(), stamps.end());
    last = *std::max_element(stamps.begin(), stamps.end());
  }
  // The curl command for a page, with the login.
  static std::string curl(const std::string& target) {
    return "curl -s --path-as-is --max-time 60 -u admin:qatrel 'http://127.0.0.1:" + std::to_string(port) + target + "'";
  }
  static std::string range(uint64_t fromUs, uint64_t toUs) {
    return "&from=" + std::to_string(fromUs / 1000000) + "&to=" + std::to_string(toUs / 1000000);
  }

  static ProgramHome* home;
  static ChildProcess* gate;
  static uint16_t port;
  static std::string tree;
  static std::vector<uint64_t> stamps;
  uint64_t first = 0, last = 0;
};

ProgramHome* RecordingsBlackBox::home = nullptr;
ChildProcess* RecordingsBlackBox::gate = nullptr;
uint16_t RecordingsBlackBox::port = 0;
std::string RecordingsBlackBox::tree;
std::vector<uint64_t> RecordingsBlackBox::stamps;

// Two minutes: two whole events and the start of a third; exports across a boundary.
class RecordingsTwoMinutes : public RecordingsBlackBox {
 protected:
  static void SetUpTestSuite() { record(120); }
};

class RecordingsShort : public RecordingsBlackBox {
 protected:
  static void SetUpTestSuite() { record(15); }
};

TEST_F(RecordingsTwoMinutes, EventsJsonAndExportsHoldExactlyTheRecordedPictures) {
  const std::string json = sh(curl("/recordings/events.json?c=" + std::string(kChannel) +
                                   range(first - 10000000, last + 10000000)));
  EXPECT_NE(json.find("{\"event\":1,"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"event\":2,"), std::string::npos) << json;
  ASSERT_GT(stamps.size(), 300u);
  EXPECT_NE(json.find("\"complete\":true"), std::string::npos) << json;
  // The first event is finished: its count is final.
  const size_t p = json.find("\"pictures\":");
  ASSERT_NE(p, std::string::npos);
  EXPECT_EQ(std::strtoul(json.c_str() + p + 11, nullptr, 10), treeStamps(tree + "000/001").size());

  // Across the boundary of the first two events, whole seconds as a user types them.
  const uint64_t from = (first / 1000000 + 20) * 1000000, to = from + 80000000;
  const size_t want = countIn(stamps, from, to);
  const double period = double(last - first) / 1e6 / double(stamps.size() - 1);
  for (const char* fmt : {"mkv", "avi", "zip"}) {
    const std::string file = home->file(std::string("x.") + fmt);
    const std::string head = sh(curl("/recordings/export?c=" + std::string(kChannel) + range(from, to) +
                                     "&format=" + fmt) + " -D - -o " + file);
    EXPECT_NE(head.find("filename=\"falcon_1_0_"), std::string::npos) << head;
    if (std::string(fmt) == "zip") {
      EXPECT_NE(sh("unzip -t " + file).find("No errors detected"), std::string::npos);
      const std::string x = home->file("unzipped");
      const std::string check = sh("mkdir -p " + x + " && cd " + x + " && unzip -q " + file +
                                   " && sha256sum -c SHA256SUMS | grep -c ': OK$'; ls *.jpg | wc -l; cat EXPORT.txt");
      EXPECT_EQ(std::strtoul(check.c_str(), nullptr, 10), want) << check;
      EXPECT_NE(check.find("\n" + std::to_string(want) + "\n"), std::string::npos) << check;
      EXPECT_NE(check.find("Complete: yes"), std::string::npos) << check;
      continue;
    }
    const std::string probe = sh("ffprobe -v error -count_frames -show_entries "
                                 "stream=codec_name,nb_read_frames:format=duration:format_tags=comment -of default=nw=1 " + file);
    EXPECT_NE(probe.find("codec_name=mjpeg\nnb_read_frames=" + std::to_string(want) + "\n"),
              std::string::npos) << fmt << ": " << probe << " want " << want;
    const double duration = std::atof(probe.c_str() + probe.find("duration=") + 9);
    EXPECT_NEAR(duration, 80.0, period) << fmt;
    EXPECT_NE(probe.find("=Complete: yes\n"), std::string::npos) << fmt << ": " << probe;
  }
  // The tool reads the tree directly and writes the same pictures.
  const std::string out = home->file("tool.mkv");
  const std::string tool = sh(builtProgram("telvgate-export") + " --tree " + tree + " --format mkv -o " +
                              out + " --from " + std::to_string(from / 1000000) + " --to " +
                              std::to_string(to / 1000000) + " && ffprobe -v error -count_frames "
                              "-show_entries stream=nb_read_frames -of csv=p=0 " + out);
  EXPECT_NE(tool.find("\n" + std::to_string(want) + "\n"), std::string::npos) << tool;
}

// An MKV download's head and first bytes, read in small pieces and no further (10 s at most).
std::string readToFileStart(int fd) {
  std::string got;
  char buf[4096];
  const auto t0 = std::chrono::steady_clock::now();
  while (got.find("\x1A\x45\xDF\xA3") == std::string::npos && msSince(t0) < 10000) {  // the file's first bytes
    pollfd p{fd, POLLIN, 0};
    const ssize_t n = ::poll(&p, 1, 100) > 0 ? ::recv(fd, buf, sizeof buf, 0) : 0;
    if (n < 0 || (n == 0 && p.revents)) break;
    got.append(buf, size_t(n));
  }
  return got;
}

TEST_F(RecordingsTwoMinutes, MkvExportGoesOutWithoutATemporaryFile) {
  // The whole recording is more than the sockets hold: a client that takes only the first bytes
  // holds the export up. A spooled export would wait in the temporary folder meanwhile.
  const int fd = connectTo(port, 4096);
  ASSERT_GE(fd, 0);
  conftest::sendText(fd, "GET /recordings/export?c=" + std::string(kChannel) + range(first, last + 1000000) +
                             "&format=mkv HTTP/1.1\r\n" + conftest::basicAuth("admin", "qatrel") + "\r\n");
  const std::string got = readToFileStart(fd);
  EXPECT_NE(got.find("\x1A\x45\xDF\xA3"), std::string::npos) << got.substr(0, 300);
  const std::string files = sh("ls " + home->path());
  EXPECT_EQ(files.find("telvgate-export-"), std::string::npos) << files << sh("du -sk " + tree);
  ::close(fd);
}

// Last of its suite: it deletes the gateway's own first two events.
TEST_F(RecordingsTwoMinutes, AStreamedMkvCutShortByTheCleanerEndsShortOfItsLength) {
  // A client that reads nothing more once the download has begun holds the export up within the
  // first two events (more than the sockets hold); the cleaner (here the test) deletes them.
  const int fd = connectTo(port, 4096);
  ASSERT_GE(fd, 0);
  conftest::sendText(fd, "GET /recordings/export?c=" + std::string(kChannel) + range(first, last + 1000000) +
                             "&format=mkv HTTP/1.1\r\n" + conftest::basicAuth("admin", "qatrel") + "\r\n");
  std::string got = readToFileStart(fd);
  const size_t body = got.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos) << got.substr(0, 300);
  const size_t cl = got.find("Content-Length: ");
  ASSERT_LT(cl, body);
  const size_t stated = std::strtoul(got.c_str() + cl + 16, nullptr, 10);
  for (uint32_t event : {1u, 2u}) eventtree::removeTree(eventtree::eventDir(tree, event));
  bool closed = false;
  got += conftest::readAll(fd, 20000, &closed);
  ::close(fd);
  EXPECT_TRUE(closed) << "the export neither ended nor closed";
  const size_t received = got.size() - body - 4;
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, stated);
  EXPECT_TRUE(waitFor([&] { return home->log().find("cut short by the recording cleaner") != std::string::npos; }, 5000));
  // What did arrive is the start of a file a player reads: the pictures read before the cut.
  const std::string file = home->file("cut-stream.mkv");
  writeFile(file, got.substr(body + 4));
  const size_t frames = std::strtoul(sh("ffprobe -v quiet -count_frames -show_entries stream=nb_read_frames "
                                        "-of csv=p=0 " + file).c_str(), nullptr, 10);
  EXPECT_GT(frames, 0u);
  EXPECT_LT(frames, stamps.size());
}

// Parts of a played-back stream: each part's stamp and arrival time, for about seconds.
void readParts(uint16_t port, const std::string& target, double seconds, std::vector<uint64_t>* stampsOut,
               std::vector<double>* arrivals) {
  const int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  conftest::sendText(fd, "GET " + target + " HTTP/1.1\r\n" + conftest::basicAuth("admin", "qatrel") + "\r\n");
  const auto t0 = std::chrono::steady_clock::now();
  std::string buf;
  size_t pos = std::string::npos;
  while (msSince(t0) < seconds * 1000) {
    buf += conftest::readAll(fd, 50);
    if (pos == std::string::npos && (pos = buf.find("\r\n\r\n")) != std::string::npos) buf.erase(0, pos + 4);
    while (pos != std::string::npos && buf.size() >= 81) {
      const size_t len = std::strtoul(buf.c_str() + 70, nullptr, 10);
      if (buf.size() < 81 + len) break;
      const size_t tlf = buf.find(std::string("TLF\0", 4), 81);
      ASSERT_LT(tlf, 81 + len);
      stampsOut->push_back(getLE64(reinterpret_cast<const uint8_t*>(buf.data()) + tlf + 8));
      arrivals->push_back(msSince(t0) / 1000.0);
      buf.erase(0, 81 + len);
    }
  }
  ::close(fd);
}

TEST_F(RecordingsShort, PlayStreamKeepsTheRecordedPaceAtSpeedOneAndFour) {
  for (unsigned speed : {1u, 4u}) {
    std::vector<uint64_t> got;
    std::vector<double> at;
    readParts(port, "/recordings/play.jpg?c=" + std::string(kChannel) + "&from=" +
                        std::to_string(first / 1000000 + 3) + "&speed=" + std::to_string(speed),
              speed == 1 ? 5.0 : 3.0, &got, &at);
    ASSERT_GT(got.size(), 20u) << speed;
    const double recorded = double(got.back() - got.front()) / 1e6 / speed;
    const double wall = at.back() - at.front();
    EXPECT_NEAR(wall, recorded, recorded * 0.1) << "speed " << speed << ", " << got.size() << " parts";
  }
}

TEST_F(RecordingsShort, BadInputIsAnsweredShortlyAndJobsAreBounded) {
  const std::string c = "c=" + std::string(kChannel);
  const std::string t = std::to_string(first / 1000000 + 5);
  const struct { std::string target; int status; } cases[] = {
      {"/recordings/events.json?c=Channel+9+9&from=1&to=2", 404},
      {"/recordings/picture.jpg?c=../../../etc/passwd&t=" + t, 404},
      {"/recordings/export?" + c + "&from=1&to=100&format=mkv", 404},          // nothing recorded
      {"/recordings/export?" + c + "&from=" + t + "&to=1&format=zip", 400},    // from after to
      {"/recordings/export?" + c + "&from=" + t + "&to=9999999999&format=../x", 400},
      {"/recordings/play.jpg?" + c + "&from=2026-13-01T00:00:00", 400},
      {"/recordings/play.jpg?" + c + "&from=" + t + "&speed=3", 400},
      {"/recordings?" + c + "&day=2026-1-1", 400},
      {"/recordings/../status", 404},
  };
  for (const auto& k : cases)
    EXPECT_EQ(sh(curl(k.target) + " -o /dev/null -w '%{http_code}'"), std::to_string(k.status)) << k.target;
  EXPECT_EQ(sh("curl -s -o /dev/null -w '%{http_code}' 'http://127.0.0.1:" + std::to_string(port) +
               "/recordings'"), "401");

  // Eight slow streams at once; the ninth is refused with 503; when they go, streams start again.
  std::vector<int> fds;
  const std::string play = "GET /recordings/play.jpg?" + c + "&from=" + t + " HTTP/1.1\r\n" +
                           conftest::basicAuth("admin", "qatrel") + "\r\n";
  for (int i = 0; i < 8; ++i) {
    fds.push_back(connectTo(port));
    conftest::sendText(fds.back(), play);
    EXPECT_NE(conftest::readAll(fds.back(), 1500).find("200 OK"), std::string::npos) << i;
  }
  EXPECT_EQ(conftest::statusLine(conftest::rawRequest(port, play, 3000)).substr(9, 3), "503");
  for (int fd : fds) ::close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(conftest::statusLine(conftest::rawRequest(port, play, 1000)).substr(9, 3), "200");
}

TEST_F(RecordingsShort, CleanerDeletingDuringAnExportCutsItShortCleanly) {
  // For each format a copy of the tree; the "cleaner" deletes the first event when the export
  // has taken 10 pictures, while the export is still reading its first sequence file. The
  // receiver sees the cut in EXPORT.txt or in the video file's comment.
  for (const char* fmt : {"zip", "mkv", "avi"}) {
    const std::string copy = home->file(std::string("copy-") + fmt + "/falcon_1_0/");
    ASSERT_EQ(system(("mkdir -p " + copy + " && cp -a " + tree + ". " + copy).c_str()), 0);
    recordings::RecordingTree rt(copy);
    recordings::ExportRequest req;
    req.channelName = req.channelTag = "falcon_1_0";
    req.fromUs = first;
    req.toUs = last + 3600000000ull;
    ASSERT_TRUE(recordings::parseFormat(fmt, &req.format));
    const size_t inCopy = treeStamps(copy).size();
    unsigned calls = 0;
    const std::string file = home->file(std::string("cut.") + fmt);
    const recordings::ExportResult r = recordings::exportRange(rt, req, file, [&] {
      if (++calls == 10) eventtree::removeTree(eventtree::eventDir(copy, 1));
      return false;
    });
    ASSERT_EQ(r.status, recordings::ExportResult::Status::Written) << fmt << ": " << r.error;
    EXPECT_TRUE(r.cutShort) << fmt;
    EXPECT_GE(r.pictures, 10u);
    EXPECT_LT(r.pictures, inCopy);
    const std::string said = std::string(fmt) == "zip"
        ? sh("unzip -t " + file + " && unzip -p " + file + " EXPORT.txt")
        : sh("ffprobe -v error -show_entries format_tags=comment -of default=nw=1 " + file);
    EXPECT_NE(said.find("Complete: no. The recording cleaner"), std::string::npos) << fmt << ": " << said;
    EXPECT_TRUE(std::string(fmt) != "zip" || said.find("No errors detected") != std::string::npos) << said;
  }
}

TEST_F(RecordingsShort, ChromiumShowsTheDayPageAndPlaysARecording) {
  if (access(browsertest::kChromium, X_OK) != 0) GTEST_SKIP() << "no chromium";
  TempDir profile;
  browsertest::Browser b;
  ASSERT_TRUE(b.start(profile.path()));
  ASSERT_TRUE(b.openPage());
  b.call("Page.enable");
  b.call("Network.enable");
  b.call("Network.setExtraHTTPHeaders",
         "{\"headers\":{\"Authorization\":\"Basic " + base64_encode("admin:qatrel") + "\"}}");
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(b.navigate(base + "/recordings"));
  const std::string day = b.eval("document.querySelector('A.day').getAttribute('href')");
  ASSERT_NE(day.find("day="), std::string::npos);
  ASSERT_TRUE(b.navigate(base + day));
  EXPECT_TRUE(browsertest::waitTrue(b, "document.querySelectorAll('DIV.rec').length > 0 && "
                                       "[...document.querySelectorAll('DIV.ev IMG')].every(i => i.complete && "
                                       "i.naturalWidth == 320) ? 'yes' : 'no'", 10000));
  b.screenshot(buildTreePath("recordings-day.png"));
  ASSERT_TRUE(b.navigate(base + b.eval("document.querySelector('DIV.ev A').getAttribute('href')")));
  EXPECT_TRUE(browsertest::waitTrue(b, "frames > 10 && document.getElementById('video').naturalWidth == 320 && "
                                       "document.getElementById('shown').textContent.length == 19 ? 'yes' : 'no'",
                                    10000));
  b.screenshot(buildTreePath("recordings-play.png"));
}

}  // namespace

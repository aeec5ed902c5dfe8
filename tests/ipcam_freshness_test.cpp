// IP channels against cameras that stream faster than the channel fetches: what is recorded is
// what the camera saw last, for every family at once, and a camera that never yields a picture
// is asked again only at the pace of a failed connection.
#include "tests/ipcam_fixture.h"

#include <ftw.h>

#include <set>

#include "base/CLogFile.h"
#include "channels/PictureBlocks.h"
#include "platform/ByteOrder.h"

using namespace ipcamtest;
using fakecam::Misbehave;

namespace {

std::vector<std::string>* g_walked = nullptr;
int collect(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_F) g_walked->push_back(path);
  return 0;
}

std::vector<std::string> allFiles(const std::string& dir) {
  std::vector<std::string> files;
  g_walked = &files;
  nftw(dir.c_str(), collect, 16, FTW_PHYS);
  g_walked = nullptr;
  return files;
}

struct Recorded {
  uint64_t stampUs;    // the channel's time stamp
  uint64_t captureUs;  // the camera's capture time
  uint32_t sequence;
};

// Every published picture in a file (an event picture or a sequence file holding several).
void picturesIn(const std::string& data, std::vector<Recorded>* out) {
  static const std::string kMark("\xFF\xD8\xFF\xFE\x00\x42TLF", 9);
  for (size_t at = data.find(kMark); at != std::string::npos; at = data.find(kMark, at + 1)) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data()) + at;
    const size_t left = data.size() - at;
    Recorded r{};
    uint64_t frame = 0;
    size_t next = data.find(kMark, at + 1);
    size_t span = (next == std::string::npos ? data.size() : next) - at;
    if (!pictureblocks::readPictureTimeUs(p, left, &r.stampUs)) continue;
    if (!fakecam::readStamp(p, span, &frame, &r.captureUs)) continue;
    r.sequence = getLE32(p + pictureblocks::kOffSeq1);
    out->push_back(r);
  }
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class IpcamFresh : public IpcamTest {};

// Nine families side by side, each camera at 25 pictures/s, each channel fetching every 2 s:
// the backlog a camera builds up between two fetches must never be what gets recorded. Eight
// seconds give each channel three fetches behind a full backlog, which is where the past shows.
TEST_F(IpcamFresh, EveryFamilyRecordsWhatItsCameraSawLast) {
  struct Fam {
    const char* name;
    int type;
  } fams[] = {{"axis", 1},      {"lilin", 2},   {"asip", 3},      {"toshiba", 4},    {"sony", 5},
              {"panasonic", 6}, {"vivotec", 7}, {"hikvision", 8}, {"grandstream", 9}};
  std::vector<std::unique_ptr<fakecam::Server>> cams;
  std::vector<std::unique_ptr<CIPVideoCnl>> cnls;
  for (const Fam& f : fams) {
    fakecam::Options o;
    o.family = f.name;
    o.fps = 25;
    o.stamp = true;
    o.user = "user";
    o.password = "pw";
    cams.emplace_back(new fakecam::Server(o));
    ASSERT_TRUE(cams.back()->start());
    configure(f.type, 1, cams.back()->port());
    recordingOn(f.type, 1, 2000);
    CIPVideoCnl* c = static_cast<CIPVideoCnl*>(createIPChannel(f.type, 1));
    cnls.emplace_back(c);
    c->setRequestPauseMs(5);
    c->setRetryPauseMs(20);
    ASSERT_TRUE(c->init()) << f.name;
    EXPECT_EQ(c->framePeriodNs(), 2000000000);
    ASSERT_TRUE(c->start()) << f.name;
  }
  std::this_thread::sleep_for(std::chrono::seconds(8));
  // Catching up with a backlog is reading, not a broken connection.
  for (size_t i = 0; i < cnls.size(); ++i)
    EXPECT_EQ(cnls[i]->counters().reconnects.load(), 0u) << fams[i].name;
  for (auto& c : cnls) c->stop();
  for (auto& c : cnls) c->join();
  {
    std::lock_guard<std::mutex> g(g_cnlListLock);
    g_cnlList.clear();
  }

  std::set<uint32_t> sequences;
  size_t total = 0;
  for (const Fam& f : fams) {
    SCOPED_TRACE(f.name);
    std::vector<Recorded> pics;
    for (const std::string& file : allFiles(home.dir().path() + "/rec/" + f.name + "_1"))
      picturesIn(readFile(file), &pics);
    EXPECT_GE(pics.size(), 3u);
    for (const Recorded& r : pics) {
      int64_t lagMs = (int64_t(r.stampUs) - int64_t(r.captureUs)) / 1000;
      EXPECT_GE(lagMs, -5) << "stamped before the camera took it";
      EXPECT_LE(lagMs, 200) << "sequence " << r.sequence;
      sequences.insert(r.sequence);
      ++total;
    }
  }
  // The sequence is shared by all channels: no two pictures carry the same number.
  EXPECT_EQ(sequences.size(), total);
}

// A camera that accepts the request but never yields a picture is a failed attempt: it waits
// out the back-off (here 5 x 100 ms + 100 ms) instead of being asked again at once, and the
// log says why, once.
TEST_F(IpcamFresh, ConnectionsWithoutPicturesBackOffAndAreLoggedOnce) {
  struct Case {
    const char* family;
    int type;
    Misbehave m;
    const char* why;
  } cases[] = {
      {"axis", 1, Misbehave::Garbage, "not a JPEG picture"},
      {"lilin", 2, Misbehave::Endless, "no boundary line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.family);
    startCam(c.family, c.m);
    configure(c.type, 1, cam->port());
    CIPVideoCnl* ch = makeChannel(c.type, 1);
    ch->setRetryPauseMs(100);
    ASSERT_TRUE(ch->init());
    const std::string before = g_logFile.logText(100000);
    ASSERT_TRUE(ch->start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // Lilin sends its configuration request before each stream request.
    const size_t perAttempt = c.type == 2 ? 2 : 1;
    EXPECT_LE(cam->requestCount(), 3 * perAttempt);
    EXPECT_GE(cam->requestCount(), 2 * perAttempt);
    stopChannel();
    const std::string after = g_logFile.logText(100000);
    EXPECT_EQ(count(after, "yielded no picture") - count(before, "yielded no picture"), 1u) << after;
    EXPECT_GT(count(after, c.why), count(before, c.why)) << after;
    cam.reset();
  }
}

}  // namespace

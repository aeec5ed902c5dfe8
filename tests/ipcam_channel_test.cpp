// The IP camera channel: publishing wrapped pictures, the frame reader's framings, recording,
// reconnection, misbehaving cameras and prompt stopping.
#include "tests/ipcam_fixture.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "base/CLogFile.h"
#include "endpoint/CIPAxisVideoCnl.h"
#include "endpoint/CIPSonyVideoCnl.h"
#include "platform/ByteOrder.h"
#include "tests/net_loopback.h"
#include "tools/FakeCamJpeg.h"

using namespace ipcamtest;
using fakecam::Misbehave;

namespace {

const std::string kBuiltIn(reinterpret_cast<const char*>(fakecam::kFakeCamJpeg), sizeof fakecam::kFakeCamJpeg);

// The camera's JPEG behind the time-stamp header and the comment segment, if any, of a
// published picture (without its start marker).
std::string cameraPart(const FrameRec& rec) {
  const size_t h = pictureblocks::kHeaderSize;
  if (rec.length < h + 4) return "";
  const bool comment = rec.data[h] == 0xFF && rec.data[h + 1] == 0xFE;
  size_t off = h + (comment ? getBE16(rec.data + h + 2) + 2 : 0);
  if (off > rec.length) return "";
  return std::string(reinterpret_cast<const char*>(rec.data + off), rec.length - off);
}

std::string commentOf(const FrameRec& rec) {
  uint32_t len = getBE16(rec.data + 72);
  return std::string(reinterpret_cast<const char*>(rec.data + 74), len - 2);
}

class IpcamChannel : public IpcamTest {
 protected:
  void startAxis(Misbehave m = Misbehave::None, std::function<void(fakecam::Options&)> tweak = nullptr) {
    startCam("axis", m, tweak);
    configure(1, 1, cam->port());
    startChannel(1, 1);
  }
};

TEST_F(IpcamChannel, PublishesCameraPictureWithTimeStampAndComment) {
  startAxis();
  FrameRec a;
  ASSERT_TRUE(nextPicture(a));
  const uint32_t first = a.sequence;
  ASSERT_TRUE(nextPicture(a));  // a newer one
  // SOI, then the 68-byte time-stamp segment.
  ASSERT_GT(a.length, 200u);
  EXPECT_EQ(std::memcmp(a.data, "\xFF\xD8\xFF\xFE\x00\x42TLF\0", 10), 0);
  uint64_t us = 0;
  ASSERT_TRUE(pictureblocks::readPictureTimeUs(a.data, a.length, &us));
  EXPECT_EQ(us, a.timestamp / 1000);
  EXPECT_EQ(getLE32(a.data + pictureblocks::kOffSeq1), a.sequence);
  EXPECT_EQ(getLE32(a.data + pictureblocks::kOffFormat), (480u << 20) | (640u << 8));
  EXPECT_GT(a.sequence, first);
  // The comment block names the channel and the camera.
  std::string c = commentOf(a);
  EXPECT_EQ(c.compare(0, 7, "#:T7IMG"), 0);
  EXPECT_NE(c.find("\r\nNAM=Cam 1\r\n"), std::string::npos) << c;
  EXPECT_NE(c.find("\r\nET0=127.0.0.1\r\n"), std::string::npos) << c;
  // The camera's JPEG follows without its own SOI; the whole is a decodable picture.
  EXPECT_EQ(cameraPart(a), kBuiltIn.substr(2));
  EXPECT_EQ(a.length, 70 + c.size() + 4 + kBuiltIn.size() - 2);
  int w = 0, h = 0;
  ASSERT_TRUE(decodeJpeg(a.data, a.length, &w, &h));
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);
  EXPECT_EQ(cnl->listEntry().state(), 1);
  EXPECT_EQ(cnl->listEntry().stateText(), "Q=70 recording:off m_Tns[ms]:5000");
}

TEST_F(IpcamChannel, ReadsEveryPartFraming) {
  struct Case {
    const char* what;
    std::function<void(fakecam::Options&)> tweak;
  } cases[] = {
      {"boundary already with dashes", [](fakecam::Options& o) { o.boundaryWithDashes = true; }},
      {"Content-length in lower case", [](fakecam::Options& o) { o.lowerCaseLength = true; }},
      {"no part length: JPEG found by its markers", [](fakecam::Options& o) { o.noPartLength = true; }},
      {"quoted boundary", [](fakecam::Options& o) { o.typeParams = "; boundary=\"myboundary\""; }},
      {"boundary with trailing blanks", [](fakecam::Options& o) { o.typeParams = ";boundary=myboundary  "; }},
      {"reply header with an empty value", [](fakecam::Options& o) { o.extraReplyHeaders = "Server:\r\n"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    startAxis(Misbehave::None, c.tweak);
    FrameRec rec;
    EXPECT_TRUE(nextPicture(rec));
    EXPECT_EQ(cameraPart(rec), kBuiltIn.substr(2));
    EXPECT_EQ(cnl->boundary(), "--myboundary");
    stopChannel();
  }
}

// A channel whose camera connection is a test's socket; never started.
class PartReader : public CIPAxisVideoCnl {
 public:
  PartReader() : CIPAxisVideoCnl(9991) {}
  bool connectTo(const sockaddr_in& addr) {
    m_boundaryLine = "--b";
    return m_sock.create() == 0 && m_sock.connect(addr, 1000) == 0;
  }
  void fetch(FrameRec& rec) { getFrameSrv(rec, 1); }
};

// On one connection, parts arrive one at a time, several at once, with heads that change
// length and without a length: every fetch publishes exactly the newest picture.
TEST(IpcamParts, EveryFetchPublishesTheNewestPartWhole) {
  // Also found by its markers: start of image, start of scan, the tag as scan data, end.
  auto picture = [](const std::string& tag) { return "\xFF\xD8\xFF\xDA" + tag + std::string(300, 'x') + "\xFF\xD9"; };
  auto part = [](const std::string& pic, const std::string& extraHead = "") {
    return "--b\r\nContent-Type: image/jpeg\r\n" + extraHead + "Content-Length: " + std::to_string(pic.size()) +
           "\r\n\r\n" + pic + "\r\n";
  };
  nettest::Listener listener;
  PartReader reader;
  ASSERT_TRUE(reader.connectTo(listener.address()));
  const int cam = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(cam, 0);
  FrameRec rec;
  ASSERT_TRUE(rec.allocate(CVideoCnl::kFrameBufferSize));
  const std::string big = picture("I") + std::string(70000, 'y');  // more than one receive takes
  struct Step {
    const char* what;
    std::string sent, expected;
  } steps[] = {
      {"first part", part(picture("A")), picture("A")},
      {"same head again", part(picture("B")), picture("B")},
      {"a longer head", part(picture("C"), "X-Frame: 12345\r\n"), picture("C")},
      {"a shorter head", part(picture("D")), picture("D")},
      {"two parts at once", part(picture("E")) + part(picture("F")), picture("F")},
      {"a part found by its markers", "--b\r\nContent-Type: image/jpeg\r\n\r\n" + picture("G") + "\r\n", picture("G")},
      {"a length again", part(picture("H")), picture("H")},
      {"a larger picture", part(big), big},
      {"back to small", part(picture("J")), picture("J")},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_EQ(::send(cam, step.sent.data(), step.sent.size(), MSG_NOSIGNAL), ssize_t(step.sent.size()));
    reader.fetch(rec);
    ASSERT_GT(rec.length, 0u) << reader.frameError();
    EXPECT_EQ(cameraPart(rec), step.expected.substr(2));
  }
  // A length line without a value is no length: no picture, not one found by its markers.
  const std::string empty = "--b\r\nContent-Length: \r\n\r\n" + picture("K") + "\r\n";
  ASSERT_EQ(::send(cam, empty.data(), empty.size(), MSG_NOSIGNAL), ssize_t(empty.size()));
  reader.fetch(rec);
  EXPECT_EQ(rec.length, 0u);
  ::close(cam);
}

TEST_F(IpcamChannel, DropsAtMostThreeTrailingZeroBytes) {
  for (int zeros : {3, 4}) {
    SCOPED_TRACE(zeros);
    startAxis(Misbehave::None, [zeros](fakecam::Options& o) { o.trailingZeros = zeros; });
    FrameRec rec;
    ASSERT_TRUE(nextPicture(rec));
    EXPECT_EQ(cameraPart(rec), kBuiltIn.substr(2) + std::string(size_t(zeros - 3), '\0'));
    stopChannel();
  }
}

TEST_F(IpcamChannel, RecordsEventsWhenRecordingIsOn) {
  startCam("vivotec");
  configure(7, 1, cam->port());
  recordingOn(7, 1, 40);
  startChannel(7, 1);
  std::vector<std::string> found;
  ASSERT_TRUE(waitFor([&] {
    found.clear();
    findFiles(home.dir().path() + "/rec", "E00000.jpg", &found);
    return !found.empty();
  }, 8000));
  std::string pic = readFile(found[0]);
  uint64_t us = 0;
  EXPECT_TRUE(pictureblocks::readPictureTimeUs(reinterpret_cast<const uint8_t*>(pic.data()), pic.size(), &us));
  EXPECT_NE(pic.find("NAM=Cam 1"), std::string::npos);
  EXPECT_EQ(cnl->listEntry().stateText(), "Q=70 recording:on m_Tns[ms]:40");
}

TEST_F(IpcamChannel, ReconnectsAfterTheCameraRestarts) {
  startAxis();
  FrameRec rec;
  ASSERT_TRUE(nextPicture(rec));
  uint16_t port = cam->port();
  cam->stop();
  // Asking for pictures makes the channel fetch and notice the loss.
  ASSERT_TRUE(waitFor([&] {
    cnl->getNewFrame(rec);
    return cnl->listEntry().state() == 2;
  }, 4000));
  cam.reset();
  startCam("axis", Misbehave::None, nullptr, port);
  ASSERT_TRUE(nextPicture(rec, 6000));
  EXPECT_EQ(cnl->listEntry().state(), 1);
  EXPECT_GE(cam->requestCount(), 1u);
}

// Every way a camera can go wrong ends in a reconnect (a new request), never in a crash, a
// published broken picture or a channel stuck reading.
TEST_F(IpcamChannel, MisbehavingCamerasLeadToReconnects) {
  struct Case {
    Misbehave m;
    const char* what;
  } cases[] = {
      {Misbehave::Status500, "status 500"},       {Misbehave::NoBoundary, "no boundary"},
      {Misbehave::NoType, "no Content-Type"},     {Misbehave::Drop, "connection dropped"},
      {Misbehave::Oversized, "oversized picture"}, {Misbehave::Endless, "endless lines, no boundary"},
      {Misbehave::Garbage, "not a JPEG"},          {Misbehave::LyingLength, "lying Content-Length"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    startAxis(c.m);
    ASSERT_TRUE(waitFor([&] { return cam->requestCount() >= 2; }, 12000)) << cam->requestCount();
    FrameRec rec;
    EXPECT_FALSE(cnl->getNewFrame(rec));
    auto t0 = std::chrono::steady_clock::now();
    stopChannel();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
}

// The log names what went wrong with an answer, not a status that belongs to no answer.
TEST_F(IpcamChannel, LogSaysWhatWasWrongWithTheAnswer) {
  struct Case {
    Misbehave m;
    const char* said;
  } cases[] = {
      {Misbehave::Reset, "connection reset (Connection reset by peer)"},
      {Misbehave::BadHeader, "header line not understood: 'Bad : x'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    const std::string before = g_logFile.logText(0);
    startAxis(c.m);
    ASSERT_TRUE(waitFor([&] { return g_logFile.logText(0).size() > before.size() + 200; }, 4000));
    stopChannel();
    std::string added = g_logFile.logText(0);
    added = added.substr(0, added.size() - before.size());  // newest lines come first
    EXPECT_NE(added.find(c.said), std::string::npos) << added;
    EXPECT_EQ(added.find("error code from the camera"), std::string::npos) << added;
  }
}

// Line breaks in a setting would forge lines of the picture's comment block.
TEST_F(IpcamChannel, LineBreaksInTheNameNeverReachThePicture) {
  startCam("axis");
  configure(1, 1, cam->port());
  g_settings.writeString(section(1, 1), "CnlName", "Cam\r\nNAM=forged\nX");
  startChannel(1, 1);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(rec));
  const std::string c = commentOf(rec);
  // The channel drops control characters from names; whatever is left stays on the NAM line.
  EXPECT_NE(c.find("NAM=CamNAM=forgedX\r\n"), std::string::npos) << c;
  EXPECT_EQ(c.find("\nNAM=forged"), std::string::npos) << c;
}

// A camera streaming 50 pictures/s to a channel nobody asks (recording off: a 5 s period):
// the channel publishes after connecting and then not again within the period, however fast
// the parts come; a consumer asking ends the period's wait at once.
TEST_F(IpcamChannel, PublishesOncePerPeriodUnlessAsked) {
  startAxis();
  ChannelCounters& n = cnl->counters();
  ASSERT_TRUE(waitFor([&] { return n.published.load() >= 1; }, 4000));
  const uint64_t first = n.published.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(n.published.load(), first);
  FrameRec rec;
  ASSERT_TRUE(cnl->getNewFrame(rec));  // the one in hand
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(cnl->getNewFrame(rec));  // a newer one
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

// A Sony camera that streamed before and now only answers single pictures: what the stream
// taught the channel must not make it ask for pictures without the period's pause.
TEST_F(IpcamChannel, SinglePicturesAfterAStreamAreAskedForOncePerPeriod) {
  startCam("sony");
  configure(5, 1, cam->port());
  startChannel(5, 1);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(rec));
  const uint16_t port = cam->port();
  cam.reset();
  startCam("sony", Misbehave::RefuseFirst, nullptr, port);
  auto* sony = static_cast<CIPSonyVideoCnl*>(cnl.get());
  ASSERT_TRUE(waitFor([&] {
    cnl->getNewFrame(rec);
    return sony->encoderMode() && cnl->listEntry().state() == 1;
  }, 8000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last asked-for picture
  const size_t before = cam->requestCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LE(cam->requestCount() - before, 1u);
}

// A name changed while the channel runs is in its next pictures.
TEST_F(IpcamChannel, RenamedChannelsNextPicturesCarryTheNewName) {
  startAxis();
  FrameRec rec;
  ASSERT_TRUE(nextPicture(rec));
  g_settings.writeString(section(1, 1), "CnlName", "Gate 2");
  ASSERT_TRUE(cnl->init());
  ASSERT_TRUE(nextPicture(rec));
  ASSERT_TRUE(nextPicture(rec));
  EXPECT_NE(commentOf(rec).find("\r\nNAM=Gate 2\r\n"), std::string::npos) << commentOf(rec);
}

// The real time-out: a camera that accepts the request and never answers is given up on after
// the 5 s of the connection set-up, and asked again.
TEST_F(IpcamChannel, SilentCameraIsAskedAgainAfterTheResponseTimeout) {
  startAxis(Misbehave::Silence);
  ASSERT_TRUE(waitFor([&] { return cam->requestCount() >= 1; }, 3000));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitFor([&] { return cam->requestCount() >= 2; }, 9000));
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_EQ(cnl->listEntry().state(), 2);
}

TEST_F(IpcamChannel, StopsPromptlyWhileTheCameraIsSilent) {
  startAxis(Misbehave::Silence);
  ASSERT_TRUE(waitFor([&] { return cam->requestCount() >= 1; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto t0 = std::chrono::steady_clock::now();
  stopChannel();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST_F(IpcamChannel, StopsPromptlyWhileConnectionsAreRefused) {
  // A port nobody listens on: bind one and close it again.
  startCam("axis");
  uint16_t port = cam->port();
  cam.reset();
  configure(1, 1, port);
  CIPVideoCnl* c = makeChannel(1, 1);
  c->setRetryPauseMs(1000);  // the real pauses
  ASSERT_TRUE(c->init());
  ASSERT_TRUE(c->start());
  ASSERT_TRUE(waitFor([&] { return c->listEntry().stateText() == "waiting..."; }, 4000));
  auto t0 = std::chrono::steady_clock::now();
  stopChannel();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

// A channel thread with nothing to do must not hold its socket or list entry after it ends.
TEST_F(IpcamChannel, RegistersWhileRunningAndRemovesItsListEntryAtTheEnd) {
  startAxis();
  FrameRec rec;
  ASSERT_TRUE(nextPicture(rec));
  auto list = snapshotChannels();
  EXPECT_NE(std::find(list.begin(), list.end(), cnl.get()), list.end());
  EXPECT_TRUE(cnl->listEntry().shown());
  cnl->stop();
  cnl->join();
  EXPECT_FALSE(cnl->listEntry().shown());
}

// ---- wrapping as a pure step

TEST(IpcamWrap, RefusesFramesThatWouldNotFitTheRecord) {
  uint8_t header[pictureblocks::kHeaderSize];
  pictureblocks::initHeader(header);
  std::vector<uint8_t> comment = pictureblocks::ipCommentSegment("n", "1.2.3.4");
  std::vector<uint8_t> jpeg(1000, 0x11);
  jpeg[0] = 0xFF;
  jpeg[1] = 0xD8;
  const uint32_t exact = uint32_t(70 + comment.size() + jpeg.size() - 2);
  FrameRec rec;
  ASSERT_TRUE(rec.allocate(exact - 1));
  std::memset(rec.data, 0xAB, rec.capacity);
  EXPECT_FALSE(CIPVideoCnl::wrapFrame(header, comment, jpeg.data(), 1000, 5, 7, 0, rec));
  EXPECT_EQ(rec.length, 0u);
  EXPECT_EQ(rec.data[rec.capacity - 1], 0xAB);  // nothing written
  ASSERT_TRUE(rec.allocate(exact));
  EXPECT_TRUE(CIPVideoCnl::wrapFrame(header, comment, jpeg.data(), 1000, 5000, 7, 0x12345600, rec));
  EXPECT_EQ(rec.length, exact);
  EXPECT_EQ(rec.sequence, 7u);
  EXPECT_EQ(rec.data[exact - 1], 0x11);
  // Data that is not a JPEG is refused.
  jpeg[1] = 0xD9;
  EXPECT_FALSE(CIPVideoCnl::wrapFrame(header, comment, jpeg.data(), 1000, 5, 7, 0, rec));
  EXPECT_EQ(rec.length, 0u);
}

}  // namespace

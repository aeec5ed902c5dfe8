// The exact requests each camera family sends, as the fake camera received them.
#include "tests/ipcam_fixture.h"

#include "base/CLogFile.h"

#include "endpoint/CIPPanasonicVideoCnl.h"
#include "endpoint/CIPSonyVideoCnl.h"

using namespace ipcamtest;
using fakecam::Misbehave;

namespace {

class IpcamRequests : public IpcamTest {
 protected:
  // Starts a channel of the family against a fresh fake camera and waits for a picture.
  void connectAndFetch(const std::string& family, int type, Misbehave m = Misbehave::None,
                       std::function<void()> extra = nullptr) {
    startCam(family, m);
    configure(type, 1, cam->port());
    if (extra) extra();
    startChannel(type, 1);
    FrameRec rec;
    ASSERT_TRUE(nextPicture(rec)) << "no picture from the " << family << " channel";
  }
};

TEST_F(IpcamRequests, AxisRequestAWithSlowPeriodSendsFpsZeroAndCompression30) {
  connectAndFetch("axis", 1);
  EXPECT_EQ(request(0),
            "GET /axis-cgi/mjpg/video.cgi?camera=1&resolution=640x480&date=1&clock=1&duration=0"
            "&nbroffames=0&fps=0&compression=30&text=1&textstring=\"Cam+1\"&textposition=top&textpos=0"
            " HTTP/1.1\r\nHost: " + host() +
                "\r\nAccept: multipart/x-mixed-replace,*/*\r\nUser-Agent: Firefox\r\nAuthorization: Basic " +
                kAuth + "\r\n\r\n");
  EXPECT_EQ(cam->requestCount(), 1u);
}

TEST_F(IpcamRequests, AxisRecordingAt40msSendsFps25AndCameraNumber) {
  connectAndFetch("axis", 1, Misbehave::None, [&] {
    recordingOn(1, 1, 40);
    g_settings.writeInt(section(1, 1), "CamID", 3);
    g_settings.writeString(section(1, 1), "ImageSize", "cif");
  });
  EXPECT_NE(request(0).find("?camera=3&resolution=352x288&"), std::string::npos) << request(0);
  EXPECT_NE(request(0).find("&fps=25&"), std::string::npos) << request(0);
  EXPECT_EQ(cnl->framePeriodNs(), 40000000);
}

TEST_F(IpcamRequests, AxisRefusedRequestAIsFollowedByRequestBWithResolutionName) {
  connectAndFetch("axis", 1, Misbehave::RefuseFirst);
  ASSERT_GE(cam->requestCount(), 2u);
  EXPECT_NE(request(0).find("resolution=640x480&"), std::string::npos);
  EXPECT_EQ(request(1),
            "GET /axis-cgi/mjpg/video.cgi?camera=1&resolution=VGA&date=1&clock=1&duration=0"
            "&nbroffames=0&fps=0&compression=30&text=1&textstring=\"Cam+1\"&textposition=top&textpos=0"
            " HTTP/1.1\r\nHost: " + host() +
                "\r\nAccept: multipart/x-mixed-replace,*/*\r\nUser-Agent: Firefox\r\nAuthorization: Basic " +
                kAuth + "\r\n\r\n");
}

// The stream request joins its parameters with "&" (run together they form one bad value).
TEST_F(IpcamRequests, LilinConfiguresThenStreamsWithSeparatedParameters) {
  connectAndFetch("lilin", 2, Misbehave::None, [&] { g_settings.writeString(section(2, 1), "ImageSize", "vga"); });
  EXPECT_EQ(request(0),
            "GET /setvideo?save=1&VideoID=1&JPEG%20Quality=9&BitmapEnable=1&BitmapTime=1&BitmapX=5"
            "&BitmapY=5&BitmapTextEnable=1&BitmapText=Cam+1 HTTP/1.1\r\nHost: " + host() +
                "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
  EXPECT_EQ(request(1), "GET /getimage?camera=1&fmt=VGA&delay=500 HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " +
                            host() + "\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
  EXPECT_EQ(cnl->imageUrl("", true), "//" + host() + "/getimage?fmt=sif&delay=10&VideoID=1&camera=1");
  EXPECT_EQ(cnl->imageUrl("", false), "//" + host() + "/images1sif");
}

TEST_F(IpcamRequests, AsipSendsThreeSettingsRequestsThenTheStream) {
  connectAndFetch("asip", 3, Misbehave::None, [&] {
    g_settings.writeInt(section(3, 1), "CamID", 2);
    g_settings.writeString(section(3, 1), "CnlVideoStandard", "NTSC");
    g_settings.writeString(section(3, 1), "ImageSize", "cif");
  });
  const std::string tail = " HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " + host() +
                           "\r\nAuthorization: Basic " + kAuth + "\r\n\r\n";
  EXPECT_EQ(request(0), "GET /SetVideoMode.cgi?Camera=2&Mode=1" + tail);
  EXPECT_EQ(request(1), "GET /ChangeCompressRatio.cgi?Camera=2&Ratio=3" + tail);
  EXPECT_EQ(request(2), "GET /ChangeResolution.cgi?Camera=2&ResType=1" + tail);
  EXPECT_EQ(request(3), "GET /GetData.cgi?Camera=2 HTTP/1.1\r\nHost: " + host() +
                            "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
}

TEST_F(IpcamRequests, ToshibaConfiguresThenStreamsOnANewConnection) {
  connectAndFetch("toshiba", 4, Misbehave::None, [&] { g_settings.writeInt(section(4, 1), "ImageQuality", 95); });
  EXPECT_EQ(request(0), "GET /api/wbsetcambasic.cgi?type=Set&Resolution=3&CompressionRatio=5 HTTP/1.1\r\n"
                        "Accept: text/html; image/jpg\r\nHost: " + host() + "\r\nAuthorization: Basic " + kAuth +
                            "\r\n\r\n");
  EXPECT_EQ(request(1), "GET /api/getstream.cgi?1&&&&0&5000&1&0&9000 HTTP/1.1\r\nHost: " + host() +
                            "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
  EXPECT_GE(cam->connectionsAccepted(), 2u);
}

TEST_F(IpcamRequests, SonyCameraModeConfiguresWith204AndReadsDataLenParts) {
  connectAndFetch("sony", 5, Misbehave::None, [&] { g_settings.writeString(section(5, 1), "ImageSize", "qvga"); });
  EXPECT_EQ(request(0), "GET /command/camera.cgi?ImageSize=6&Quality=8 HTTP/1.1\r\nHost: " + host() +
                            "\r\nAccept: text/html\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
  EXPECT_EQ(request(1), "GET /image?interval=5000 HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " + host() +
                            "\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
  EXPECT_FALSE(static_cast<CIPSonyVideoCnl*>(cnl.get())->encoderMode());
}

// Encoder mode takes a picture with status 200 and counts its requests AA, BA, CA, ...
TEST_F(IpcamRequests, SonyEncoderModeAcceptsStatus200AndCountsRequests) {
  connectAndFetch("sony", 5, Misbehave::RefuseFirst);
  EXPECT_TRUE(static_cast<CIPSonyVideoCnl*>(cnl.get())->encoderMode());
  FrameRec rec;
  ASSERT_TRUE(nextPicture(rec));
  ASSERT_TRUE(nextPicture(rec));
  ASSERT_TRUE(waitFor([&] { return cam->requestCount() >= 4; }, 2000));
  auto reqs = cam->requests();
  std::vector<std::string> letters;
  for (const auto& r : reqs) {
    if (r.compare(0, 19, "GET /oneshotimage1?") != 0) continue;
    EXPECT_EQ(r, "GET /oneshotimage1?" + r.substr(19, 2) + " HTTP/1.1\r\nHost: " + host() +
                     "\r\nPragma: no-cache\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
    letters.push_back(r.substr(19, 2));
  }
  ASSERT_GE(letters.size(), 3u);
  for (size_t i = 1; i < letters.size(); ++i) {
    char a = letters[i - 1][0], b = letters[i - 1][1];
    char ea = a == 'Z' ? 'A' : char(a + 1);
    char eb = a == 'Z' ? (b == 'Z' ? 'A' : char(b + 1)) : b;
    EXPECT_EQ(letters[i], std::string({ea, eb}));
  }
  // One connection serves the test picture and every following one.
  EXPECT_LE(cam->connectionsAccepted(), 2u);
}

// Each Sony connection step names itself in the log: the stream of camera mode, and the
// encoder mode's test picture.
TEST_F(IpcamRequests, SonyLogLinesNameTheModeThatFailed) {
  struct Case {
    Misbehave m;
    const char* said;
  } cases[] = {
      {Misbehave::NoBoundary, "CIPSonyVideoCnl::reconnect_cam : Cam 1 : Sony: HTTP boundary header not found"},
      {Misbehave::Status500,
       "CIPSonyVideoCnl::reconnect_enc : Cam 1 : 1) received the following error code from the camera: 500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    startCam("sony", c.m);
    configure(5, 1, cam->port());
    startChannel(5, 1);
    EXPECT_TRUE(waitFor([&] { return g_logFile.logText(50).find(c.said) != std::string::npos; }, 4000))
        << g_logFile.logText(10);
    stopChannel();
  }
}

// Panasonic cameras may write the boundary parameter with blanks around its "=".
TEST_F(IpcamRequests, PanasonicBoundaryWithBlanksAroundItsEquals) {
  startCam("panasonic", Misbehave::None, [](fakecam::Options& o) { o.typeParams = "; boundary = myboundary"; });
  configure(6, 1, cam->port());
  startChannel(6, 1);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(rec));
  EXPECT_EQ(cnl->boundary(), "--myboundary");
}

TEST(IpcamSony, LetterCounterCarriesIntoTheSecondLetter) {
  char l[2];
  CIPSonyVideoCnl::nextLetters(l);
  std::string prev{l[0], l[1]};
  bool carried = false;
  for (int i = 0; i < 26 * 26 + 1; ++i) {
    CIPSonyVideoCnl::nextLetters(l);
    std::string cur{l[0], l[1]};
    if (prev[0] == 'Z') {
      EXPECT_EQ(cur[0], 'A');
      EXPECT_EQ(cur[1], prev[1] == 'Z' ? 'A' : prev[1] + 1);
      carried = true;
    } else {
      EXPECT_EQ(cur, std::string({char(prev[0] + 1), prev[1]}));
    }
    prev = cur;
  }
  EXPECT_TRUE(carried);
}

TEST_F(IpcamRequests, PanasonicThreeSecondsSendsQuarterRateAndBecomesFourSeconds) {
  connectAndFetch("panasonic", 6, Misbehave::None, [&] { recordingOn(6, 1, 3000); });
  const std::string r = request(0);
  const std::string head = "GET /cgi-bin/jpeg?connect=start&framerate=0.25&resolution=640&vmdinfo=none&UID=";
  ASSERT_EQ(r.compare(0, head.size(), head), 0) << r;
  size_t ch = r.find("&ch=1 HTTP/1.1\r\nHost: " + host() + "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " +
                     kAuth + "\r\n\r\n");
  ASSERT_NE(ch, std::string::npos) << r;
  std::string uid = r.substr(head.size(), ch - head.size());
  EXPECT_FALSE(uid.empty());
  EXPECT_EQ(uid.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(cnl->framePeriodNs(), 4000000000ll);
}

TEST_F(IpcamRequests, PanasonicRefusedFirstFormFallsBackToTheSecond) {
  connectAndFetch("panasonic", 6, Misbehave::RefuseFirst, [&] { g_settings.writeString(section(6, 1), "ImageSize", "qvga"); });
  EXPECT_EQ(request(1), "GET /nphMotionJpeg?Resolution=320x240&Quality=Standard&Framerate=0.167 HTTP/1.1\r\nHost: " +
                            host() + "\r\nAccept: image/jpg\r\nUser-Agent: Firefox\r\nAuthorization: Basic " + kAuth +
                            "\r\n\r\n");
  auto* p = static_cast<CIPPanasonicVideoCnl*>(cnl.get());
  EXPECT_TRUE(p->secondFormInUse());
  EXPECT_EQ(p->imageUrl("", false).find("//" + host() + "/SnapshotJPEG?Resolution=320x240&Quality=Standard&Count="), 0u);
}

TEST(IpcamPanasonic, RatesSnapToWhatTheCamerasAccept) {
  const int64_t ms = 1000000;
  struct { int64_t in; const char* text; int64_t out; } cases[] = {
      {10 * ms, "30", 33 * ms},    {40 * ms, "25", 40 * ms},   {300 * ms, "3", 333333333},
      {501 * ms, "1", 1000 * ms},  {1500 * ms, "0.5", 2000 * ms}, {3000 * ms, "0.25", 4000 * ms},
      {5000 * ms, "0.167", 6000 * ms}, {8000 * ms, "0.125", 8000 * ms}, {9000 * ms, "0.1", 10000 * ms},
  };
  for (const auto& c : cases) {
    auto r = CIPPanasonicVideoCnl::snapRate(c.in);
    EXPECT_EQ(r.text, c.text) << c.in;
    EXPECT_EQ(r.periodNs, c.out) << c.in;
  }
}

TEST_F(IpcamRequests, VivotecAndHikvisionSendTheirSingleRequest) {
  connectAndFetch("vivotec", 7);
  EXPECT_EQ(request(0), "GET /video.mjpg HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " + host() +
                            "\r\nAuthorization: Basic " + kAuth + "\r\n\r\n");
  EXPECT_EQ(cnl->imageUrl("", false), "//" + host() + "/video.jpg");
  stopChannel();
  connectAndFetch("hikvision", 8);
  EXPECT_EQ(request(0),
            "GET /streaming/channels/1/preview HTTP/1.1\r\nAccept: text/html; image/jpg\r\nUser-Agent: Mozilla/5.0\r\n"
            "Keep-Alive: 115\r\nConnection: keep-alive\r\nHost: " + host() + "\r\nAuthorization: Basic " + kAuth +
                "\r\n\r\n");
}

TEST_F(IpcamRequests, GrandstreamSendsResolutionWordAndChannelZeroForCameraOne) {
  connectAndFetch("grandstream", 9);
  EXPECT_EQ(request(0),
            "GET /goform/audio_video?cmd=set&channel=0&video.primary.encoder=26&video.primary.bitrate=2048"
            "&video.primary.resolution=41943520&video.primary.framerate=1&video.primary.imagequality=3 HTTP/1.1\r\n"
            "Host: " + host() + "\r\nAccept: text/html; image/jpg\r\nCookie: gs_product_model=GXV3615\r\n"
            "Authorization: Basic " + kAuth + "\r\n\r\n");
  const std::string r = request(1);
  const std::string head = "GET /goform/stream?cmd=get&channel=0&";
  ASSERT_EQ(r.compare(0, head.size(), head), 0) << r;
  size_t tail = r.find(" HTTP/1.1\r\nHost: " + host() + "\r\nCookie: gs_product_model=GXV3615\r\nAuthorization: Basic " +
                       kAuth + "\r\n\r\n");
  ASSERT_NE(tail, std::string::npos);
  int nonce = std::stoi(r.substr(head.size(), tail - head.size()));
  EXPECT_GE(nonce, 0);
  EXPECT_LE(nonce, 32767);
}

TEST_F(IpcamRequests, GrandstreamRefusesA200WithoutTheReasonOK) {
  startCam("grandstream", Misbehave::BadStatusOK);
  configure(9, 1, cam->port());
  startChannel(9, 1);
  // It keeps trying and never gets to the stream request.
  ASSERT_TRUE(waitFor([&] { return cam->requestCount() >= 2; }, 3000));
  for (const auto& r : cam->requests()) EXPECT_EQ(r.find("/goform/stream"), std::string::npos);
  EXPECT_EQ(cnl->listEntry().state(), 2);
}

}  // namespace

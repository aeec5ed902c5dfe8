// The analog channel in-process on the recording fake library: pictures as a viewer decodes
// them, the channel's settings rules, and how it rides out failing board calls.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "channels/CnlList.h"
#include "confserver/ChannelForms.h"
#include "endpoint/CFalconVideoCnl.h"
#include "endpoint/CHTTPSrvThread.h"
#include "platform/ByteOrder.h"
#include "tests/falcon_fake.h"
#include "tests/jpeg_support.h"
#include "tests/net_loopback.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

// The first quantisation value of the luminance table (FF DB 00 43 00 <value>).
int firstLumaQuant(const FrameRec& rec) {
  for (uint32_t i = 0; i + 5 < rec.length; ++i)
    if (rec.data[i] == 0xFF && rec.data[i + 1] == 0xDB && rec.data[i + 4] == 0) return rec.data[i + 5];
  return -1;
}

class FalconChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    falconfake::reset();
    board = std::make_unique<CFalconBoardDrv>(falconfake::api(), 1, 0);
    for (int input : CFalconBoardDrv::kInputs)
      g_settings.writeString(board->sectionOf(input), "CnlIPAddr", "127.0.0.1");
  }
  void TearDown() override {
    for (auto& c : channels) {
      c->stop();
      c->join();
      std::lock_guard<std::mutex> g(g_cnlListLock);
      for (auto it = g_cnlList.begin(); it != g_cnlList.end();)
        it = *it == c.get() ? g_cnlList.erase(it) : it + 1;
    }
    channels.clear();
    board.reset();
    falconfake::reset();
  }

  CFalconVideoCnl* start(int input, unsigned pauseMs = 20) {
    channels.emplace_back(new CFalconVideoCnl(board.get(), input));
    CFalconVideoCnl* c = channels.back().get();
    c->setPauseMs(pauseMs);
    c->setWaitTimeoutNs(300000000ull);
    EXPECT_TRUE(c->init());
    EXPECT_TRUE(c->start());
    return c;
  }

  bool nextPicture(CFalconVideoCnl* c, FrameRec& rec, int ms = 4000) {
    return waitFor([&] { return c->getNewFrame(rec); }, ms);
  }

  IsolatedHome home;
  std::unique_ptr<CFalconBoardDrv> board;
  std::vector<std::unique_ptr<CFalconVideoCnl>> channels;
};

TEST_F(FalconChannel, QualityRoundsDownAndOnlyInputZeroStartsEnabled) {
  g_settings.writeInt(board->sectionOf(0), "ImageQuality", 75);
  CFalconVideoCnl* in0 = start(0);
  CFalconVideoCnl* in1 = start(1);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(in0, rec));
  // Quality 70 scales the first table value 16 by 60% to 10 (75 would give 8).
  EXPECT_EQ(firstLumaQuant(rec), 10);
  EXPECT_EQ(in0->quality(), 70);

  ASSERT_TRUE(waitFor([&] { return in1->listEntry().state() == 3; }, 3000));
  EXPECT_FALSE(in1->enabled());
  FrameRec none;
  EXPECT_FALSE(in1->getNewFrame(none));

  g_settings.writeBool(board->sectionOf(1), "CnlEnabled", true);
  ASSERT_TRUE(in1->init());
  EXPECT_TRUE(nextPicture(in1, none));
  EXPECT_EQ(in1->listEntry().state(), 1);
}

TEST_F(FalconChannel, Vga2PicturesAreHalfHeightWithTheFullHeightInTheFormatWord) {
  g_settings.writeString(board->sectionOf(0), "ImageSize", "vga2");
  CFalconVideoCnl* c = start(0);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(c, rec));
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  ASSERT_TRUE(jpegtest::decode(rec.data, rec.length, &w, &h, &rgb));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 240);
  const uint32_t format = getLE32(rec.data + CJpegEncoder::kApp0Size + 64);
  EXPECT_EQ(format >> 20, 480u);
  EXPECT_EQ((format >> 8) & 0xFFF, 640u);
  EXPECT_EQ(falconfake::callsOf("is_SetCaptureMode"), std::vector<std::string>{"is_SetCaptureMode 2"});
}

TEST_F(FalconChannel, FailedReconfShowsFailedAndRetriesAboutEveryFiveSeconds) {
  falconfake::setFailing("is_SetVideoMode", true);
  CFalconVideoCnl* c = start(0, CFalconVideoCnl::kPauseMs);
  ASSERT_TRUE(waitFor([] { return falconfake::callsOf("is_SetVideoMode").size() >= 1; }, 2000));
  const auto first = std::chrono::steady_clock::now();
  EXPECT_TRUE(waitFor([&] { return c->listEntry().stateText() == "failed!"; }, 1000));
  ASSERT_TRUE(waitFor([] { return falconfake::callsOf("is_SetVideoMode").size() >= 2; }, 8000));
  const double gap =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
  EXPECT_GT(gap, 4.5);
  EXPECT_LT(gap, 7.0);  // 5 pauses of 1 s; slack for a loaded machine
  EXPECT_NE(g_logFile.logText(5).find("is_SetVideoMode() failed. fake failure"), std::string::npos);

  falconfake::setFailing("is_SetVideoMode", false);
  c->setPauseMs(20);
  FrameRec rec;
  EXPECT_TRUE(nextPicture(c, rec, 8000));
  EXPECT_EQ(c->listEntry().stateText(), "Q=70 recording=off");
}

TEST_F(FalconChannel, CaptureThatDoesNotReturnShowsFailedUntilItDoes) {
  CFalconVideoCnl* c = start(0);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(c, rec));
  falconfake::holdFreeze(true);
  EXPECT_TRUE(waitFor([&] { return c->listEntry().stateText() == "failed!"; }, 4000));
  falconfake::holdFreeze(false);
  EXPECT_TRUE(nextPicture(c, rec, 4000));
  EXPECT_TRUE(waitFor([&] { return c->listEntry().stateText() == "Q=70 recording=off"; }, 2000));
  const std::string log = g_logFile.logText(20);
  EXPECT_NE(log.find("is_FreezeVideo() did not return within 160 ms"), std::string::npos) << log;
  EXPECT_NE(log.find("is_FreezeVideo() has returned: grabbing again"), std::string::npos) << log;
}

TEST_F(FalconChannel, FailedGrabDoesNotStopTheChannel) {
  CFalconVideoCnl* c = start(0);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(c, rec));
  falconfake::setFailing("is_CopyImageMem", true);
  EXPECT_TRUE(waitFor([&] { c->getNewFrame(rec); return c->listEntry().state() == 2; }, 3000));
  falconfake::setFailing("is_CopyImageMem", false);
  EXPECT_TRUE(nextPicture(c, rec));
  EXPECT_TRUE(waitFor([&] { return c->listEntry().state() == 1; }, 3000));
}

TEST_F(FalconChannel, OversizedPictureIsDroppedAndLoggedOnce) {
  // Noise at the highest quality (about 300 KB) against a record limit of 200 KB.
  g_settings.writeString(board->sectionOf(0), "ImageSize", "d-1pal");
  g_settings.writeInt(board->sectionOf(0), "ImageQuality", 90);
  falconfake::state().noise = true;
  channels.emplace_back(new CFalconVideoCnl(board.get(), 0));
  CFalconVideoCnl* c = channels.back().get();
  c->setRecordLimit(200000);
  ASSERT_TRUE(c->init());
  ASSERT_TRUE(c->start());
  FrameRec rec;
  EXPECT_TRUE(waitFor([&] { c->getNewFrame(rec); return c->droppedFrames() >= 3; }, 8000));
  EXPECT_EQ(rec.length, 0u);
  const std::string log = g_logFile.logText(0);
  size_t count = 0;
  for (size_t at = log.find("larger than the frame record"); at != std::string::npos;
       at = log.find("larger than the frame record", at + 1))
    ++count;
  EXPECT_EQ(count, 1u);
}

}  // namespace

namespace {

TEST_F(FalconChannel, BoardSettingsChangedThroughOneChannelReachEveryInput) {
  CFalconVideoCnl* in0 = start(0);
  g_settings.writeBool(board->sectionOf(3), "CnlEnabled", true);
  CFalconVideoCnl* in3 = start(3);
  FrameRec rec;
  ASSERT_TRUE(nextPicture(in3, rec));

  // The form path: refused standard, then a size and a clip change written to all inputs.
  std::string html;
  EXPECT_FALSE(channelUpdate(*in0, {{"0_0_0_CnlVideoStandard", "PALX"}}, html));
  EXPECT_NE(html.find("<P class=warn>Invalid video standard: use 'PAL', 'NTSC' or 'SECAM'.</P>"),
            std::string::npos);
  html.clear();
  EXPECT_TRUE(channelUpdate(*in0, {{"0_0_0_ImageSize", "vga2"}, {"0_0_0_ImageClipScale", "clip"},
                           {"0_0_0_CnlEnabled", "Y"}, {"0_0_0_ImageQuality", "85"}},
                          html));
  EXPECT_NE(html.find("<P class=upd>Updated the <EM>Image size</EM> value to <STRONG>vga2</STRONG></P>"),
            std::string::npos);
  EXPECT_NE(html.find("<P class=upd>Updated the <EM>Activate this channel</EM> value to : <STRONG> "
                      "YES</STRONG></P>"),
            std::string::npos);
  // The quality is stored as submitted within 10..90 and compared with the one in use (70).
  EXPECT_NE(html.find("<EM>Image quality</EM> value to <STRONG>85</STRONG></P>"), std::string::npos);
  EXPECT_EQ(g_settings.readInt(board->sectionOf(0), "ImageQuality", 0), 85);
  html.clear();
  EXPECT_TRUE(channelUpdate(*in0, {{"0_0_0_ImageQuality", "70"}}, html));
  EXPECT_TRUE(channelUpdate(*in0, {{"0_0_0_ImageQuality", "95"}}, html));
  EXPECT_EQ(html, "<P class=upd>Updated the <EM>Image quality</EM> value to <STRONG>90</STRONG></P>");
  for (int input : CFalconBoardDrv::kInputs) {
    EXPECT_EQ(g_settings.readString(board->sectionOf(input), "ImageSize", ""), "vga2");
    EXPECT_EQ(g_settings.readString(board->sectionOf(input), "ImageClipScale", ""), "clip");
  }

  // The endpoint path: a viewer sets the size on input 0; input 3's pictures follow as well.
  const uint16_t port = in0->localAddr().port;
  ASSERT_GT(port, 0);
  const std::string cmd = "curl -s --max-time 5 -o /dev/null 'http://127.0.0.1:" + std::to_string(port) +
                          "/control/control?set&section=telvpegparam&size=QVGA.(320x240)'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  for (int input : CFalconBoardDrv::kInputs)
    EXPECT_EQ(g_settings.readString(board->sectionOf(input), "ImageSize", ""), "qvga");
  int w = 0, h = 0;
  EXPECT_TRUE(waitFor([&] {
    std::vector<uint8_t> rgb;
    return in3->getNewFrame(rec) && jpegtest::decode(rec.data, rec.length, &w, &h, &rgb) && w == 320;
  }, 5000));
  EXPECT_EQ(h, 240);

  html.clear();
  channelStatus(*in3, html);
  EXPECT_NE(html.find("<TR><TD><STRONG>Channel type, index</STRONG></TD><TD>Analog Falcon 0 3</TD></TR>"
                      "<TR><TD><STRONG>Channel is activated: </STRONG></TD><TD>YES</TD></TR>"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("<TD>CIF (320x240)</TD>"), std::string::npos);
  html.clear();
  channelForm(*in3, html);
  EXPECT_NE(html.find("<INPUT type=radio name=\"0_0_3_CnlEnabled\" value=\"Y\" checked>YES"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("<OPTION value=\"qvga\" selected>CIF (320x240) </OPTION>"), std::string::npos);
  EXPECT_NE(html.find("name=\"0_0_3_CnlIPAddr\""), std::string::npos);
}

}  // namespace

namespace {

// Every init runs reconf: an endpoint port or address changed through the form, and the
// recording switch set by a viewer, apply at once, not with some later unrelated change.
TEST_F(FalconChannel, EndpointAndRecordingChangesApplyWithTheNextInit) {
  CFalconVideoCnl* c = start(0);
  ASSERT_TRUE(waitFor([&] { return c->listEntry().stateText() == "Q=70 recording=off"; }, 4000));
  nettest::Listener probe;  // a port that is free once the probe closes
  const uint16_t port = probe.port;
  ::close(probe.fd);
  probe.fd = -1;
  std::string html;
  ASSERT_TRUE(channelUpdate(*c, {{c->fieldPrefix() + "CnlIPPort", std::to_string(port)}}, html));
  ASSERT_TRUE(c->init());
  EXPECT_TRUE(waitFor([&] { return c->localAddr() == CNetAddr("127.0.0.1", port); }, 4000));
  ASSERT_TRUE(channelUpdate(*c, {{c->fieldPrefix() + "CnlIPAddr", "127.0.0.2"}}, html));
  ASSERT_TRUE(c->init());
  EXPECT_TRUE(waitFor([&] { return c->localAddr() == CNetAddr("127.0.0.2", port); }, 4000));

  CHTTPSrvThread::controlAnswer(*c, {{"set", ""}, {"section", "recording"}, {"recording_activ", "enable"}});
  ASSERT_TRUE(c->init());
  EXPECT_TRUE(waitFor([&] { return c->listEntry().stateText() == "Q=70 recording=on"; }, 4000));
}

}  // namespace

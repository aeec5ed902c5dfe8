// Settings of the IP camera channels: init, form submission, form and status pages, and the
// start-up walk over the settings sections.
#include "tests/ipcam_fixture.h"

#include "base/CLogFile.h"
#include "confserver/ChannelForms.h"

using namespace ipcamtest;

namespace {

class IpcamSettings : public IpcamTest {
 protected:
  CIPVideoCnl* axis() {
    g_settings.writeString("Channel 1 2", "CamIPAddr", "cam.example");
    CIPVideoCnl* c = makeChannel(1, 2);
    EXPECT_TRUE(c->init());
    return c;
  }
  static bool has(const std::string& html, const std::string& part) { return html.find(part) != std::string::npos; }
};

TEST_F(IpcamSettings, InitReadsDefaultsAndPeriodFromRecording) {
  CIPVideoCnl* c = axis();
  EXPECT_EQ(c->camPort(), 80);
  EXPECT_EQ(c->quality(), 70);
  EXPECT_EQ(c->camID(), 1);
  EXPECT_EQ(c->imageSize(), 4);  // vga
  EXPECT_EQ(c->framePeriodNs(), 5000000000ll);
  EXPECT_TRUE(c->reconnectPending());
  // Recording intervals outside 40 ms .. 10 s are clamped.
  g_settings.writeBool("Channel 1 2", "CnlEventRecActive", true);
  g_settings.writeString("Channel 1 2", "CnlEventRootPath", home.dir().path() + "/rec");
  g_settings.writeInt("Channel 1 2", "CnlEventFramePeriod", 10);
  EXPECT_TRUE(c->init());
  EXPECT_EQ(c->framePeriodNs(), 40000000);
  g_settings.writeInt("Channel 1 2", "CnlEventFramePeriod", 60000);
  EXPECT_TRUE(c->init());
  EXPECT_EQ(c->framePeriodNs(), 10000000000ll);
}

TEST_F(IpcamSettings, InitRefusesSizesAndStandardsTheFamilyDoesNotSupport) {
  g_settings.writeString("Channel 1 2", "ImageSize", "qvga");  // not an Axis size
  EXPECT_FALSE(makeChannel(1, 2)->init());
  EXPECT_NE(g_logFile.logText(1).find("Frame format not supported"), std::string::npos);
  EXPECT_NE(g_logFile.logText(1).find("CIPAxisVideoCnl::init"), std::string::npos);
  g_settings.writeString("Channel 8 1", "CnlVideoStandard", "SECAM");
  EXPECT_FALSE(makeChannel(8, 1)->init());
  EXPECT_NE(g_logFile.logText(1).find("Invalid video standard: use 'PAL' or 'NTSC'."), std::string::npos);
  g_settings.writeString("Channel 8 1", "CnlVideoStandard", "NTSC");
  g_settings.writeString("Channel 8 1", "ImageSize", "mega");  // any of 1..10 for this family
  EXPECT_TRUE(makeChannel(8, 1)->init());
}

TEST_F(IpcamSettings, UpdateRejectsMissingOrInvalidAddress) {
  CIPVideoCnl* c = axis();
  for (const char* bad : {"", "<none>"}) {
    std::string html;
    EXPECT_FALSE(channelUpdate(*c, {{"1_2_CamIPAddr", bad}}, html));
    EXPECT_TRUE(has(html, "<P class=warn>The <EM>Camera IP address</EM> parameter must be a valid IP address. "
                          "(IP:Port)</P>")) << html;
  }
  std::string html;
  EXPECT_FALSE(channelUpdate(*c, {{"1_2_CamIPAddr", "10.0.0.1"}, {"1_2_CamIPPort", "70000"}}, html));
  EXPECT_TRUE(has(html, "(IP:Port)"));
  EXPECT_EQ(g_settings.readString("Channel 1 2", "CamIPAddr", ""), "cam.example");
  // A channel without any address cannot be saved without one.
  CIPVideoCnl* empty = makeChannel(1, 3);
  ASSERT_TRUE(empty->init());
  html.clear();
  EXPECT_FALSE(channelUpdate(*empty, {}, html));
  EXPECT_TRUE(has(html, "parameter was missing or incomplete</P>"));
}

TEST_F(IpcamSettings, UpdateStoresChangesWithTheirMessages) {
  CIPVideoCnl* c = axis();
  std::string html;
  ASSERT_TRUE(channelUpdate(*c, {{"1_2_CamIPAddr", "10.0.0.9"},
                         {"1_2_CamIPPort", "8080"},
                         {"1_2_userName", "bob"},
                         {"1_2_ImageQuality", "5"},
                         {"1_2_CamID", "3"},
                         {"1_2_ImageSize", "mega"}},
                        html));
  EXPECT_TRUE(has(html, "<P class=upd>Updated the <EM>Camera IP address</EM> value to <STRONG>10.0.0.9:8080</STRONG></P>"));
  EXPECT_TRUE(has(html, "<P class=upd>Updated the <EM>Camera login data</EM> value</P>"));
  EXPECT_TRUE(has(html, "<P class=upd>Updated the <EM>Image quality</EM> value to <STRONG>10</STRONG></P>"));
  EXPECT_TRUE(has(html, "<P class=upd>Updated the <EM>Channel ID (DVR)</EM> value<STRONG>3</STRONG></P>"));
  EXPECT_TRUE(has(html, "<P class=upd>Updated the <EM>Image size</EM> value to <STRONG>mega</STRONG></P>"));
  EXPECT_EQ(g_settings.readInt("Channel 1 2", "ImageQuality", 0), 10);
  EXPECT_EQ(g_settings.readInt("Channel 1 2", "CamIPPort", 0), 8080);
  ASSERT_TRUE(c->init());
  EXPECT_EQ(c->camAddr(), "10.0.0.9");
  EXPECT_EQ(c->camID(), 3);
  EXPECT_EQ(c->imageSize(), 9);
  // The form shows the stored quality rounded into 20..90.
  std::string form;
  channelForm(*c, form);
  EXPECT_TRUE(has(form, "<OPTION selected>20</OPTION>")) << form;
  EXPECT_TRUE(has(form, "<OPTION value=\"mega\" selected>MEGA (1280x960)</OPTION>"));
  EXPECT_TRUE(has(form, "name=\"1_2_CamID\" value=\"3\" checked"));
  // Unchanged values are not reported again; a refused size is ignored.
  html.clear();
  ASSERT_TRUE(channelUpdate(*c, {{"1_2_CamIPAddr", "10.0.0.9"}, {"1_2_ImageSize", "qvga"}, {"1_2_CamID", "3"}}, html));
  EXPECT_FALSE(has(html, "class=upd")) << html;
  EXPECT_EQ(g_settings.readString("Channel 1 2", "ImageSize", ""), "mega");
}

// Stored values outside their ranges are clamped when read, so no camera is sent a negative
// compression or a channel it does not have.
TEST_F(IpcamSettings, InitClampsQualityAndCameraNumber) {
  g_settings.writeInt("Channel 1 2", "ImageQuality", 150);
  g_settings.writeInt("Channel 1 2", "CamID", 9);
  CIPVideoCnl* c = axis();
  EXPECT_EQ(c->quality(), 90);
  EXPECT_EQ(c->camID(), 4);
  g_settings.writeInt("Channel 1 2", "ImageQuality", -5);
  g_settings.writeInt("Channel 1 2", "CamID", 0);
  ASSERT_TRUE(c->init());
  EXPECT_EQ(c->quality(), 10);
  EXPECT_EQ(c->camID(), 1);
}

// Only a host name or an IPv4 address is a camera address: blanks or line breaks would end up
// in the request's Host line and in the pictures.
TEST_F(IpcamSettings, UpdateAcceptsOnlyHostNamesAndIPv4Addresses) {
  CIPVideoCnl* c = axis();
  for (const char* bad : {"cam 1", "10.0.0.1\r\nX-Forged: 1", "cam\tx", "300.1.1.1", "-cam.example", "a..b"}) {
    std::string html;
    EXPECT_FALSE(channelUpdate(*c, {{"1_2_CamIPAddr", bad}}, html)) << bad;
    EXPECT_TRUE(has(html, "must be a valid IP address. (IP:Port)")) << bad;
  }
  EXPECT_EQ(g_settings.readString("Channel 1 2", "CamIPAddr", ""), "cam.example");
  for (const char* good : {"cam-1.example.org", "10.0.0.1", "CAM_2"}) {
    std::string html;
    EXPECT_TRUE(channelUpdate(*c, {{"1_2_CamIPAddr", good}}, html)) << good;
    EXPECT_EQ(g_settings.readString("Channel 1 2", "CamIPAddr", ""), good);
  }
}

// Saving the page unchanged must keep every size the family accepts.
TEST_F(IpcamSettings, HikvisionFormOffersEveryAcceptedSize) {
  g_settings.writeString("Channel 8 1", "CamIPAddr", "10.0.0.1");
  g_settings.writeString("Channel 8 1", "ImageSize", "mega");
  CIPVideoCnl* c = makeChannel(8, 1);
  ASSERT_TRUE(c->init());
  std::string form;
  channelForm(*c, form);
  EXPECT_TRUE(has(form, "<OPTION value=\"mega\" selected>")) << form;
  for (const char* size : {"d-1pal", "4cif", "2cif", "vga", "vga2", "cif", "qcif", "qvga", "mega", "3mp"})
    EXPECT_TRUE(has(form, std::string("<OPTION value=\"") + size + "\"")) << size;
}

TEST_F(IpcamSettings, CameraNumberRangesFollowTheFamily) {
  g_settings.writeString("Channel 3 1", "CamIPAddr", "10.0.0.1");
  CIPVideoCnl* asip = makeChannel(3, 1);
  ASSERT_TRUE(asip->init());
  EXPECT_EQ(asip->camID(), 0);
  std::string html;
  EXPECT_TRUE(channelUpdate(*asip, {{"3_1_CamID", "4"}}, html));
  EXPECT_TRUE(has(html, "<P class=warn>The <EM>Channel ID (DVR)</EM> must be an integer between 1 and 4.</P>"));
  html.clear();
  EXPECT_TRUE(channelUpdate(*asip, {{"3_1_CamID", "3"}, {"3_1_CnlVideoStandard", "NTSC"}}, html));
  EXPECT_TRUE(has(html, "value<STRONG>3</STRONG>"));
  EXPECT_TRUE(has(html, "<P class=upd>Updated the <EM>Video standard</EM> value to <STRONG>NTSC</STRONG></P>"));
  html.clear();
  EXPECT_TRUE(channelUpdate(*asip, {{"3_1_CnlVideoStandard", "SECAM"}}, html));
  EXPECT_TRUE(has(html, "<P class=warn>Invalid video standard: use 'PAL' or 'NTSC'.</P>"));
}

TEST_F(IpcamSettings, FormAndStatusEscapeUserTextAndShowTheFamily) {
  CIPVideoCnl* c = axis();
  g_settings.writeString("Channel 1 2", "userName", "a\"b<c>");
  ASSERT_TRUE(c->init());
  std::string form;
  channelForm(*c, form);
  EXPECT_TRUE(has(form, "<B>Axis IP camera (digital)</B>"));
  EXPECT_TRUE(has(form, "value=\"a&quot;b&lt;c&gt;\""));
  EXPECT_FALSE(has(form, "a\"b<c>"));
  EXPECT_TRUE(has(form, "name=\"1_2_Remove\""));
  std::string status;
  channelStatus(*c, status);
  EXPECT_TRUE(has(status, "<TR><TD><STRONG>Channel IP address</STRONG></TD><TD><CODE>cam.example:80</CODE></TD></TR>"));
  EXPECT_TRUE(has(status, "<TD>70%</TD>"));
  EXPECT_TRUE(has(status, "<TD>VGA (640x480)</TD>"));
  // An empty address shows as <none>, escaped.
  CIPVideoCnl* empty = makeChannel(9, 1);
  ASSERT_TRUE(empty->init());
  form.clear();
  channelForm(*empty, form);
  EXPECT_TRUE(has(form, "value=\"&lt;none&gt;\""));
  EXPECT_TRUE(has(form, "<OPTION value=\"vga\" selected>VGA (640x480)   </OPTION>"));
}

TEST_F(IpcamSettings, RemoveDeletesTheSectionAndStopsTheChannel) {
  CIPVideoCnl* c = axis();
  g_settings.writeString("Channel 1 2", "CamIPAddr", "127.0.0.1");
  g_settings.writeInt("Channel 1 2", "CamIPPort", 9);
  ASSERT_TRUE(c->init());
  ASSERT_TRUE(c->start());
  std::string html = "x";
  EXPECT_FALSE(channelUpdate(*c, {{"1_2_Remove", "on"}}, html));
  EXPECT_EQ(html, "IP channel successfully removed");
  EXPECT_FALSE(g_settings.existingSection("Channel 1 2"));
  EXPECT_TRUE(c->stopping());
}

TEST_F(IpcamSettings, StartUpCreatesChannelsOnlyForIPSections) {
  for (const char* s : {"Channel 3 7", "Channel 0 1 0", "Channel 10 1", "Channel x 1", "Channel 1 4"})
    g_settings.writeString(s, "CamIPAddr", "127.0.0.1");
  g_settings.writeInt("Channel 3 7", "CamIPPort", 9);   // nobody listens there
  g_settings.writeInt("Channel 1 4", "CamIPPort", 9);
  g_settings.writeString("Channel 1 4", "ImageSize", "qvga");  // init fails: not started
  size_t before = snapshotChannels().size();
  EXPECT_EQ(startIPChannelsFromSettings(), 1);
  ASSERT_TRUE(waitFor([&] { return snapshotChannels().size() == before + 1; }, 2000));
  CVideoCnl* started = snapshotChannels().back();
  EXPECT_EQ(started->sectionName(), "Channel 3 7");
  EXPECT_EQ(started->sourceTag(), "asip_7");
  started->stop();
  started->join();
  {
    std::lock_guard<std::mutex> g(g_cnlListLock);
    g_cnlList.pop_back();
  }
  delete started;
}

TEST_F(IpcamSettings, StartUpSkipsSectionsThatAreNotWrittenAsChannelsWriteThem) {
  for (const char* s : {"Channel 1 05", "Channel 1 5 junk", "Channel 01 5", "Channel 1 +5"})
    g_settings.writeString(s, "CamIPAddr", "127.0.0.1");
  const size_t before = snapshotChannels().size();
  const size_t linesBefore = g_logFile.lineCount();
  EXPECT_EQ(startIPChannelsFromSettings(), 0);
  EXPECT_EQ(snapshotChannels().size(), before);
  EXPECT_EQ(g_logFile.lineCount(), linesBefore + 4);
  EXPECT_NE(g_logFile.logText(4).find("(Warning) : startIPChannelsFromSettings : system : "
                                      "Settings section 'Channel 1 05'"),
            std::string::npos);
}

TEST(IpcamFactory, CreatesTheClassOfEachTypeCode) {
  IsolatedHome home;
  const char* tags[] = {"", "axis_5", "lilin_5", "asip_5", "toshiba_5", "sony_5", "panasonic_5",
                        "vivotec_5", "hikvision_5", "grandstream_5"};
  EXPECT_EQ(createIPChannel(0, 5), nullptr);
  EXPECT_EQ(createIPChannel(10, 5), nullptr);
  for (int t = 1; t <= 9; ++t) {
    std::unique_ptr<CVideoCnl> c(createIPChannel(t, 5));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->sourceTag(), tags[t]);
    EXPECT_EQ(c->typeCode(), t);
    EXPECT_EQ(c->imageUrl("ignored", true).substr(0, 5), "//:80");
  }
}

}  // namespace

namespace {

TEST(IpcamUrls, EachFamilyNamesItsStreamAndSinglePicture) {
  IsolatedHome home;
  struct Case {
    int type;
    const char* live;
    const char* single;
  } cases[] = {
      {1, "/axis-cgi/mjpg/video.cgi?fps=4&resolution=CIF&compression=50&camera=2",
       "/axis-cgi/jpg/image.cgi?resolution=CIF&compression=50&camera=2"},
      {3, "/GetData.cgi?Camera=2", "/GetData.cgi?Camera=2"},
      {5, "/image?interval=300", "/oneshotimage.jpg"},
      {7, "/video.mjpg", "/video.jpg"},
      {8, "/streaming/channels/1/preview", "/streaming/channels/1/preview"},
      {9, "/goform/stream?cmd=get&channel=1", "/snapshot/view0.jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string sec = "Channel " + std::to_string(c.type) + " 1";
    g_settings.writeString(sec, "CamIPAddr", "10.0.0.5");
    g_settings.writeInt(sec, "CamIPPort", 8080);
    g_settings.writeInt(sec, "CamID", 2);
    std::unique_ptr<CVideoCnl> cnl(createIPChannel(c.type, 1));
    ASSERT_TRUE(cnl->init());
    EXPECT_EQ(cnl->imageUrl("host", true), std::string("//10.0.0.5:8080") + c.live);
    EXPECT_EQ(cnl->imageUrl("host", false), std::string("//10.0.0.5:8080") + c.single);
  }
  // Counters: Toshiba's stream URL number grows with every URL, Panasonic's UID too.
  g_settings.writeString("Channel 4 1", "CamIPAddr", "10.0.0.5");
  std::unique_ptr<CVideoCnl> toshiba(createIPChannel(4, 1));
  ASSERT_TRUE(toshiba->init());
  std::string a = toshiba->imageUrl("", true), b = toshiba->imageUrl("", true);
  const std::string head = "//10.0.0.5:80/api/getstream.cgi?";
  ASSERT_EQ(a.compare(0, head.size(), head), 0) << a;
  EXPECT_EQ(std::stoul(b.substr(head.size())), std::stoul(a.substr(head.size())) + 1);
  EXPECT_EQ(a.substr(a.find('&')), "&&&&0&500&1&0&9000");
  EXPECT_EQ(toshiba->imageUrl("", false), "//10.0.0.5:80/admin/__live.jpg");
  g_settings.writeString("Channel 6 1", "CamIPAddr", "10.0.0.5");
  std::unique_ptr<CVideoCnl> pana(createIPChannel(6, 1));
  ASSERT_TRUE(pana->init());
  std::string s = pana->imageUrl("", false);
  const std::string pre = "//10.0.0.5:80/cgi-bin/camera?resolution=640.jpg&UID=";
  ASSERT_EQ(s.compare(0, pre.size(), pre), 0) << s;
  EXPECT_EQ(s.substr(s.find("&ch=")), "&ch=1");
}

}  // namespace

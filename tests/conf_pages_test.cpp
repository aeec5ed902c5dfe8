// The configuration page and the status report as built from the running channels: group
// order, highlighting, the new-channel forms, escaping of stored texts, the cell layout.
#include <gtest/gtest.h>

#include <memory>
#include "confserver/ChannelForms.h"
#include "confserver/ConfPages.h"
#include "confserver/StatusPage.h"
#include "endpoint/IPChannelFactory.h"
#include "tests/conf_fixture.h"
#include "tests/support/TestChannel.h"

using namespace conftest;

namespace {

// Running test channels, listed in g_cnlList like real ones.
class Channels {
 public:
  TestChannel* add(int type, uint32_t index, const std::string& name = "") {
    if (!name.empty())
      g_settings.writeString("Channel " + std::to_string(type) + " " + std::to_string(index),
                             "CnlName", name);
    TestChannel::Options o;
    o.periodMs = 0;
    o.withRecorder = false;
    o.registerInList = true;
    m_cnls.emplace_back(new TestChannel(o, type, index));
    TestChannel* c = m_cnls.back().get();
    EXPECT_TRUE(c->startChannel());
    waitListed(c);
    return c;
  }

 private:
  static void waitListed(CVideoCnl* c) {
    for (int i = 0; i < 500; ++i) {
      for (CVideoCnl* l : snapshotChannels())
        if (l == c) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "channel never listed itself";
  }
  std::vector<std::unique_ptr<TestChannel>> m_cnls;
};

// The outer cell structure of a status report: R row opened, C channel cell, S System cell,
// E row closed.
std::string cellLayout(const std::string& page) {
  struct Mark { const char* text; char token; };
  const Mark marks[] = {{"<TR bgcolor=\"#dcdcdc\">\n<TD valign=top>", 'R'},
                        {"&nbsp;Status of channel ", 'C'},
                        {"<H3>System Settings</H3>", 'S'},
                        {"</TABLE></TD>\n</TR>\n", 'E'}};
  std::vector<std::pair<size_t, char>> found;
  for (const Mark& m : marks)
    for (size_t p = page.find(m.text); p != std::string::npos; p = page.find(m.text, p + 1))
      found.emplace_back(p, m.token);
  std::sort(found.begin(), found.end());
  std::string out;
  for (auto& f : found) out += f.second;
  return out;
}

std::string statusPageNow() {
  return buildStatusPage("T", CNetAddr("127.0.0.1", 8080), false, CNetAddr("0.0.0.0", 8080));
}

}  // namespace

TEST(ConfPages, ChannelGroupsInTheirFixedOrder) {
  IsolatedHome home;
  Channels cnls;
  cnls.add(2, 0);
  cnls.add(1, 3, "Gate <1> & \"yard\"");
  cnls.add(4, 0);
  cnls.add(3, 0);
  cnls.add(1, 0);

  const std::string left = printChannelList("1_3_");
  const size_t axis = left.find("<A class=ipcnl>Axis channels:</A><BR>");
  const size_t asip = left.find("<A class=ipcnl>Asip channels:</A><BR>");
  const size_t toshiba = left.find("<A class=ipcnl>Toshiba channels:</A><BR>");
  const size_t lilin = left.find("<A class=ipcnl>Merit Lilin channels:</A><BR>");
  ASSERT_NE(axis, std::string::npos);
  EXPECT_LT(axis, asip);
  EXPECT_LT(asip, toshiba);
  EXPECT_LT(toshiba, lilin);
  EXPECT_LT(left.find("<A class=ecnl>Existing channels:</A><BR>"), axis);
  EXPECT_EQ(left.find("Sony channels:"), std::string::npos);  // empty groups have no caption
  EXPECT_EQ(left.find("Falcon channels:"), std::string::npos);
  // Entries keep list order inside their group, the selected one highlighted.
  const size_t sel = left.find("<A class=selLink href=\"/configure?cnl=1_3_\">&gt;&nbsp;IP Axis 3:&nbsp;&lt;<BR>");
  const size_t other = left.find("<A class=innerLink href=\"/configure?cnl=1_0_\">IP Axis 0<BR></A><BR>");
  ASSERT_NE(sel, std::string::npos);
  ASSERT_NE(other, std::string::npos);
  EXPECT_LT(sel, other);
  EXPECT_LT(other, asip);
  EXPECT_NE(left.find(" <SPAN class=cnl>Gate &lt;1&gt; &amp; &quot;yard&quot;</SPAN><BR></A><BR>"),
            std::string::npos);
  // Chooser and System link come last.
  EXPECT_LT(lilin, left.find("<A class=ncnl>New channels:</A>"));
  EXPECT_NE(left.find("<A class=innerLink href=\"/configure?cnl=sys\">System</A><BR><BR>"),
            std::string::npos);
  EXPECT_EQ(left.find(" selected>"), std::string::npos);
}

TEST(ConfPages, NewChannelFormUsesTheTemplateIndex) {
  IsolatedHome home;
  EXPECT_NE(printChannelList("newSony").find("<OPTION value=\"newSony\" selected>New Sony IP</OPTION>"),
            std::string::npos);
  std::string right;
  printConfigForm("newSony", false, CNetAddr("127.0.0.1", 80), right);
  EXPECT_EQ(right.find("<FORM action=\"/submitConfig\" method=\"post\">"), 0u);
  EXPECT_NE(right.find("<H2>&nbsp;Fill in to add a new Sony IP channel</H2>"), std::string::npos);
  EXPECT_NE(right.find("<INPUT type=hidden name=newCnl value=\"5\">"), std::string::npos);
  EXPECT_NE(right.find("name=\"5_9999_CamIPAddr\""), std::string::npos);
  EXPECT_NE(right.find("<INPUT type=hidden name=ret_cnl value=\"newSony\">"), std::string::npos);
  EXPECT_NE(right.find("<INPUT type=submit value=\"Send\">"), std::string::npos);
  EXPECT_EQ(right.substr(right.size() - 8), "</FORM>\n");
  // The template never became a channel.
  EXPECT_TRUE(snapshotChannels().empty());
  EXPECT_FALSE(g_settings.existingSection("Channel 5 9999"));
}

// Drawn from the defaults and the family's description: field for field what a channel of the
// family that has not read its settings yet shows.
TEST(ConfPages, NewChannelFormMatchesAFreshChannelOfEachFamily) {
  IsolatedHome home;
  for (int code = 1; code <= 9; ++code) {
    std::unique_ptr<CVideoCnl> fresh(createIPChannel(code, 7));
    std::string expected, drawn;
    channelForm(*fresh, expected);
    newChannelForm(code, std::to_string(code) + "_7_", drawn);
    EXPECT_EQ(drawn, expected) << "type " << code;
  }
}

TEST(ConfPages, UnknownKeyLeavesOnlyTheFormTag) {
  IsolatedHome home;
  std::string right;
  printConfigForm("9_9_", false, CNetAddr("127.0.0.1", 80), right);
  EXPECT_EQ(right, "<FORM action=\"/submitConfig\" method=\"post\">\n");
}

TEST(ConfPages, ChannelFormShowsPictureAndTitle) {
  IsolatedHome home;
  Channels cnls;
  cnls.add(1, 3);
  std::string right;
  printConfigForm("1_3_", true, CNetAddr("10.1.2.3", 8080), right);
  EXPECT_NE(right.find("<IMG width=200 src=\"http://10.1.2.3/test/stream.jpg\""), std::string::npos);
  EXPECT_NE(right.find("&nbsp;Configure channel <SPAN class=cnl>&lt;Channel 1 3&gt;&nbsp;</SPAN></H2><BR>"),
            std::string::npos);
  EXPECT_NE(right.find("name=\"1_3_CnlName\""), std::string::npos);
  EXPECT_NE(right.find("<INPUT type=hidden name=ret_cnl value=\"1_3_\">"), std::string::npos);
}

TEST(ConfPages, SystemFormEscapesStoredTexts) {
  IsolatedHome home;
  g_settings.writeString("System", "ConfIPAddr", "1.2.3.4\"><script>");
  g_settings.writeString("System", "LogFilePath", "/tmp/a&b.log");
  g_settings.writeString("Admins", "admin", "x");
  g_settings.writeString("Admins", "b<o>b", "y");
  std::string right;
  printConfigForm("sys", false, CNetAddr(), right);
  EXPECT_NE(right.find("<H2>&nbsp;System Settings</H2>"), std::string::npos);
  EXPECT_NE(right.find("name=sys_ConfIPAddr style=\"width:150px\" maxlength=70 value=\"1.2.3.4&quot;&gt;&lt;script&gt;\""),
            std::string::npos);
  EXPECT_NE(right.find("name=sys_ConfIPPort style=\"width:50px\" maxlength=10 value=\"0\""), std::string::npos);
  EXPECT_NE(right.find("value=\"/tmp/a&amp;b.log\""), std::string::npos);
  EXPECT_NE(right.find("name=sys_logFileSize style=\"width:500px\" maxlength=4 value=\"5\""), std::string::npos);
  EXPECT_EQ(right.find("<script>"), std::string::npos);
  // The fixed admin row comes first and is the only admin row.
  EXPECT_EQ(countOf(right, "<LABEL class=login>admin</LABEL>"), 1u);
  EXPECT_NE(right.find("<INPUT type=checkbox name=sys_login_admin disabled>"), std::string::npos);
  EXPECT_NE(right.find("<LABEL class=login>b&lt;o&gt;b</LABEL>"), std::string::npos);
  EXPECT_NE(right.find("name=\"sys_login_b&lt;o&gt;b\""), std::string::npos);
  for (const char* f : {"sys_newLogin", "sys_newPasswd1", "sys_newPasswd2"})
    EXPECT_NE(right.find(std::string("name=") + f), std::string::npos) << f;
}

TEST(ConfStatus, CellLayoutForNoneOneAndThreeChannels) {
  IsolatedHome home;
  EXPECT_EQ(cellLayout(statusPageNow()), "RS");  // the only row stays open
  Channels cnls;
  cnls.add(1, 0);
  EXPECT_EQ(cellLayout(statusPageNow()), "RCSE");
  cnls.add(1, 1);
  cnls.add(2, 0);
  EXPECT_EQ(cellLayout(statusPageNow()), "RCCERCSE");
}

TEST(ConfStatus, ChannelCellsAndSystemRows) {
  IsolatedHome home;
  TempDir dir;
  g_settings.writeString("System", "LogFilePath", dir.file("log&<x>.log"));
  g_settings.writeInt("System", "LogFileSize", 5);
  g_logFile.init();
  Channels cnls;
  cnls.add(1, 0);
  cnls.add(3, 2, "Dock <west>");

  std::string page = buildStatusPage("01/02/26 10:11:12", CNetAddr("127.0.0.1", 8080), true,
                                     CNetAddr("0.0.0.0", 8080));
  EXPECT_NE(page.find("<TITLE>TelvGate 1.3.4.7 Status Report</TITLE>"), std::string::npos);
  EXPECT_NE(page.find("<H2>Status Report (01/02/26 10:11:12)</H2>"), std::string::npos);
  EXPECT_NE(page.find("<A class=cnl href=\"/configure?cnl=1_0_\" title=\"configure\">&lt;Channel 1 0&gt;&nbsp;</A>"),
            std::string::npos);
  EXPECT_NE(page.find(">Dock &lt;west&gt;</A>"), std::string::npos);
  EXPECT_NE(page.find("src=\"http://127.0.0.1/test/stream.jpg\""), std::string::npos);  // live for Firefox
  EXPECT_LT(page.find("cnl=1_0_"), page.find("cnl=3_2_"));                              // list order
  EXPECT_NE(page.find("<CODE>" + html_escape(dir.file("log&<x>.log")) + "</CODE>"), std::string::npos);
  EXPECT_NE(page.find("<LABEL>Log file max size [Mb]</LABEL></TD><TD>5</TD>"), std::string::npos);
  EXPECT_NE(page.find("<LABEL>Log file current size [Mb]</LABEL></TD><TD>0</TD>"), std::string::npos);
  EXPECT_NE(page.find("<LABEL>Configure IP address</LABEL></TD><TD><CODE>0.0.0.0:8080</CODE>"),
            std::string::npos);
  EXPECT_NE(statusPageNow().find("src=\"http://127.0.0.1/test/image.jpg\""), std::string::npos);
}

TEST(ConfStatus, EndedChannelsAreCleanedAway) {
  IsolatedHome home;
  TestChannel::Options o;
  o.periodMs = 0;
  o.withRecorder = false;
  o.registerInList = true;
  // Owned by the list from here on, as a channel created by a submission is.
  TestChannel* c = new TestChannel(o, 1, 7);
  ASSERT_TRUE(c->startChannel());
  for (int i = 0; i < 500 && snapshotChannels().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(snapshotChannels().size(), 1u);
  EXPECT_NE(statusPageNow().find("cnl=1_7_"), std::string::npos);
  c->stop();
  for (int i = 0; i < 500 && c->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_FALSE(c->running());
  EXPECT_EQ(statusPageNow().find("cnl=1_7_"), std::string::npos);
  EXPECT_TRUE(snapshotChannels().empty());  // removed (and destroyed) by the page builder
}

// Form submissions against a real server: a new Axis channel fed by the fake camera, the
// server's own address, administrators, the log fields, refused values and escaping.
#include <gtest/gtest.h>

#include <cstdlib>

#include "channels/SignalWatch.h"
#include "confserver/ConfSubmit.h"
#include "tests/conf_fixture.h"
#include "tests/support/ChildProcess.h"
#include "recording/EventTree.h"
#include "recording/IndexFile.h"
#include "tests/support/TestChannel.h"

using namespace conftest;

namespace {

// Declared first in a test, so it runs last: ends the channels a submission created.
struct CreatedChannels {
  ~CreatedChannels() { destroyListedChannels(); }
};

std::unique_ptr<TestChannel> listedTestChannel(int type, uint32_t index) {
  TestChannel::Options o;
  o.periodMs = 0;
  o.withRecorder = false;
  o.registerInList = true;
  std::unique_ptr<TestChannel> c(new TestChannel(o, type, index));
  EXPECT_TRUE(c->startChannel());
  for (int i = 0; i < 500; ++i) {
    for (CVideoCnl* l : snapshotChannels())
      if (l == c.get()) return c;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ADD_FAILURE() << "test channel never listed itself";
  return c;
}

// The right column's messages: everything after the form's end.
std::string messages(const std::string& answer) {
  size_t end = answer.rfind("</FORM>");
  size_t stop = answer.find("\n</TD></TR></TABLE><HR>");
  if (end == std::string::npos || stop == std::string::npos) return "<no form>";
  end += 8;
  return answer.substr(end, stop - end);
}

uint16_t freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

const std::string kAuth = basicAuth("admin", "qatrel");
const std::string kNoChange = "<P font-size=12pt>&nbsp;No parameter needs update.</P>";

}  // namespace

TEST(ConfSubmit, NewAxisChannelTakesTheSmallestFreeIndex) {
  CreatedChannels cleanup;
  ServerFixture f;
  ChildProcess cam;
  ASSERT_TRUE(cam.start(builtProgram("fakecam"), {"--port", "0", "--family", "axis", "--fps", "10"}));
  ASSERT_TRUE(cam.waitForStdout("\n", 5000));
  const std::string camPort = std::to_string(std::atoi(cam.stdoutText().substr(5).c_str()));
  ASSERT_NE(camPort, "0");
  auto axis0 = listedTestChannel(1, 0);
  auto axis2 = listedTestChannel(1, 2);
  ASSERT_TRUE(f.start());

  const std::string body = "newCnl=1&1_9999_CnlName=Front+door&1_9999_CamIPAddr=127.0.0.1&1_9999_CamIPPort=" +
                           camPort + "&ret_cnl=newAxis";
  std::string answer = post(f.port(), body, kAuth);
  ASSERT_EQ(statusLine(answer), "HTTP/1.1 200 ");
  // The answer shows the new channel's own form, its messages below.
  EXPECT_NE(answer.find("Configure channel <SPAN class=cnl>Front door</SPAN>"), std::string::npos);
  EXPECT_NE(answer.find("name=\"1_1_CamIPAddr\""), std::string::npos);
  EXPECT_EQ(answer.find("1_9999_"), std::string::npos);
  const std::string msgs = messages(answer);
  EXPECT_NE(msgs.find("<P font-size=12pt>&nbsp;Channel '<SPAN class=cnl>Front door</SPAN>':</P>"),
            std::string::npos);
  EXPECT_NE(msgs.find("127.0.0.1:" + camPort), std::string::npos);
  EXPECT_EQ(msgs.find(kNoChange), std::string::npos);
  EXPECT_EQ(g_settings.readString("Channel 1 1", "CamIPAddr", ""), "127.0.0.1");
  EXPECT_EQ(g_settings.readString("Channel 1 1", "CnlName", ""), "Front door");
  const std::string stored = readFile(f.home.settingsFile());
  EXPECT_NE(stored.find("[Channel 1 1]"), std::string::npos);

  // The new channel fetches pictures and stands on the status report in list order.
  std::string status;
  for (int i = 0; i < 100; ++i) {
    status = get(f.port(), "/status");
    if (status.find("cnl=1_1_") != std::string::npos && cam.stdoutText().size() > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(status.find(">Front door</A>"), std::string::npos);
  EXPECT_LT(status.find("cnl=1_2_"), status.find("cnl=1_1_"));
  const std::string list = get(f.port(), "/configure?cnl=1_1_", kAuth);
  EXPECT_NE(list.find("<A class=selLink href=\"/configure?cnl=1_1_\">&gt;&nbsp;IP Axis 1:&nbsp;&lt;<BR> "
                      "<SPAN class=cnl>Front door</SPAN><BR></A><BR>"),
            std::string::npos);

  // Ticking its remove box takes it away again.
  answer = post(f.port(), "1_1_Remove=on&ret_cnl=sys", kAuth);
  EXPECT_NE(messages(answer).find("':</P>IP channel successfully removed"), std::string::npos);
  EXPECT_EQ(answer.find("cnl=1_1_"), std::string::npos);
  EXPECT_FALSE(g_settings.existingSection("Channel 1 1"));
  EXPECT_EQ(snapshotChannels().size(), 2u);
}

TEST(ConfSubmit, UnknownChannelTypeCreatesNothing) {
  CreatedChannels cleanup;
  ServerFixture f;
  ASSERT_TRUE(f.start());
  std::string answer = post(f.port(), "newCnl=12&ret_cnl=sys", kAuth);
  // A refused type is no change of its own.
  EXPECT_EQ(messages(answer), "<P class=warn>Unknown new channel type</P>" + kNoChange);
  EXPECT_TRUE(snapshotChannels().empty());
}

TEST(ConfSubmit, NothingChangedSaysSo) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  std::string answer = get(f.port(), "/submitConfig?ret_cnl=sys&sys_ConfIPPort=0", kAuth);
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 ");
  EXPECT_NE(answer.find("<H2>&nbsp;System Settings</H2>"), std::string::npos);
  EXPECT_EQ(messages(answer), kNoChange);
  EXPECT_TRUE(readFile(f.home.settingsFile()).find("[System]") != std::string::npos);
}

TEST(ConfSubmit, PortOutOfRangeIsRefused) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  for (const char* port : {"70000", "-1"}) {
    std::string answer = post(f.port(), std::string("sys_ConfIPPort=") + port + "&ret_cnl=sys", kAuth);
    EXPECT_EQ(messages(answer),
              "<P class=warn>The <EM>Configure IP address</EM> parameter must have a valid port number "
              "(port<=65535).</P>" + kNoChange)
        << port;
    EXPECT_EQ(g_settings.readInt("System", "ConfIPPort", -7), 0) << port;
  }
  EXPECT_EQ(f.server.setUpCount(), 1u);
}

TEST(ConfSubmit, AddressMessagesComeBeforeTheRefusedPort) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  CLstConfThread fresh, taken;  // servers that stand on no address yet
  const std::string refused = "<P class=warn>The <EM>Configure IP address</EM> parameter must have a valid port "
                              "number (port<=65535).</P>";
  FormFields form{{"sys_ConfIPAddr", "127.0.0.1"}, {"sys_ConfIPPort", "70000"}};
  std::string msgs = applySubmission(form, fresh, nullptr);
  EXPECT_EQ(msgs.find("<P class=upd>Updated the <EM>Configuration IP address</EM> value to 127.0.0.1</P>" +
                      refused + "<P class=upd> New configuration IP address "), 0u) << msgs;
  g_settings.writeInt("System", "ConfIPPort", f.port());  // taken by the running server
  msgs = applySubmission(form, taken, nullptr);
  EXPECT_EQ(msgs.find("<P class=warn>The configuration server cannot listen on <EM>127.0.0.1:"), 0u) << msgs;
  EXPECT_NE(msgs.find("was NOT changed.</P>" + refused), std::string::npos) << msgs;
}

TEST(ConfSubmit, NewAddressAndPortMoveTheServer) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const uint16_t oldPort = f.port();
  const uint16_t newPort = freeLoopbackPort();
  const std::string body = "sys_ConfIPAddr=127.0.0.1&sys_ConfIPPort=" + std::to_string(newPort) + "&ret_cnl=sys";
  std::string answer = post(f.port(), body, kAuth);  // still answered on the old connection
  const std::string msgs = messages(answer);
  // The address is where the server already is: only the port counts as changed.
  EXPECT_EQ(msgs.find("value to 127.0.0.1</P>"), std::string::npos);
  EXPECT_NE(msgs.find("<P class=upd>Updated the <EM>Configuration IP address</EM> value to port <STRONG>" +
                      std::to_string(newPort) + "</STRONG></P>"),
            std::string::npos);
  const std::string where = "127.0.0.1:" + std::to_string(newPort);
  EXPECT_NE(msgs.find("<P class=upd> New configuration IP address <A href=\"http://" + where + "\">" + where +
                      "</A></P>"),
            std::string::npos);
  EXPECT_EQ(g_settings.readInt("System", "ConfIPPort", 0), newPort);
  ASSERT_TRUE(f.waitSetUps(2));
  EXPECT_EQ(f.port(), newPort);
  EXPECT_EQ(statusLine(get(newPort, "/status")), "HTTP/1.1 200 ");
  EXPECT_EQ(connectTo(oldPort), -1);
  // The same port again is no change.
  answer = post(newPort, body, kAuth);
  EXPECT_EQ(messages(answer), kNoChange);
}

TEST(ConfSubmit, AdministratorsAddedAndRemoved) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  std::string answer = post(f.port(), "sys_newLogin=bob&sys_newPasswd1=one&sys_newPasswd2=two&ret_cnl=sys", kAuth);
  EXPECT_EQ(messages(answer),
            "<P class=warn>The <EM>Retype new password</EM> parameter must be a valid, not empty, string."
            "<BR>New administrator NOT added.</P>");
  EXPECT_FALSE(g_settings.existingEntry("Admins", "bob"));

  // curl as the browser would post the form.
  const std::string out = f.home.dir().file("curl.html");
  std::string cmd = "curl -s -m 10 -u admin:qatrel -o '" + out +
                    "' --data 'sys_newLogin=bob&sys_newPasswd1=p%3Aw&sys_newPasswd2=p%3Aw&ret_cnl=sys' "
                    "http://127.0.0.1:" + std::to_string(f.port()) + "/submitConfig";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_NE(readFile(out).find("<P class=upd>Added a new administrator. Login name: '<STRONG>bob</STRONG></P>"),
            std::string::npos);
  EXPECT_NE(readFile(out).find("<LABEL class=login>bob</LABEL>"), std::string::npos);
  EXPECT_NE(readFile(f.home.settingsFile()).find("bob"), std::string::npos);
  EXPECT_EQ(statusLine(get(f.port(), "/configure", basicAuth("bob", "p:w"))), "HTTP/1.1 200 ");

  // Removing a login that does not exist says nothing; bob's removal is reported.
  answer = post(f.port(), "sys_login_admin=on&sys_login_bob=on&sys_login_nobody=on&ret_cnl=sys",
                basicAuth("bob", "p:w"));
  EXPECT_EQ(messages(answer), "<P class=upd>Removed an administrator. Login name: '<STRONG>bob</STRONG></P>");
  EXPECT_EQ(statusLine(get(f.port(), "/configure", basicAuth("bob", "p:w"))), "HTTP/1.1 401 ");
}

TEST(ConfSubmit, UserTextsAreEscapedInMessages) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  std::string answer =
      post(f.port(), "sys_newLogin=%3Cb%3E%22x%22%26&sys_newPasswd1=a&sys_newPasswd2=a&ret_cnl=sys", kAuth);
  const std::string escaped = "&lt;b&gt;&quot;x&quot;&amp;";
  EXPECT_NE(messages(answer).find("'<STRONG>" + escaped + "</STRONG>"), std::string::npos);
  EXPECT_EQ(answer.find("<b>"), std::string::npos);
  EXPECT_NE(answer.find("<LABEL class=login>" + escaped + "</LABEL>"), std::string::npos);
  EXPECT_NE(answer.find("name=\"sys_login_" + escaped + "\""), std::string::npos);
}

TEST(ConfSubmit, LogFieldsReopenTheLog) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string newPath = f.home.dir().file("other.log");
  std::string answer =
      post(f.port(), "sys_logFilePath=" + newPath + "&sys_logFileSize=2&ret_cnl=sys", kAuth);
  const std::string msgs = messages(answer);
  EXPECT_NE(msgs.find("<EM>Log file path</EM>"), std::string::npos);
  EXPECT_NE(msgs.find("<EM>Log file max size [Mb]</EM>"), std::string::npos);
  EXPECT_EQ(msgs.find(kNoChange), std::string::npos);
  EXPECT_EQ(g_logFile.path(), newPath);
  EXPECT_EQ(g_logFile.sizeLimit(), 2u * 1048576u);
  EXPECT_NE(readFile(f.home.settingsFile()).find("other.log"), std::string::npos);
  // The System form and the status report show the new values.
  EXPECT_NE(answer.find("value=\"" + newPath + "\""), std::string::npos);
  EXPECT_NE(get(f.port(), "/status").find("<CODE>" + newPath + "</CODE>"), std::string::npos);
}

TEST(ConfSubmit, NoSignalPictureIsStoredOnceAndShownChecked) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string answer = post(f.port(), "sys_NoSignalPicture=on&ret_cnl=sys", kAuth);
  EXPECT_EQ(messages(answer), "<P class=upd>Updated the <EM>No-signal picture</EM> value to <STRONG>ON</STRONG></P>");
  EXPECT_NE(answer.find("name=sys_NoSignalPicture value=on checked>"), std::string::npos);
  EXPECT_TRUE(noSignalPictureEnabled());
  EXPECT_EQ(messages(post(f.port(), "sys_NoSignalPicture=on&ret_cnl=sys", kAuth)), kNoChange);
}

TEST(ConfSubmit, LoginsThatCannotBeStoredSafelyAreRefused) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  // Each would either not read back from the settings file or never be able to sign in.
  for (const char* login : {"%5BSystem%5D", "a%3Db", "a%0Ab", "%23x", "+x", "x+", "a%3Ab"}) {
    std::string answer = post(f.port(), std::string("sys_newLogin=") + login +
                                            "&sys_newPasswd1=pw&sys_newPasswd2=pw&ret_cnl=sys",
                              kAuth);
    EXPECT_NE(messages(answer).find("New administrator NOT added."), std::string::npos) << login;
  }
  EXPECT_TRUE(g_settings.sectionEntries("Admins").empty());
  // Ordinary punctuation and spaces inside a login are fine and survive a reload.
  post(f.port(), "sys_newLogin=ann+o%27neil%23&sys_newPasswd1=p+w%22&sys_newPasswd2=p+w%22&ret_cnl=sys",
       kAuth);
  g_settings.load();
  EXPECT_EQ(g_settings.readString("Admins", "ann o'neil#", ""), "p w\"");
}

TEST(ConfSubmit, EmptyOrUnusableAdministratorsWarnInsteadOfKillingTheServer) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  std::string answer = post(f.port(), "sys_login_=on&ret_cnl=sys", kAuth);
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 ");
  EXPECT_NE(messages(answer).find("<P class=warn>"), std::string::npos);
  // A login or password the settings file would cut, or a login that could never sign in.
  const std::string longLogin(5000, 'l'), longPassword(2500, 'p');
  for (const std::string& body :
       {"sys_newLogin=" + longLogin + "&sys_newPasswd1=pw&sys_newPasswd2=pw&ret_cnl=sys",
        "sys_newLogin=bob&sys_newPasswd1=" + longPassword + "&sys_newPasswd2=" + longPassword +
            "&ret_cnl=sys"}) {
    answer = post(f.port(), body, kAuth);
    EXPECT_NE(messages(answer).find("New administrator NOT added."), std::string::npos);
  }
  EXPECT_TRUE(g_settings.sectionEntries("Admins").empty());
  EXPECT_EQ(statusLine(get(f.port(), "/status")), "HTTP/1.1 200 ");
}

TEST(ConfSubmit, RemovingAChannelEndsItsPlayedBackStreamAndExport) {
  CreatedChannels cleanup;
  ServerFixture f;
  ASSERT_TRUE(f.start());
  // One minute recorded by channel 1 0 (the first new Axis channel, tree axis_0), 10 pictures/s.
  const std::string root = f.home.dir().path() + "/rec/", ev = eventtree::eventDir(root + "axis_0/", 1);
  const uint64_t t0 = (uint64_t(time(nullptr)) - 3600) * 1000000000ull;
  std::string files[2];  // E00000.jpg: the first picture; M00001.jpg: the others
  const std::vector<uint8_t> jpeg = TestChannel::makeJpeg(320, 240, 90, 1, true);
  for (uint32_t i = 0; i < 600; ++i) {
    std::vector<uint8_t> p = TestChannel::wrapPicture(jpeg, "", "", t0 + i * 100000000ull, i, 320, 240);
    files[i > 0].append(p.begin(), p.end());
  }
  IndexFile index;
  erdinfo::Record rec = erdinfo::freshRecord(uint32_t(t0 / 1000000000ull));
  rec.newest = rec.newestStamp.event = 1;
  ASSERT_TRUE(eventtree::createPath(ev) && writeFile(ev + "E00000.jpg", files[0]) && writeFile(ev + "M00001.jpg", files[1]));
  ASSERT_EQ(index.rebuild(root + "axis_0/", rec), IndexFile::Rebuild::Written);
  post(f.port(), "newCnl=1&1_9999_CamIPAddr=127.0.0.1&1_9999_CamIPPort=" + std::to_string(freeLoopbackPort()) +
                     "&ret_cnl=newAxis", kAuth);
  ASSERT_NE(post(f.port(), "1_0_CnlEventRootPath=" + root + "&ret_cnl=1_0_", kAuth).find("Rec. root"), std::string::npos);

  // A stream at speed 1 would last a minute; an export read by nobody waits on its socket.
  const std::string c = "c=Channel+1+0&from=" + std::to_string(t0 / 1000000000ull) + "&to=" +
                        std::to_string(t0 / 1000000000ull + 100) + "&format=mkv HTTP/1.1\r\n" + kAuth + "\r\n";
  int play = connectTo(f.port()), exp = connectTo(f.port(), 4096);
  sendText(play, "GET /recordings/play.jpg?" + c);
  sendText(exp, "GET /recordings/export?" + c);
  EXPECT_NE(readAll(play, 1500).find("200 OK"), std::string::npos);
  // The export's answer has begun (a slow build takes a while to write its file first).
  pollfd begun{exp, POLLIN, 0};
  EXPECT_EQ(::poll(&begun, 1, 30000), 1);
  EXPECT_NE(post(f.port(), "1_0_Remove=on&ret_cnl=sys", kAuth).find("IP channel successfully removed"), std::string::npos);
  bool playClosed = false, expClosed = false;
  readAll(play, 5000, &playClosed);
  const std::string got = readAll(exp, 5000, &expClosed);
  EXPECT_TRUE(playClosed && expClosed);
  ASSERT_NE(got.find("Content-Length: "), std::string::npos) << got.substr(0, 300);
  EXPECT_LT(got.size() - got.find("\r\n\r\n") - 4, size_t(std::atoll(got.c_str() + got.find("Content-Length: ") + 16)));
  ::close(play);
  ::close(exp);
}

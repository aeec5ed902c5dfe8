// The endpoint's listener: where it shows its address, how it reacts to a port in use, the
// form fields, and the bounds on connections and request time.
#include <string>
#include <thread>

#include "base/CLogFile.h"
#include "channels/CNetVideoClient.h"
#include "confserver/ChannelForms.h"
#include "endpoint/CLstSockThread.h"
#include "platform/Descriptors.h"
#include "tests/endpoint_fixture.h"
#include "tests/support/Waiting.h"

using namespace endpointtest;

namespace {

// A connection the endpoint closed without a byte within timeoutMs.
int threadCount() {
  const std::string status = readFile("/proc/self/status");
  const size_t at = status.find("Threads:");
  return at == std::string::npos ? 0 : std::stoi(status.substr(at + 8));
}

bool closedSilently(int fd, int timeoutMs) {
  bool closed = false;
  const std::string got = readUntilClose(fd, timeoutMs, 1 << 16, &closed);
  return closed && got.empty();
}

}  // namespace

TEST(EndpointListener, SystemChosenPortIsShownEverywhereAndKeptAcrossInit) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  const std::string bound = "127.0.0.1:" + std::to_string(rig.port);
  EXPECT_TRUE(waitFor([&] { return rig.cnl->listEntry().address() == bound; }, 2000));
  std::string status, form;
  channelStatus(*rig.cnl, status);
  EXPECT_EQ(0u, status.find("<TR><TD><STRONG>Channel IP address</STRONG></TD><TD><CODE>" + bound +
                            "</CODE></TD></TR>"));
  channelForm(*rig.cnl, form);
  EXPECT_EQ(0u, form.find(
      "<TABLE rules=none frame=void><COLGROUP><COL width=200><COL width=500></COLGROUP>\n"
      "<TR><TD><LABEL for=\"0_1_CnlIPAddr\">Channel IP address</LABEL></TD><TD>"
      "<INPUT type=text name=\"0_1_CnlIPAddr\" id=\"0_1_CnlIPAddr\" maxlength=70 "
      "style=\"width:150px\" value=\"127.0.0.1\"> : <INPUT type=text name=\"0_1_CnlIPPort\" "
      "id=\"0_1_CnlIPPort\" maxlength=10 style=\"width:50px\" value=\"0\">&nbsp;&nbsp;[" +
      std::to_string(rig.port) + "]</TD></TR>\n</TABLE>\n"));
  EXPECT_EQ(CNetAddr("127.0.0.1", rig.port), rig.cnl->peerAddr());

  // Unchanged settings keep the socket: with port 0 a new set-up would move the endpoint.
  const unsigned setUps = rig.cnl->listener().setUpCount();
  ASSERT_TRUE(rig.cnl->init());
  rig.cnl->reconf();
  std::this_thread::sleep_for(std::chrono::milliseconds(2300));
  EXPECT_EQ(setUps, rig.cnl->listener().setUpCount());
  EXPECT_EQ(rig.port, rig.cnl->localAddr().port);
}

TEST(EndpointListener, PortInUseShowsBindFailedAndIsRetriedUntilFree) {
  Rig first(0);
  ASSERT_TRUE(first.start());
  TestNetChannel second(0, 2);
  configure(second, first.port);
  ASSERT_TRUE(second.startChannel());
  EXPECT_TRUE(waitFor([&] { return second.listEntry().address() == "bind() failed"; }, 3000));
  EXPECT_TRUE(second.localAddr().ip.empty());
  const std::string log = g_logFile.logText(20);
  EXPECT_NE(std::string::npos,
            log.find("Channel 0 2 : Unable to bind the socket descriptor. err=98, ip=127.0.0.1:" +
                     std::to_string(first.port)));
  std::string form;
  channelForm(second, form);
  EXPECT_NE(std::string::npos, form.find("&nbsp;&nbsp;[not bound]"));

  // An unchanged submission in between must not end the retries.
  ASSERT_TRUE(second.init());
  second.reconf();
  EXPECT_NE(second.listEntry().address(), ":0");  // while nothing listens, its state text stays
  first.cnl.reset();
  EXPECT_EQ(first.port, second.waitListening(8000));
  EXPECT_EQ("127.0.0.1:" + std::to_string(first.port), second.listEntry().address());
}

TEST(EndpointListener, FormFieldsAndInvalidAddress) {
  Rig rig(0);
  const std::string section = "Channel 0 1";
  std::string html;
  channelUpdate(*rig.cnl, {{"0_1_CnlIPAddr", "1.2.3.x"}, {"0_1_CnlIPPort", "70000"}}, html);
  EXPECT_EQ("<P class=warn>The <EM>Channel IP address</EM> parameter must be a valid IP address. "
            "(IP:Port)</P><P class=warn>The <EM>Channel IP address</EM> parameter must have a "
            "valid port number (port<=65535).</P>",
            html);
  html.clear();
  channelUpdate(*rig.cnl, {{"0_1_CnlIPPort", "-1"}}, html);
  EXPECT_NE(std::string::npos, html.find("valid port number"));
  EXPECT_EQ(0, g_settings.readInt(section, "CnlIPPort", -5));

  html.clear();
  channelUpdate(*rig.cnl, {{"0_1_CnlIPAddr", "127.0.0.2"}, {"0_1_CnlIPPort", "8081"}}, html);
  EXPECT_EQ("<P class=upd>Updated the <EM>Channel IP address</EM> value to IP 127.0.0.2</P>"
            "<P class=upd>Updated the <EM>Channel IP address</EM> value to port 8081</P>",
            html);
  html.clear();
  channelUpdate(*rig.cnl, {{"0_1_CnlIPAddr", "127.0.0.2"}, {"0_1_CnlIPPort", "8081"}}, html);
  EXPECT_EQ("", html);

  g_settings.writeString(section, "CnlIPAddr", "255.255.255.255");
  EXPECT_FALSE(rig.cnl->init());
  EXPECT_NE(std::string::npos, g_logFile.logText(1).find(
                                   "CLstSockThread::init : Channel 0 1 : Invalid IP address"));
}

TEST(EndpointListener, ConnectionsBeyondTheBoundsGiveWayOrAreClosedAtOnce) {
  Rig rig(20);
  rig.cnl->listener().setLimits(3, 3, 3, 3);
  ASSERT_TRUE(rig.start());
  // Three idle connections fill the waiting room; each newcomer makes the one idle longest go.
  int idle[3];
  for (int& fd : idle) {
    fd = connectTo(rig.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(waitFor([&] { return rig.cnl->listener().waitingCount() == size_t(&fd - idle + 1); }, 10000));
  }
  const size_t logLines = g_logFile.lineCount();
  for (int i = 0; i < 3; ++i) {
    const int extra = connectTo(rig.port);
    EXPECT_TRUE(closedSilently(idle[i], 1000));
    ::close(idle[i]);
    idle[i] = extra;
  }
  EXPECT_EQ(3u, rig.cnl->listener().droppedCount());
  EXPECT_EQ(0u, rig.cnl->listener().connectionCount());
  EXPECT_EQ(logLines + 1, g_logFile.lineCount());  // one line a minute, however many
  EXPECT_NE(std::string::npos, g_logFile.logText(1).find("the one idle longest is closed"));
  for (int fd : idle) ::close(fd);
  ASSERT_TRUE(waitFor([&] { return rig.cnl->listener().waitingCount() == 0; }, 10000));

  // Three attached push streams fill the consumer bound.
  int streams[3];
  for (int& fd : streams) {
    fd = connectTo(rig.port);
    const std::string req = "GET /control/faststream.jpg HTTP/1.0\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  }
  ASSERT_TRUE(waitFor([&] { return rig.cnl->clientCount() == 3; }, 10000));
  ASSERT_TRUE(waitFor([&] { return rig.cnl->listener().connectionCount() == 0; }, 10000));
  const int extra = connectTo(rig.port);
  EXPECT_TRUE(closedSilently(extra, 1000));
  ::close(extra);

  // Stopping the channel ends connections still waiting at once, not at their deadline.
  for (int fd : streams) ::close(fd);
  ASSERT_TRUE(waitFor([&] { return rig.cnl->clientCount() == 0; }, 5000));
  for (int& fd : idle) fd = connectTo(rig.port);
  ASSERT_TRUE(waitFor([&] { return rig.cnl->listener().waitingCount() == 3; }, 10000));
  nettest::Stopwatch sw;
  rig.cnl.reset();
  EXPECT_LT(sw.seconds(), 2.0);
  for (int fd : idle) ::close(fd);
}

TEST(EndpointListener, ATricklingRequestIsDroppedAtItsDeadline) {
  Rig rig(0);
  rig.cnl->listener().setRequestDeadlineMs(1000);
  ASSERT_TRUE(rig.start());
  const int fd = connectTo(rig.port);
  ASSERT_GE(fd, 0);
  const std::string req = "GET /record/current.jpg HTTP/1.0\r\nX-Slow: ";
  nettest::Stopwatch sw;
  bool closed = false;
  for (size_t i = 0; i < req.size() + 40 && !closed; ++i) {
    const char c = i < req.size() ? req[i] : 'x';
    if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
    const std::string got = readUntilClose(fd, 100, 1 << 16, &closed);
    EXPECT_EQ("", got);
  }
  EXPECT_TRUE(closed);
  EXPECT_GT(sw.seconds(), 0.9);
  EXPECT_LT(sw.seconds(), 3.0);
  ::close(fd);
}

// Idle sockets wait without threads: they neither keep a new viewer from its picture nor slow
// the viewers already streaming.
TEST(EndpointListener, HundredsOfIdleConnectionsKeepNoViewerWaiting) {
  Rig rig(40);
  ASSERT_TRUE(rig.start());
  std::vector<int> streams, idle;
  for (int i = 0; i < 20; ++i) {
    streams.push_back(connectTo(rig.port));
    const std::string req = "GET /control/faststream.jpg?fps=10 HTTP/1.0\r\n\r\n";
    ::send(streams.back(), req.data(), req.size(), MSG_NOSIGNAL);
  }
  ASSERT_TRUE(waitFor([&] { return rig.cnl->clientCount() == streams.size(); }, 5000));
  const int threads = threadCount();
  for (int i = 0; i < 300; ++i) idle.push_back(connectTo(rig.port));
  ASSERT_TRUE(waitFor([&] { return rig.cnl->listener().waitingCount() >= 250; }, 5000));
  EXPECT_LE(threadCount(), threads + 2);

  nettest::Stopwatch sw;
  const std::string pic = get(rig.port, "/record/current.jpg", 3000);
  EXPECT_LT(sw.seconds(), 1.0);
  EXPECT_NE(std::string::npos, pic.find("\r\n\r\n\xFF\xD8")) << pic.substr(0, 100);
  // About 10 parts a second each; a viewer held up would fall far behind.
  std::vector<size_t> bytes(streams.size());
  for (size_t i = 0; i < streams.size(); ++i) readUntilClose(streams[i], 10);  // the backlog
  sw = nettest::Stopwatch();
  while (sw.seconds() < 2.0)
    for (size_t i = 0; i < streams.size(); ++i) bytes[i] += readUntilClose(streams[i], 5).size();
  const size_t part = rig.cnl->lastPicture().size() + CNetVideoClient::kPartHeaderSize;
  for (size_t b : bytes) EXPECT_GE(b / part, 14u);
  for (int fd : streams) ::close(fd);
  for (int fd : idle) ::close(fd);
}

// A thousand viewers that end at once are each reaped once, by the listener and by the new
// viewers attaching meanwhile; the sanitizer builds see any consumer used after it was reaped.
TEST(EndpointListener, AThousandViewersEndingAtOnceAreReapedOnce) {
  platform::raiseDescriptorLimit();
  ASSERT_GE(platform::connectionDescriptorBound(), 2300) << "the hard descriptor limit is too low";
  Rig rig(40);
  ASSERT_TRUE(rig.start());
  const std::string req = "GET /control/faststream.jpg?fps=1 HTTP/1.0\r\n\r\n";
  for (int round = 0; round < 2; ++round) {
    std::vector<int> viewers;
    for (size_t i = 0; i < 1000; ++i) {
      viewers.push_back(connectTo(rig.port));
      ::send(viewers.back(), req.data(), req.size(), MSG_NOSIGNAL);
      if (i % 100 == 99) {
        ASSERT_TRUE(waitFor([&] { return rig.cnl->clientCount() > i - 50; }, 30000));
      }
    }
    ASSERT_TRUE(waitFor([&] { return rig.cnl->clientCount() == 1000; }, 30000)) << rig.cnl->clientCount();
    for (int fd : viewers) ::close(fd);
    EXPECT_TRUE(waitFor([&] { return rig.cnl->clientCount() == 0; }, 30000)) << rig.cnl->clientCount();
  }
}

TEST(EndpointListener, RequestsWaitingForAThreadStartWhenOneEnds) {
  // One connection thread: four pictures asked for at once are answered one after another, each
  // as soon as the thread before it has ended, not after the listener's next wait.
  Rig rig(20);
  rig.cnl->listener().setLimits(1, 16);
  ASSERT_TRUE(rig.start());
  ASSERT_NE(get(rig.port, "/record/current.jpg", 3000).find("200 OK"), std::string::npos);  // pictures come
  int fds[4];
  for (int& fd : fds) {
    fd = connectTo(rig.port);
    const std::string req = "GET /record/current.jpg HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(fd, req.data(), req.size(), MSG_NOSIGNAL), ssize_t(req.size()));
  }
  nettest::Stopwatch sw;
  for (int fd : fds) {
    bool closed = false;
    EXPECT_NE(readUntilClose(fd, 8000, 1 << 20, &closed).find("200 OK"), std::string::npos);
    ::close(fd);
  }
  EXPECT_LT(sw.seconds(), 1.5);
}

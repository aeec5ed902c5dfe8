// The configuration server over real loopback TCP: routes, the Basic login, the 401 answer,
// socket set-up and its fallbacks, and the defences against slow or hostile clients.
#include <gtest/gtest.h>

#include <cstdlib>

#include "confserver/ConfAuth.h"
#include "confserver/StatusPage.h"
#include "tests/conf_fixture.h"

using namespace conftest;

namespace {

const char k401[] =
    "HTTP/1.1 401 \r\nConnection: close\r\nWWW-Authenticate: basic realm=\"configure TelvGate\"\r\n\r\n";

HeaderMap authHeaders(const std::string& value) { return HeaderMap{{"Authorization:", value}}; }
std::string basic(const std::string& pair) { return "Basic " + base64_encode(pair); }

}  // namespace

TEST(ConfLogin, DefaultAdminOnFreshInstallation) {
  IsolatedHome home;
  EXPECT_TRUE(check_auth(authHeaders(basic("admin:qatrel"))));
  EXPECT_FALSE(check_auth(authHeaders(basic("admin:Qatrel"))));
  EXPECT_FALSE(check_auth(HeaderMap{}));
  // Another login alone does not disable the default one.
  g_settings.writeString("Admins", "bob", "pw");
  EXPECT_TRUE(check_auth(authHeaders(basic("admin:qatrel"))));
  EXPECT_TRUE(check_auth(authHeaders(basic("bob:pw"))));
  // A stored admin password replaces the default.
  g_settings.writeString("Admins", "admin", "secret");
  EXPECT_FALSE(check_auth(authHeaders(basic("admin:qatrel"))));
  EXPECT_TRUE(check_auth(authHeaders(basic("admin:secret"))));
}

TEST(ConfLogin, MalformedCredentialsAreRefused) {
  IsolatedHome home;
  g_settings.writeString("Admins", "carol", "a:b:c");
  EXPECT_TRUE(check_auth(authHeaders(basic("carol:a:b:c"))));  // only the first colon splits
  EXPECT_FALSE(check_auth(authHeaders(basic("carol:a"))));
  EXPECT_FALSE(check_auth(authHeaders("basic " + base64_encode("admin:qatrel"))));
  EXPECT_FALSE(check_auth(authHeaders("Basic  " + base64_encode("admin:qatrel"))));
  EXPECT_FALSE(check_auth(authHeaders(basic("adminqatrel"))));  // no colon
  EXPECT_FALSE(check_auth(authHeaders(basic("admin:"))));
  EXPECT_FALSE(check_auth(authHeaders(basic(":qatrel"))));
  EXPECT_FALSE(check_auth(authHeaders(basic("mallory:qatrel"))));
  EXPECT_FALSE(check_auth(authHeaders("Basic YWRtaW46cWF0cmVs=")));  // length not a multiple of 4
  // Header names are matched exactly as received.
  EXPECT_FALSE(check_auth(HeaderMap{{"authorization:", basic("admin:qatrel")}}));
}

TEST(ConfOrigin, CrossSiteSubmissionsAreRecognised) {
  auto same = [](const HeaderMap& h) { return sameOriginRequest(h); };
  EXPECT_TRUE(same({}));
  EXPECT_TRUE(same({{"Host:", "127.0.0.1:8080"}}));
  EXPECT_TRUE(same({{"Host:", "127.0.0.1:8080"}, {"Origin:", "http://127.0.0.1:8080"}}));
  EXPECT_TRUE(same({{"Host:", "LocalHost:8080"}, {"Referer:", "http://localhost:8080/configure?cnl=sys"}}));
  EXPECT_TRUE(same({{"Host:", "gate"}, {"Origin:", "http://gate:80"}}));
  EXPECT_TRUE(same({{"host:", "gate:81"}, {"origin:", "http://gate:81"}}));
  EXPECT_FALSE(same({{"Host:", "127.0.0.1:8080"}, {"Origin:", "http://evil.example"}}));
  EXPECT_FALSE(same({{"Host:", "127.0.0.1:8080"}, {"Origin:", "http://127.0.0.1:8081"}}));
  EXPECT_FALSE(same({{"Host:", "127.0.0.1:8080"}, {"Origin:", "null"}}));
  EXPECT_FALSE(same({{"Host:", "127.0.0.1:8080"}, {"Referer:", "http://127.0.0.1.evil.example:8080/"}}));
  EXPECT_FALSE(same({{"Origin:", "http://127.0.0.1:8080"}}));  // no Host to compare with
  // A browser's own word on where the request comes from counts even without a Referer.
  EXPECT_FALSE(same({{"Host:", "a:1"}, {"Sec-Fetch-Site:", "cross-site"}}));
  EXPECT_FALSE(same({{"Host:", "a:1"}, {"Sec-Fetch-Site:", "same-site"}}));
  EXPECT_TRUE(same({{"Host:", "a:1"}, {"Sec-Fetch-Site:", "same-origin"}, {"Origin:", "http://a:1"}}));
  EXPECT_TRUE(same({{"Host:", "a:1"}, {"Sec-Fetch-Site:", "none"}}));
  // Origin counts before Referer.
  EXPECT_FALSE(same({{"Host:", "a:1"}, {"Origin:", "http://b:1"}, {"Referer:", "http://a:1/"}}));
}

TEST(ConfContentLength, OnlyPlainDecimalWithinTheLimit) {
  EXPECT_EQ(parseContentLength("12"), 12);
  EXPECT_EQ(parseContentLength("32768"), 32768);
  EXPECT_EQ(parseContentLength("7 \t"), 7);
  EXPECT_EQ(parseContentLength("32769"), -1);
  EXPECT_EQ(parseContentLength("0"), -1);
  EXPECT_EQ(parseContentLength("-5"), -1);
  EXPECT_EQ(parseContentLength("+5"), -1);
  EXPECT_EQ(parseContentLength("0x10"), -1);
  EXPECT_EQ(parseContentLength("12abc"), -1);
  EXPECT_EQ(parseContentLength(""), -1);
  EXPECT_EQ(parseContentLength("99999999999999999999999999"), -1);
}

TEST(ConfLogs, LineCountParameter) {
  EXPECT_EQ(logLineCount("3"), 3u);
  EXPECT_EQ(logLineCount("abc"), 0u);
  EXPECT_EQ(logLineCount(""), 0u);
  EXPECT_EQ(logLineCount("7xyz"), 7u);
  EXPECT_EQ(logLineCount("-1"), 0xFFFFFFFFu);
}

TEST(ConfServer, PublicRoutesNeedNoLogin) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const uint16_t port = f.port();
  ASSERT_NE(port, 0);

  std::string status = get(port, "/status");
  EXPECT_EQ(statusLine(status), "HTTP/1.1 200 ");
  EXPECT_NE(status.find("Content-type: text/html\r\n"), std::string::npos);
  EXPECT_NE(status.find("Cache-Control: private,no-cache,no-store\r\n"), std::string::npos);
  EXPECT_NE(status.find("<TITLE>TelvGate 1.3.4.7 Status Report</TITLE>"), std::string::npos);

  std::string logo = get(port, "/img/TELVORA_logo.png");
  EXPECT_EQ(statusLine(logo), "HTTP/1.1 200 OK");
  EXPECT_NE(logo.find("Content-type: image/png\r\n"), std::string::npos);
  std::string gif = bodyOf(logo);
  ASSERT_GE(gif.size(), 13u);
  EXPECT_EQ(gif.substr(0, 6), "GIF89a");
  EXPECT_EQ(uint8_t(gif[6]) | uint8_t(gif[7]) << 8, 160);
  EXPECT_EQ(uint8_t(gif[8]) | uint8_t(gif[9]) << 8, 120);
  EXPECT_EQ(uint8_t(gif[10]) & 0x87, 0x87);  // global colour table of 256 entries
  EXPECT_EQ(gif.back(), ';');                // the GIF trailer: the whole file arrived

  std::string icon = get(port, "/favicon.ico");
  EXPECT_EQ(statusLine(icon), "HTTP/1.1 200 OK");
  EXPECT_NE(icon.find("Content-type: image/ico\r\n"), std::string::npos);
  std::string ico = bodyOf(icon);
  ASSERT_GE(ico.size(), 13u);
  EXPECT_EQ(ico.substr(0, 6), "GIF87a");
  EXPECT_EQ(uint8_t(ico[6]), 32);
  EXPECT_EQ(uint8_t(ico[8]), 32);
  EXPECT_EQ(uint8_t(ico[10]) & 0x87, 0x87);
}

TEST(ConfServer, ProtectedPathsAnswer401ByteForByte) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  bool closed = false;
  std::string answer = rawRequest(f.port(), "GET /configure HTTP/1.1\r\n\r\n", 5000, &closed);
  EXPECT_EQ(answer, k401);
  EXPECT_TRUE(closed);
  EXPECT_EQ(get(f.port(), "/configure", "Authorization: basic " + base64_encode("admin:qatrel") + "\r\n"),
            k401);
  EXPECT_EQ(get(f.port(), "/submitConfig?x=1"), k401);
  // Paths are compared exactly: these are configuration pages, so they need the login too.
  EXPECT_EQ(get(f.port(), "/Status"), k401);
  EXPECT_EQ(get(f.port(), "/logs/"), k401);
}

TEST(ConfServer, AnyAuthorisedPathShowsTheConfigurationPage) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  for (const char* path : {"/configure", "/", "/anything/else?cnl=sys"}) {
    std::string answer = get(f.port(), path, basicAuth("admin", "qatrel"));
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 ") << path;
    EXPECT_NE(answer.find("<TITLE>TelvGate 1.3.4.7 Configuration</TITLE>"), std::string::npos) << path;
    EXPECT_NE(answer.find("&gt;&nbsp;System&nbsp;&lt;"), std::string::npos) << path;
  }
}

TEST(ConfServer, CurlLogsInWithTheDefaultAdmin) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string url = "http://127.0.0.1:" + std::to_string(f.port());
  const std::string out = f.home.dir().file("curl.out");
  std::string cmd = "curl -s -m 10 -o '" + out + "' -w '%{http_code}' -u admin:qatrel '" + url +
                    "/configure?cnl=newSony' > '" + out + ".code'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(readFile(out + ".code"), "200");
  EXPECT_NE(readFile(out).find("<OPTION value=\"newSony\" selected>New Sony IP</OPTION>"),
            std::string::npos);
  cmd = "curl -s -m 10 -o /dev/null -w '%{http_code}' -u admin:wrong '" + url + "/configure' > '" +
        out + ".code'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(readFile(out + ".code"), "401");
}

TEST(ConfServer, LogsAnswerTheNewestLinesFirst) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  for (int i = 1; i <= 5; ++i) g_logFile.log(CLogFile::Info, "test", "line " + std::to_string(i), "T::t");
  const size_t held = g_logFile.lineCount();

  std::string three = get(f.port(), "/logs?l=3");
  EXPECT_EQ(statusLine(three), "HTTP/1.1 200 OK");
  EXPECT_NE(three.find("\r\nContent-Type: text/plain\r\n"), std::string::npos);
  EXPECT_NE(three.find("\r\nCache-Control: private,no-cache,no-store\r\n"), std::string::npos);
  std::string body = bodyOf(three);
  EXPECT_EQ(countOf(body, "\n"), 3u);
  EXPECT_LT(body.find("line 5"), body.find("line 4"));
  EXPECT_LT(body.find("line 4"), body.find("line 3"));
  EXPECT_EQ(body.find("line 2"), std::string::npos);
  EXPECT_EQ(body.back(), '\n');

  EXPECT_EQ(countOf(bodyOf(get(f.port(), "/logs")), "\n"), held);
  EXPECT_EQ(countOf(bodyOf(get(f.port(), "/logs?l=abc")), "\n"), held);
  EXPECT_EQ(countOf(bodyOf(get(f.port(), "/logs?l=-1")), "\n"), held);
}

TEST(ConfServer, BusyPortFallsBackToAPortTheSystemChooses) {
  ServerFixture f;
  int busy = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(busy, 1), 0);
  ASSERT_EQ(::getsockname(busy, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const uint16_t busyPort = ntohs(a.sin_port);
  g_settings.writeInt("System", "ConfIPPort", busyPort);

  ASSERT_TRUE(f.start());
  EXPECT_TRUE(f.server.osSelectedPort());
  EXPECT_NE(f.port(), busyPort);
  EXPECT_NE(f.port(), 0);
  EXPECT_EQ(statusLine(get(f.port(), "/status")), "HTTP/1.1 200 ");
  EXPECT_NE(g_logFile.logText(0).find("Unable to bind the socket descriptor.: ip:port 127.0.0.1:" +
                                      std::to_string(busyPort)),
            std::string::npos);
  ::close(busy);
}

TEST(ConfServer, InvalidAddressKeepsTheServerWhereItIs) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const CNetAddr before = f.server.address();
  g_settings.writeString("System", "ConfIPAddr", "localhost");
  EXPECT_FALSE(f.server.init("", 0));
  EXPECT_EQ(f.server.address(), before);
  EXPECT_NE(g_logFile.logText(1).find("Invalid IP address"), std::string::npos);
  EXPECT_EQ(statusLine(get(before.port, "/status")), "HTTP/1.1 200 ");
}

TEST(ConfServer, ShutdownWhileWaitingIsPrompt) {
  ServerFixture f(false);  // the real 2 s wait for connections
  ASSERT_TRUE(f.start());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto t0 = std::chrono::steady_clock::now();
  f.server.shutdown();
  EXPECT_LT(msSince(t0), 2500);
  EXPECT_EQ(connectTo(f.port()), -1);  // the listening socket is gone
}

TEST(ConfServer, SilentClientCannotHoldTheServer) {
  ServerFixture f;
  f.server.setRequestDeadlineMs(300);
  ASSERT_TRUE(f.start());
  // Sends a byte now and then, so the per-line time-outs alone would never end the request.
  int slow = connectTo(f.port());
  ASSERT_GE(slow, 0);
  std::atomic<bool> done{false};
  std::thread dribble([&] {
    sendText(slow, "GET /status HTTP/1.1\r\nX-Slow: ");
    while (!done) {
      sendText(slow, "a");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  auto t0 = std::chrono::steady_clock::now();
  std::string answer = get(f.port(), "/status");
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 ");
  EXPECT_LT(msSince(t0), 3000);
  done = true;
  dribble.join();
  bool closed = false;
  EXPECT_EQ(readAll(slow, 2000, &closed), "");  // dropped without an answer
  EXPECT_TRUE(closed);
  ::close(slow);
}

TEST(ConfServer, ClientThatNeverReadsCannotHoldTheServer) {
  ServerFixture f;
  f.server.setSendTimeoutMs(300);
  ASSERT_TRUE(f.start());
  // A log text far larger than the socket buffers on both ends.
  const std::string filler(400, 'x');
  for (int i = 0; i < 20000; ++i) g_logFile.log(CLogFile::Info, "test", filler, "T::t");
  int lazy = connectTo(f.port());
  ASSERT_GE(lazy, 0);
  int small = 4096;
  ::setsockopt(lazy, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sendText(lazy, "GET /logs HTTP/1.1\r\n\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(statusLine(get(f.port(), "/status")), "HTTP/1.1 200 ");
  EXPECT_LT(msSince(t0), 4000);
  ::close(lazy);
}

TEST(ConfServer, UnusableBodyLengthGetsNoAnswer) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string auth = basicAuth("admin", "qatrel");
  for (const char* length : {"40000", "-1", "0x20", "99999999999999999999999", "0", "abc"}) {
    bool closed = false;
    std::string answer = rawRequest(f.port(),
                                    std::string("POST /submitConfig HTTP/1.1\r\nContent-Length: ") +
                                        length + "\r\n" + auth + "\r\nsys_newLogin=x",
                                    3000, &closed);
    EXPECT_EQ(answer, "") << length;
    EXPECT_TRUE(closed) << length;
  }
  // A body of 40000 bytes that really arrives is refused the same way; nothing was stored.
  std::string big(40000, 'a');
  EXPECT_EQ(post(f.port(), "sys_newLogin=x&sys_newPasswd1=y&sys_newPasswd2=y&" + big, auth), "");
  EXPECT_FALSE(g_settings.existingEntry("Admins", "x"));
  // A body shorter than announced ends at the deadline, also without an answer.
  f.server.setRequestDeadlineMs(300);
  EXPECT_EQ(rawRequest(f.port(), "POST /submitConfig HTTP/1.1\r\nContent-Length: 100\r\n" + auth +
                                     "\r\nshort"),
            "");
  EXPECT_EQ(statusLine(get(f.port(), "/status")), "HTTP/1.1 200 ");
}

TEST(ConfServer, CrossSiteSubmissionIsForbidden) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string auth = basicAuth("admin", "qatrel");
  const std::string body = "sys_newLogin=eve&sys_newPasswd1=pw&sys_newPasswd2=pw";
  std::string answer = post(f.port(), body, auth + "Origin: http://evil.example\r\n");
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 403 Forbidden");
  answer = get(f.port(), "/submitConfig?" + body, auth + "Referer: http://evil.example/page\r\n");
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 403 Forbidden");
  EXPECT_FALSE(g_settings.existingEntry("Admins", "eve"));
  // The pages themselves post with their own origin.
  const std::string self = "http://127.0.0.1:" + std::to_string(f.port());
  answer = post(f.port(), body, auth + "Origin: " + self + "\r\nReferer: " + self + "/configure\r\n");
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 ");
  EXPECT_TRUE(g_settings.existingEntry("Admins", "eve"));
}

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "base/CHTTPSocket.h"
#include "platform/Clock.h"
#include "tests/net_loopback.h"

using nettest::Pair;
using nettest::Stopwatch;

namespace {

std::string headerLines(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "X-H" + std::to_string(i) + ": v\r\n";
  return s;
}

// Sends `text` from the peer and runs read_request on the server end.
bool requestOf(const std::string& text, CHTTPSocket** out, Pair* p) {
  if (!p->ok() || !p->send(text)) return false;
  *out = new CHTTPSocket(p->takeServer());
  return (*out)->read_request();
}

}  // namespace

TEST(HttpRequest, SimpleGetWithoutHeaders) {
  Pair p;
  CHTTPSocket* s = nullptr;
  EXPECT_TRUE(requestOf("GET /status HTTP/1.1\r\n\r\n", &s, &p));
  EXPECT_EQ(s->method, HTTP_GET);
  EXPECT_EQ(s->path, "/status");
  EXPECT_TRUE(s->query.empty());
  EXPECT_TRUE(s->request_headers.empty());
  delete s;
}

TEST(HttpRequest, PostWithQueryHeadersAndBodyLeftUnread) {
  Pair p;
  CHTTPSocket* s = nullptr;
  EXPECT_TRUE(requestOf("post /submitConfig?cnl=sys HTTP/1.0\r\n"
                        "Content-Length: 7\r\n"
                        "content-type: text/plain\r\n"
                        "Authorization: Basic YWRtaW46c2VjcmV0\r\n"
                        "\r\n"
                        "a=1&b=2",
                        &s, &p));
  EXPECT_EQ(s->method, HTTP_POST);
  EXPECT_EQ(s->path, "/submitConfig");
  EXPECT_EQ(s->query.at("cnl"), "sys");
  EXPECT_EQ(s->header(s->request_headers, "Content-Length:"), "7");
  // Header names are case-sensitive keys, and a lookup does not insert anything.
  EXPECT_EQ(s->header(s->request_headers, "Content-Type:"), "");
  EXPECT_EQ(s->request_headers.count("Content-Type:"), 0u);
  EXPECT_EQ(s->header(s->request_headers, "content-type:"), "text/plain");
  char body[7];
  EXPECT_EQ(s->recv_all(body, sizeof body, 1, 0), 7);
  EXPECT_EQ(std::string(body, 7), "a=1&b=2");
  delete s;
}

TEST(HttpRequest, SecondRequestReplacesQueryAndHeaders) {
  Pair p;
  CHTTPSocket* s = nullptr;
  ASSERT_TRUE(requestOf("GET /a?x=1 HTTP/1.1\r\nHost: h\r\n\r\nGET /b HTTP/1.1\r\n\r\n", &s, &p));
  ASSERT_TRUE(s->read_request());
  EXPECT_EQ(s->path, "/b");
  EXPECT_TRUE(s->query.empty());
  EXPECT_TRUE(s->request_headers.empty());
  delete s;
}

TEST(HttpRequest, RefusedMethodsAndMalformedHeaders) {
  for (const char* bad : {"HEAD / HTTP/1.1\r\n\r\n", "Get / HTTP/1.1\r\n\r\n", "GET\r\n\r\n",
                          "GET / HTTP/1.1\r\nContent-Length:\r\n\r\n", "GET / HTTP/1.1\r\nContent-Length : 3\r\n\r\n",
                          "GET / HTTP/1.1\r\nno colon\r\n\r\n"}) {
    Pair p;
    CHTTPSocket* s = nullptr;
    EXPECT_FALSE(requestOf(bad, &s, &p)) << bad;
    delete s;
  }
}

TEST(HttpRequest, HeaderBlockOf99LinesAcceptedAnd100Refused) {
  {
    Pair p;
    CHTTPSocket* s = nullptr;
    EXPECT_TRUE(requestOf("GET / HTTP/1.1\r\n" + headerLines(99) + "\r\n", &s, &p));
    EXPECT_EQ(s->request_headers.size(), 99u);
    delete s;
  }
  {
    Pair p;
    CHTTPSocket* s = nullptr;
    EXPECT_FALSE(requestOf("GET / HTTP/1.1\r\n" + headerLines(100) + "\r\n", &s, &p));
    delete s;
  }
  {
    // Repeated names count as lines even though they share one entry.
    Pair p;
    CHTTPSocket* s = nullptr;
    std::string same;
    for (int i = 0; i < 100; ++i) same += "X: " + std::to_string(i) + "\r\n";
    EXPECT_FALSE(requestOf("GET / HTTP/1.1\r\n" + same + "\r\n", &s, &p));
    delete s;
  }
}

TEST(HttpRequest, RepeatedHeaderKeepsTheLastValue) {
  Pair p;
  CHTTPSocket* s = nullptr;
  ASSERT_TRUE(requestOf("GET / HTTP/1.1\r\nX: 1\r\nX: 2  \r\n\r\n", &s, &p));
  EXPECT_EQ(s->request_headers.at("X:"), "2  ");
  delete s;
}

TEST(HttpRequest, LineLengthLimitForRequestAndHeaderLines) {
  const std::string prefix = "GET /";
  const std::string suffix = " HTTP/1.1";
  auto requestLine = [&](size_t total) {
    return prefix + std::string(total - prefix.size() - suffix.size(), 'p') + suffix;
  };
  auto headerLine = [](size_t total) { return "X-Long: " + std::string(total - 8, 'v'); };
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {
      {requestLine(5119) + "\r\n\r\n", true},
      {requestLine(5120) + "\r\n\r\n", false},
      {requestLine(5119) + "\n\n", true},
      {"GET / HTTP/1.1\r\n" + headerLine(5119) + "\r\n\r\n", true},
      {"GET / HTTP/1.1\r\n" + headerLine(5120) + "\r\n\r\n", false},
  };
  for (const Case& c : cases) {
    Pair p;
    CHTTPSocket* s = nullptr;
    EXPECT_EQ(requestOf(c.text, &s, &p), c.ok) << c.text.size();
    delete s;
  }
}

TEST(HttpRequest, PeerClosingMidRequestFails) {
  Pair p;
  ASSERT_TRUE(p.send("GET / HTTP/1.1\r\nHost: x\r\n"));
  p.closeClient();
  CHTTPSocket s(p.takeServer());
  EXPECT_FALSE(s.read_request());
}

// The real time-outs, measured once each, side by side so the test costs ten seconds, not twenty.
TEST(HttpTimeouts, RequestLineTenSecondsHeaderAndStatusLinesFive) {
  Pair requestPair, headerPair, statusPair;
  ASSERT_TRUE(requestPair.ok() && headerPair.ok() && statusPair.ok());
  ASSERT_TRUE(requestPair.send("GET /slow"));
  ASSERT_TRUE(headerPair.send("GET / HTTP/1.1\r\nHost: x"));
  ASSERT_TRUE(statusPair.send("HTTP/1.1 200 OK\r\nServer"));
  double requestSec = 0, headerSec = 0, statusSec = 0;
  bool requestOk = true, headerOk = true, statusOk = true;
  std::thread a([&] {
    CHTTPSocket s(requestPair.takeServer());
    Stopwatch w;
    requestOk = s.read_request();
    requestSec = w.seconds();
  });
  std::thread b([&] {
    CHTTPSocket s(headerPair.takeServer());
    Stopwatch w;
    headerOk = s.read_request();
    headerSec = w.seconds();
  });
  std::thread c([&] {
    CHTTPSocket s(statusPair.takeServer());
    Stopwatch w;
    statusOk = s.read_response();
    statusSec = w.seconds();
  });
  a.join();
  b.join();
  c.join();
  EXPECT_FALSE(requestOk);
  EXPECT_FALSE(headerOk);
  EXPECT_FALSE(statusOk);
  EXPECT_GE(requestSec, 9.95);
  EXPECT_LT(requestSec, 11.0);
  EXPECT_GE(headerSec, 4.95);
  EXPECT_LT(headerSec, 6.0);
  EXPECT_GE(statusSec, 4.95);
  EXPECT_LT(statusSec, 6.0);
}

TEST(HttpResponse, ClientReadsStatusHeadersThenBody) {
  Pair p;
  ASSERT_TRUE(p.send("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=--b\r\n"
                     "Content-Length: 5\r\n\r\nhello"));
  CHTTPSocket s(p.takeServer());
  s.response_headers["Stale:"] = "x";
  ASSERT_TRUE(s.read_response());
  EXPECT_EQ(s.version, "1.0");
  EXPECT_EQ(s.status, 200);
  EXPECT_EQ(s.reason, "OK");
  EXPECT_EQ(s.response_headers.size(), 2u);
  EXPECT_EQ(s.header(s.response_headers, "Content-Type:"), "multipart/x-mixed-replace;boundary=--b");
  char body[5];
  EXPECT_EQ(s.recv_all(body, 5, 1, 0), 5);
  EXPECT_EQ(std::string(body, 5), "hello");
}

TEST(HttpResponse, RefusesOtherStatusLines) {
  for (const char* bad : {"ICY 200 OK\r\n\r\n", "HTTP/1.1 OK\r\n\r\n", "HTTP/1.1 200 OK\r\nBad : x\r\n\r\n"}) {
    Pair p;
    ASSERT_TRUE(p.send(bad));
    CHTTPSocket s(p.takeServer());
    EXPECT_FALSE(s.read_response()) << bad;
  }
}

TEST(HttpResponse, HeadGoesOutInOneSendInByteOrder) {
  Pair p;
  ASSERT_TRUE(p.ok());
  {
    CHTTPSocket s(p.takeServer());
    s.status = 200;
    s.reason = "OK";
    s.set_header("Content-type:", "text/html");
    s.set_header("Connection:", "close");
    s.set_header("Cache-Control:", "private,no-cache");
    s.set_header("Connection:", "close");
    const std::string expected =
        "HTTP/1.1 200 OK\r\nCache-Control: private,no-cache\r\nConnection: close\r\nContent-type: text/html\r\n\r\n";
    EXPECT_EQ(s.send_response_head(), int(expected.size()));
    EXPECT_EQ(s.send("<html></html>"), 13);
  }
  EXPECT_EQ(p.receiveAll(),
            "HTTP/1.1 200 OK\r\nCache-Control: private,no-cache\r\nConnection: close\r\nContent-type: text/html\r\n\r\n"
            "<html></html>");
}

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/CHTTPSocket.h"

using Map = std::map<std::string, std::string>;

TEST(HttpRequestLine, AcceptsExactlyFourMethodWords) {
  int m = 0;
  std::string target;
  EXPECT_TRUE(http::parseRequestLine("GET /status HTTP/1.1", &m, &target));
  EXPECT_EQ(m, HTTP_GET);
  EXPECT_EQ(target, "/status");
  EXPECT_TRUE(http::parseRequestLine("get /x", &m, &target));
  EXPECT_EQ(m, HTTP_GET);
  EXPECT_TRUE(http::parseRequestLine("POST /submitConfig HTTP/1.0", &m, &target));
  EXPECT_EQ(m, HTTP_POST);
  EXPECT_TRUE(http::parseRequestLine("post /y", &m, &target));
  EXPECT_EQ(m, HTTP_POST);
  for (const char* bad : {"HEAD / HTTP/1.1", "Get / HTTP/1.1", "PoSt /", "PUT /", "GETX /", "", "   "})
    EXPECT_FALSE(http::parseRequestLine(bad, &m, &target)) << bad;
}

TEST(HttpRequestLine, NeedsTargetAndIgnoresFurtherWords) {
  int m = 0;
  std::string target;
  EXPECT_FALSE(http::parseRequestLine("GET", &m, &target));
  EXPECT_FALSE(http::parseRequestLine("GET   ", &m, &target));
  EXPECT_TRUE(http::parseRequestLine("  GET\t/a\tHTTP/1.1 extra words", &m, &target));
  EXPECT_EQ(target, "/a");
}

TEST(HttpTarget, PathWithoutQueryStaysUndecoded) {
  std::string path;
  Map q{{"old", "1"}};
  http::splitTarget("/a%20b+c", &path, &q);
  EXPECT_EQ(path, "/a%20b+c");
  EXPECT_TRUE(q.empty());
}

TEST(HttpTarget, PathWithQueryIsDecoded) {
  std::string path;
  Map q;
  http::splitTarget("/a%20b?x=1", &path, &q);
  EXPECT_EQ(path, "/a b");
  EXPECT_EQ(q, (Map{{"x", "1"}}));
  http::splitTarget("/configure?cnl=sys", &path, &q);
  EXPECT_EQ(path, "/configure");
  EXPECT_EQ(q, (Map{{"cnl", "sys"}}));
}

TEST(HttpTarget, QueryPairsDecodeAndLaterValuesWin) {
  std::string path;
  Map q;
  http::splitTarget("/p?a=1&b&c=x%3Dy+z&a=2", &path, &q);
  EXPECT_EQ(q, (Map{{"a", "2"}, {"b", ""}, {"c", "x=y z"}}));
  http::splitTarget("/p?k=v=w", &path, &q);
  EXPECT_EQ(q, (Map{{"k", "v=w"}}));
  http::splitTarget("/p?n%41me=%41", &path, &q);
  EXPECT_EQ(q, (Map{{"nAme", "A"}}));
}

TEST(HttpTarget, PairWithoutEqualsKeepsItsRawName) {
  std::string path;
  Map q;
  http::splitTarget("/p?a%41+b", &path, &q);
  EXPECT_EQ(q, (Map{{"a%41+b", ""}}));
}

TEST(HttpTarget, EmptyPairsGiveEmptyNames) {
  std::string path;
  Map q;
  http::splitTarget("/p?", &path, &q);
  EXPECT_EQ(path, "/p");
  EXPECT_EQ(q, (Map{{"", ""}}));
  http::splitTarget("?a=1&&b=2", &path, &q);
  EXPECT_EQ(path, "");
  EXPECT_EQ(q, (Map{{"", ""}, {"a", "1"}, {"b", "2"}}));
  http::splitTarget("/p?=v", &path, &q);
  EXPECT_EQ(q, (Map{{"", "v"}}));
}

TEST(HttpTarget, OnlyTheFirstQuestionMarkSplits) {
  std::string path;
  Map q;
  http::splitTarget("/p?u=a?b", &path, &q);
  EXPECT_EQ(path, "/p");
  EXPECT_EQ(q, (Map{{"u", "a?b"}}));
}

TEST(HttpHeaderLine, StoresNameWithColonAndValue) {
  std::string k, v;
  EXPECT_TRUE(http::parseHeaderLine("Content-Length: 12", &k, &v));
  EXPECT_EQ(k, "Content-Length:");
  EXPECT_EQ(v, "12");
  EXPECT_TRUE(http::parseHeaderLine("Host:\t127.0.0.1:8080", &k, &v));
  EXPECT_EQ(k, "Host:");
  EXPECT_EQ(v, "127.0.0.1:8080");
  EXPECT_TRUE(http::parseHeaderLine("  X-Indented:v", &k, &v));
  EXPECT_EQ(k, "X-Indented:");
  EXPECT_EQ(v, "v");
}

TEST(HttpHeaderLine, KeepsTrailingBlanksAndInnerSpaces) {
  std::string k, v;
  EXPECT_TRUE(http::parseHeaderLine("User-Agent:  a b \t ", &k, &v));
  EXPECT_EQ(v, "a b \t ");
}

TEST(HttpHeaderLine, RefusesMalformedLines) {
  std::string k, v;
  for (const char* bad : {"Content-Length : 12", "Content\tLength: 1", "No colon here", "Empty:", "Blank:   \t",
                          "", "   \t", ": nameless", "  :nameless"})
    EXPECT_FALSE(http::parseHeaderLine(bad, &k, &v)) << bad;
}

TEST(HttpStatusLine, ReadsVersionCodeAndReason) {
  std::string version, reason;
  int status = 0;
  EXPECT_TRUE(http::parseStatusLine("HTTP/1.1 200 OK", &version, &status, &reason));
  EXPECT_EQ(version, "1.1");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(reason, "OK");
  EXPECT_TRUE(http::parseStatusLine("HTTP/1.0 404    Not Found ", &version, &status, &reason));
  EXPECT_EQ(version, "1.0");
  EXPECT_EQ(status, 404);
  EXPECT_EQ(reason, "Not Found ");
  EXPECT_TRUE(http::parseStatusLine("HTTP/1.1 401", &version, &status, &reason));
  EXPECT_EQ(status, 401);
  EXPECT_EQ(reason, "");
}

TEST(HttpStatusLine, RefusesOtherProtocolsAndMissingCode) {
  std::string version, reason;
  int status = 0;
  for (const char* bad : {"ICY 200 OK", "http/1.1 200 OK", "XHTTP/1.1 200 OK", "HTTP/1.1 OK", "HTTP/1.1", "",
                          "HTTP/1.1 99999999999999999999 Big"})
    EXPECT_FALSE(http::parseStatusLine(bad, &version, &status, &reason)) << bad;
}

TEST(HttpResponseHead, HeadersInByteOrderEachEndedByCrLf) {
  Map h{{"Content-type:", "text/html"}, {"Connection:", "close"}, {"Cache-Control:", "private,no-cache,no-store"}};
  EXPECT_EQ(http::buildResponseHead(200, "OK", h),
            "HTTP/1.1 200 OK\r\n"
            "Cache-Control: private,no-cache,no-store\r\n"
            "Connection: close\r\n"
            "Content-type: text/html\r\n"
            "\r\n");
  // Byte order, not alphabetical order: upper case sorts before lower case.
  EXPECT_EQ(http::buildResponseHead(404, "Not Found", Map{{"a:", "1"}, {"B:", "2"}}),
            "HTTP/1.1 404 Not Found\r\nB: 2\r\na: 1\r\n\r\n");
  EXPECT_EQ(http::buildResponseHead(401, "", Map{}), "HTTP/1.1 401 \r\n\r\n");
}

// The configuration server under slow, idle, guessing and forging clients: answers sent
// outside the channel-use lock with a deadline, requests read concurrently, login throttling,
// unbindable addresses, the missing-administrator warning, same-origin signs on GET and the
// page headers that forbid sniffing and framing.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "confserver/ConfAuth.h"
#include "confserver/LoginThrottle.h"
#include "tests/conf_fixture.h"
#include "tests/support/Loopback.h"
#include "tests/support/Waiting.h"

using namespace conftest;

namespace {

const std::string kAuth = basicAuth("admin", "qatrel");

std::string configureFrom(const char* source, uint16_t port, const std::string& auth) {
  int fd = connectFrom(source, port);
  if (fd < 0) return "<no connection>";
  sendText(fd, "GET /configure HTTP/1.1\r\n" + auth + "\r\n");
  std::string out = readAll(fd, 3000);
  ::close(fd);
  return out;
}

// Reads a few bytes now and then until stopped or the server closes: the slowest reader that
// still makes progress.
class TrickleReader {
 public:
  TrickleReader(uint16_t port, const std::string& request)
      : m_fd(connectTo(port, 4096)) {  // a small window, so a reset is seen soon
    sendText(m_fd, request);
    m_thread = std::thread([this] {
      char buf[1024];
      while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
          ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
          if (n <= 0) {
            m_closed = true;
            return;
          }
          m_received += size_t(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
      }
    });
  }
  ~TrickleReader() {
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
  }
  bool closedByServer() const { return m_closed; }
  size_t received() const { return m_received; }

 private:
  int m_fd;
  std::atomic<bool> m_stop{false}, m_closed{false};
  std::atomic<size_t> m_received{0};
  std::thread m_thread;
};

// Several megabytes of log, far more than the socket buffers hold; trimmed back to below one
// megabyte when the test ends, so later tests see a small log again.
struct BigLog {
  BigLog() {
    const std::string filler(400, 'x');
    for (int i = 0; i < 20000; ++i) g_logFile.log(CLogFile::Info, "test", filler, "T::t");
  }
  ~BigLog() {
    g_settings.writeInt("System", "LogFileSize", 1);
    g_logFile.init();
    g_logFile.log(CLogFile::Info, "test", "trim", "T::t");
  }
};

}  // namespace

TEST(ConfHardening, SlowReaderHoldsNeitherTheLockNorOtherClientsNorShutdown) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  BigLog log;
  TrickleReader slow(f.port(), "GET /logs HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(waitFor([&] { return slow.received() > 0; }, 3000));

  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(statusLine(get(f.port(), "/status")), "HTTP/1.1 200 ");
  EXPECT_LT(msSince(t0), 1500);
  t0 = std::chrono::steady_clock::now();
  { std::lock_guard<std::mutex> use(g_cnlUseLock); }  // what the close sequence takes first
  EXPECT_LT(msSince(t0), 500);
  t0 = std::chrono::steady_clock::now();
  f.server.shutdown();
  EXPECT_LT(msSince(t0), 1500);
  EXPECT_FALSE(slow.closedByServer() && slow.received() == 0);
}

TEST(ConfHardening, AnswerThatTakesTooLongToSendIsDropped) {
  ServerFixture f;
  f.server.setSendDeadlineMs(500);
  ASSERT_TRUE(f.start());
  BigLog log;
  TrickleReader slow(f.port(), "GET /logs HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(waitFor([&] { return slow.closedByServer(); }, 4000));
  EXPECT_GT(slow.received(), 0u);
}

TEST(ConfHardening, IdleAndEmptyConnectionsDoNotDelayOthers) {
  ServerFixture f;
  f.server.setLingerMs(1000);  // the product's pause after a page
  ASSERT_TRUE(f.start());
  // Connections opened and closed at once without a byte cost nothing.
  for (int i = 0; i < 30; ++i) ::close(connectTo(f.port()));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(statusLine(get(f.port(), "/status")), "HTTP/1.1 200 ");
  EXPECT_LT(msSince(t0), 2000);

  // More idle connections than connection threads: the one idle longest is dropped for the
  // newcomer, and a real request is still answered promptly.
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(connectTo(f.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(statusLine(get(f.port(), "/status")), "HTTP/1.1 200 ");
  EXPECT_LT(msSince(t0), 2000);
  bool closed = false;
  readAll(idle.front(), 1000, &closed);
  EXPECT_TRUE(closed);
  for (int fd : idle) ::close(fd);

  // The pause after a page belongs to its own connection: two clients at once both finish
  // within about one pause.
  t0 = std::chrono::steady_clock::now();
  std::string a, b;
  std::thread other([&] { a = get(f.port(), "/status"); });
  b = get(f.port(), "/status");
  other.join();
  EXPECT_EQ(statusLine(a), "HTTP/1.1 200 ");
  EXPECT_EQ(statusLine(b), "HTTP/1.1 200 ");
  EXPECT_LT(msSince(t0), 1800);
}

TEST(ConfHardening, RepeatedFailedLoginsBlockOnlyThatAddressForAMinute) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string k401Line = "HTTP/1.1 401 ";
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(statusLine(configureFrom("127.0.0.2", f.port(), basicAuth("admin", "guess"))), k401Line);
  // The right password no longer helps from there, while another address logs in.
  EXPECT_EQ(statusLine(configureFrom("127.0.0.2", f.port(), kAuth)), k401Line);
  EXPECT_EQ(statusLine(configureFrom("127.0.0.3", f.port(), kAuth)), "HTTP/1.1 200 ");
  EXPECT_EQ(statusLine(configureFrom("127.0.0.2", f.port(), kAuth)), k401Line);
  EXPECT_EQ(countOf(g_logFile.logText(0), "Too many failed logins from 127.0.0.2"), 1u);
  // Requests without credentials (a browser's first try) are not failures.
  for (int i = 0; i < 6; ++i) configureFrom("127.0.0.4", f.port(), "");
  EXPECT_EQ(statusLine(configureFrom("127.0.0.4", f.port(), kAuth)), "HTTP/1.1 200 ");
}

TEST(LoginThrottle, BlocksForAMinuteOnlyAfterFiveFailuresWithinAMinute) {
  const uint64_t s = 1000000000ull;
  LoginThrottle t;
  // Failures spread over more than a minute never add up to a block.
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(t.failed("10.0.0.1", 100 * s + uint64_t(i) * 16 * s));
  EXPECT_FALSE(t.blocked("10.0.0.1", 230 * s));
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(t.failed("10.0.0.2", 300 * s + uint64_t(i) * s));
  EXPECT_TRUE(t.failed("10.0.0.2", 310 * s));   // the fifth within the minute: block begins
  EXPECT_FALSE(t.failed("10.0.0.2", 311 * s));  // reported once
  EXPECT_TRUE(t.blocked("10.0.0.2", 369 * s));
  EXPECT_FALSE(t.blocked("10.0.0.2", 370 * s));
  EXPECT_FALSE(t.blocked("10.0.0.3", 320 * s));
  // The minute slides: five failures between 440 s and 499 s count, whenever the first was.
  for (uint64_t at : {400, 440, 450, 459, 461}) EXPECT_FALSE(t.failed("10.0.0.4", at * s));
  EXPECT_TRUE(t.failed("10.0.0.4", 499 * s));
}

TEST(ConfHardening, UnbindableAddressIsRefusedAndItsFailuresLogRarely) {
  {
    ServerFixture f;
    ASSERT_TRUE(f.start());
    const CNetAddr before = f.server.address();
    std::string answer = post(f.port(), "sys_ConfIPAddr=192.0.2.1&ret_cnl=sys", kAuth);
    EXPECT_NE(answer.find("<P class=warn>The configuration server cannot listen on <EM>192.0.2.1:0"),
              std::string::npos);
    EXPECT_EQ(g_settings.readString("System", "ConfIPAddr", ""), "127.0.0.1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(f.server.address(), before);
    EXPECT_EQ(statusLine(get(before.port, "/status")), "HTTP/1.1 200 ");
  }
  // An address stored by hand that cannot be bound is retried, but not logged every time.
  ServerFixture f;
  g_settings.writeString("System", "ConfIPAddr", "192.0.2.1");
  ASSERT_TRUE(f.server.init("", 0));
  ASSERT_TRUE(f.server.start());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LE(countOf(g_logFile.logText(0), "Unable to bind the socket descriptor."), 2u);
}

TEST(ConfHardening, MissingAdministratorIsWarnedOnEveryPage) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string warning = "<P class=warn>No administrator is configured";
  EXPECT_NE(get(f.port(), "/configure", kAuth).find(warning), std::string::npos);
  std::string answer = post(f.port(), "sys_newLogin=root&sys_newPasswd1=pw&sys_newPasswd2=pw", kAuth);
  EXPECT_EQ(answer.find(warning), std::string::npos);
  const std::string root = basicAuth("root", "pw");
  EXPECT_EQ(get(f.port(), "/configure", root).find(warning), std::string::npos);
  answer = post(f.port(), "sys_login_root=on", root);
  EXPECT_NE(answer.find("Removed an administrator"), std::string::npos);
  EXPECT_NE(answer.find(warning), std::string::npos);
}

TEST(ConfHardening, ChangesOverGetNeedASameOriginSign) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::string self = "http://127.0.0.1:" + std::to_string(f.port());
  const std::string query = "/submitConfig?sys_newLogin=eve&sys_newPasswd1=pw&sys_newPasswd2=pw";
  EXPECT_EQ(statusLine(get(f.port(), query, kAuth)), "HTTP/1.1 403 Forbidden");
  EXPECT_FALSE(g_settings.existingEntry("Admins", "eve"));
  // Without credentials the login is asked for first, as for any other protected page.
  EXPECT_EQ(statusLine(get(f.port(), query)), "HTTP/1.1 401 ");
  // A GET that changes nothing needs no sign.
  EXPECT_EQ(statusLine(get(f.port(), "/submitConfig", kAuth)), "HTTP/1.1 200 ");
  EXPECT_EQ(statusLine(get(f.port(), query, kAuth + "Sec-Fetch-Site: same-origin\r\n")), "HTTP/1.1 200 ");
  EXPECT_TRUE(g_settings.existingEntry("Admins", "eve"));
  g_settings.deleteEntry("Admins", "eve");
  EXPECT_EQ(statusLine(get(f.port(), query, kAuth + "Referer: " + self + "/configure\r\n")), "HTTP/1.1 200 ");
  EXPECT_TRUE(g_settings.existingEntry("Admins", "eve"));
  // Scripts keep posting without any sign.
  EXPECT_EQ(statusLine(post(f.port(), "sys_newLogin=bob&sys_newPasswd1=pw&sys_newPasswd2=pw",
                            basicAuth("eve", "pw"))),
            "HTTP/1.1 200 ");
}

TEST(ConfHardening, PagesAndLogsForbidSniffingAndFraming) {
  ServerFixture f;
  ASSERT_TRUE(f.start());
  const std::vector<std::string> answers = {
      get(f.port(), "/configure", kAuth), get(f.port(), "/status"), get(f.port(), "/logs"),
      post(f.port(), "ret_cnl=sys", kAuth)};
  for (const std::string& a : answers) {
    EXPECT_NE(a.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos) << statusLine(a);
    EXPECT_NE(a.find("\r\nX-Frame-Options: DENY\r\n"), std::string::npos) << statusLine(a);
  }
}

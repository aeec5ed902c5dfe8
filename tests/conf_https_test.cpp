// The HTTPS port of the real telvgate, with real clients: curl trusting the certificate the
// gateway made, openssl s_client, raw sockets that stall or speak plain HTTP, a certificate
// replaced under SIGHUP; viewer logins and PublicStatus; the failed-login lines against the
// fail2ban filter, and the throttle behind a trusted proxy.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/ConfGate.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

using namespace conftls;

int connectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ::close(fd), fd = -1;
  return fd;
}

// Waits up to timeoutMs for the peer to close (or reset); what it sent meanwhile in *got.
bool closedWithin(int fd, int timeoutMs, std::string* got = nullptr) {
  const auto t0 = Clock::now();
  char buf[512];
  while (msSince(t0) < timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
    if (got) got->append(buf, size_t(n));
  }
  return false;
}

std::string fingerprintOf(const std::string& crt) {
  const std::string out = sh("openssl x509 -noout -fingerprint -sha256 -in '" + crt + "'");
  const size_t eq = out.find('=');
  return eq == std::string::npos ? out : out.substr(eq + 1, 95);
}

}  // namespace

TEST(Https, ServesThePagesWithTheMadeCertificateAndTakesAReplacedOneOnSighup) {
  ConfGate gate(true);
  ASSERT_TRUE(gate.start()) << gate.proc().stdoutText() << gate.proc().stderrText();
  const std::string crt = gate.settingsDir() + "/TelvGateTLS.crt", key = gate.settingsDir() + "/TelvGateTLS.key";
  EXPECT_EQ(platform::fileMode(key), 0600);
  EXPECT_EQ(fingerprintOf(crt), gate.fingerprint);
  const std::string base = " https://127.0.0.1:" + std::to_string(gate.tlsPort);
  for (const char* path : {"/status", "/logs?l=3", "/img/TELVORA_logo.png"})
    EXPECT_EQ(code(curlTls(gate, "-o /dev/null" + base + path)), "200") << path;
  EXPECT_EQ(code(curlTls(gate, "-o /dev/null -u admin:qatrel" + base + "/metrics")), "200");
  const std::string system = curlTls(gate, "-u admin:qatrel" + base + "/configure?cnl=sys");
  EXPECT_NE(system.find("<CODE>" + gate.fingerprint + "</CODE>"), std::string::npos) << system;
  EXPECT_NE(system.find("name=sys_ConfTLSPort"), std::string::npos);

  // The status report's pictures come from this port: a picture for others, a stream for Firefox.
  const std::string page = curlTls(gate, base + "/status");
  const size_t pic = page.find("src=\"/picture/");
  ASSERT_NE(pic, std::string::npos) << page;
  const std::string picture = curlTls(gate, base + page.substr(pic + 5, page.find('"', pic + 5) - pic - 5));
  EXPECT_EQ(picture.compare(0, 2, "\xFF\xD8"), 0);
  const std::string live = curlTls(gate, "-A Firefox" + base + "/status");
  const size_t st = live.find("src=\"/stream/");
  ASSERT_NE(st, std::string::npos);
  const std::string stream = curlTls(gate, "--max-time 3 '" + base.substr(1) + live.substr(st + 5, live.find('"', st + 5) - st - 5) + "'");
  EXPECT_NE(stream.find("--TELVORA_Fast_Serverpush\r\nContent-Type: image/jpg\r\nContent-length: "), std::string::npos);
  EXPECT_NE(stream.find("\r\n\r\n\xFF\xD8"), std::string::npos);

  // TLS 1.3 by default, 1.2 allowed, 1.1 refused by the server (the client's own floor lowered).
  const std::string s = "echo | timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(gate.tlsPort);
  const std::string tls13 = sh(s + " -CAfile '" + crt + "'");
  EXPECT_NE(tls13.find("New, TLSv1.3, Cipher is"), std::string::npos) << tls13;
  EXPECT_NE(tls13.find("Verify return code: 0 (ok)"), std::string::npos);
  EXPECT_NE(sh(s + " -tls1_2").find("New, TLSv1.2, Cipher is"), std::string::npos);
  const std::string tls11 = sh(s + " -tls1_1 -cipher DEFAULT@SECLEVEL=0");
  EXPECT_NE(tls11.find("alert protocol version"), std::string::npos) << tls11;

  // An operator replaces the files; SIGHUP makes new connections get the new certificate.
  const std::string made = sh("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                              "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" + key +
                              "' -out '" + crt + "'");
  const std::string renewed = fingerprintOf(crt);
  ASSERT_NE(renewed, gate.fingerprint) << made;
  EXPECT_NE(code(curlTls(gate, "-o /dev/null" + base + "/status")), "200");  // still the old one
  gate.proc().signal(SIGHUP);
  bool taken = false;
  for (int i = 0; i < 100 && !taken; ++i, usleep(50000)) taken = readFile(gate.logPath()).find("SHA-256 " + renewed) != std::string::npos;
  EXPECT_TRUE(taken);
  EXPECT_EQ(code(curlTls(gate, "-o /dev/null" + base + "/status")), "200");
  EXPECT_TRUE(gate.proc().running());
}

TEST(Https, StalledHandshakesAndPlainHttpAreDroppedWhileStatusAnswersOnBothPorts) {
  ConfGate gate(true);
  ASSERT_TRUE(gate.start());
  const auto t0 = Clock::now();
  std::vector<int> stalled;
  for (int i = 0; i < 20; ++i) stalled.push_back(connectTo(gate.tlsPort));
  const int plain = connectTo(gate.tlsPort);
  const std::string request = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(plain, request.data(), request.size(), MSG_NOSIGNAL);
  std::string got;
  EXPECT_TRUE(closedWithin(plain, 2000, &got));
  EXPECT_EQ(got.find("HTTP/"), std::string::npos);
  ::close(plain);

  const auto t1 = Clock::now();
  EXPECT_EQ(code(curlTls(gate, "-o /dev/null https://127.0.0.1:" + std::to_string(gate.tlsPort) + "/status")), "200");
  EXPECT_EQ(code(sh("timeout 5 curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:" + std::to_string(gate.port) +
                    "/status")), "200");
  EXPECT_LT(msSince(t1), 3000);
  // The handshake limit (10 s) ends every stalled one; none is left after it.
  for (int fd : stalled) {
    EXPECT_TRUE(closedWithin(fd, int(12000 - msSince(t0))));
    ::close(fd);
  }
  EXPECT_LT(msSince(t0), 12000);
}

TEST(Https, ViewersSeeTheStatusPagesOnlyAndPublicStatusOffAsksForALogin) {
  ConfGate gate(true, "ConfRedirectToTLS=1\n", "[Viewers]\nvera=seen\n");
  ASSERT_TRUE(gate.start());
  const std::string base = " https://127.0.0.1:" + std::to_string(gate.tlsPort);
  const std::string plain = "timeout 5 curl -s -o /dev/null -w '%{http_code} %{redirect_url}' http://127.0.0.1:" +
                            std::to_string(gate.port);
  // Plain-HTTP pages are sent to HTTPS; the log, the metrics and the 401 are not.
  EXPECT_EQ(sh(plain + "/status?x=1"), "302" + base + "/status?x=1");
  EXPECT_EQ(sh(plain + "/configure -u admin:qatrel"), "302" + base + "/configure");
  EXPECT_EQ(sh(plain + "/configure"), "401 ");
  EXPECT_EQ(sh(plain + "/logs"), "200 ");
  EXPECT_EQ(sh(plain + "/metrics -u admin:qatrel"), "200 ");

  const std::string viewer = "-o /dev/null -u vera:seen";
  for (const char* path : {"/status", "/logs"}) EXPECT_EQ(code(curlTls(gate, viewer + base + path)), "200") << path;
  for (const char* path : {"/configure", "/configure?cnl=sys", "/metrics", "/submitConfig?ret_cnl=sys"})
    EXPECT_EQ(code(curlTls(gate, viewer + base + path)), "403") << path;
  const std::string refused = curlTls(gate, "-u vera:seen --data sys_newLogin=x" + base + "/submitConfig");
  EXPECT_NE(refused.find("<H1>Forbidden</H1>"), std::string::npos) << refused;

  const auto submit = [&](const std::string& fields) {
    return curlTls(gate, "-u admin:qatrel -H 'Origin:" + base.substr(1) + "' --data '" + fields + "&ret_cnl=sys'" +
                             base + "/submitConfig");
  };
  EXPECT_NE(submit("sys_PublicStatus=0").find("Updated the <EM>Status and log without login</EM> value to <STRONG>off"),
            std::string::npos);
  EXPECT_NE(submit("sys_newViewer=ann&sys_newViewerPasswd1=pw&sys_newViewerPasswd2=pw")
                .find("Added a new viewer. Login name: '<STRONG>ann</STRONG>"),
            std::string::npos);
  for (const char* path : {"/status", "/logs"}) {
    EXPECT_EQ(code(curlTls(gate, "-o /dev/null" + base + path)), "401") << path;
    EXPECT_EQ(code(curlTls(gate, "-o /dev/null -u vera:wrong" + base + path)), "401") << path;
    EXPECT_EQ(code(curlTls(gate, viewer + base + path)), "200") << path;
    EXPECT_EQ(code(curlTls(gate, "-o /dev/null -u ann:pw" + base + path)), "200") << path;
    EXPECT_EQ(code(curlTls(gate, "-o /dev/null -u admin:qatrel" + base + path)), "200") << path;
    EXPECT_EQ(sh(plain + path), "401 ") << path;
  }
  EXPECT_NE(submit("sys_viewer_ann=on").find("Removed a viewer. Login name: '<STRONG>ann</STRONG>"), std::string::npos);
  EXPECT_EQ(code(curlTls(gate, "-o /dev/null -u ann:pw" + base + "/status")), "401");
}

TEST(Https, FailedLoginsMatchTheFail2banFilterAndATrustedProxyNamesTheClient) {
  ConfGate gate(true, "TrustedProxies=127.0.0.1\n", "[Viewers]\nvera=seen\n");
  ASSERT_TRUE(gate.start());
  const std::string plain = " http://127.0.0.1:" + std::to_string(gate.port) + "/configure";
  const auto get = [&](const std::string& args) {
    return code(sh("timeout 5 curl -s -o /dev/null -w '%{http_code}' " + args + plain));
  };
  // Five failures from a client behind the listed proxy block that client only.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(get("-u admin:bad -H 'X-Forwarded-For: 198.51.100.9, 10.0.0.1'"), "401");
  EXPECT_EQ(get("-u admin:qatrel -H 'X-Forwarded-For: 198.51.100.9'"), "401");
  EXPECT_EQ(get("-u admin:qatrel -H 'X-Forwarded-For: 198.51.100.77'"), "200");
  // From an address that is no listed proxy the header counts for nothing.
  EXPECT_EQ(get("--interface 127.0.0.5 -u vera:bad -H 'X-Forwarded-For: 198.51.100.10'"), "401");
  EXPECT_EQ(code(curlTls(gate, "-o /dev/null -u nobody:x https://127.0.0.1:" + std::to_string(gate.tlsPort) + "/status")), "200");
  EXPECT_EQ(code(curlTls(gate, "-o /dev/null -u vera:bad https://127.0.0.1:" + std::to_string(gate.tlsPort) + "/metrics")), "401");
  EXPECT_EQ(get(""), "401");  // no credentials: no failed login

  const std::string log = readFile(gate.logPath());
  EXPECT_NE(log.find("Failed login from 198.51.100.9 for /configure"), std::string::npos) << log;
  EXPECT_NE(log.find("Failed login from 127.0.0.5 for /configure"), std::string::npos);
  EXPECT_NE(log.find("Failed login from 127.0.0.1 for /metrics"), std::string::npos);
  EXPECT_EQ(log.find("198.51.100.10"), std::string::npos);
  size_t failed = 0;
  for (size_t p = log.find("Failed login from"); p != std::string::npos; p = log.find("Failed login from", p + 1)) ++failed;
  EXPECT_EQ(failed, 7u);  // five, the blocked client's right password is not even looked at, one, one
  const std::string check = sh("fail2ban-regex '" + gate.logPath() + "' '" +
                               sourceTreePath("packaging/fail2ban-telvgate.conf") + "'");
  EXPECT_NE(check.find(", 0 ignored, 7 matched, "), std::string::npos) << check;
}

// An HTTPS stream of a camera that gives 25 pictures a second, asked for 20: 20 a second come,
// as on the channel's own endpoint. Waiting for a period after each picture's time stamp and
// then for a newer picture gave about 15 a second here, and every picture of a source that
// publishes without being asked.
TEST(Https, AStreamKeepsToItsOwnRateOfAFasterSource) {
  ChildProcess cam;
  ASSERT_TRUE(cam.start(builtProgram("fakecam"), {"--port", "0", "--family", "axis", "--fps", "25"}));
  ASSERT_TRUE(cam.waitForStdout("\n", 5000));
  ConfGate gate(true, "", "[Channel 1 0]\nCamIPAddr=127.0.0.1\nCamIPPort=" + std::to_string(std::stoi(cam.stdoutText().substr(5))) +
                              "\nCnlEventFramePeriod=40\n");
  ASSERT_TRUE(gate.start()) << gate.proc().stdoutText() << gate.proc().stderrText();
  const std::string url = "'https://127.0.0.1:" + std::to_string(gate.tlsPort) + "/stream/1_0_.jpg?fps=20'";
  const auto parts = [&](int seconds) {
    const std::string s = curlTls(gate, "--max-time " + std::to_string(seconds) + " " + url);
    size_t n = 0;
    for (size_t p = s.find("--TELVORA_Fast_Serverpush\r\n"); p != std::string::npos; p = s.find("--TELVORA_Fast_Serverpush\r\n", p + 1)) ++n;
    return n;
  };
  // The camera streams (the channel may still be connecting to it at first).
  size_t first = 0;
  for (int i = 0; i < 5 && first < 10; ++i) first = parts(2);
  ASSERT_GE(first, 10u);
  const size_t n = parts(3);
  EXPECT_GE(n, 50u);
  EXPECT_LE(n, 63u);
}

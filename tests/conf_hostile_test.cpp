// The real telvgate program against hostile clients on its configuration port: malformed and
// oversized requests, impossible lengths, bad encodings, traversal, CR/LF in every field,
// slow, idle and vanishing clients. Afterwards it must still answer /status and end promptly
// on SIGTERM. The same against its HTTPS port. docs/testing.md lists what is covered.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/TextHelpers.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ConfGate.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TlsClient.h"
#include "tests/support/Waiting.h"

namespace {

using Clock = std::chrono::steady_clock;

void sendRaw(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += size_t(n);
  }
}

std::string readFor(int fd, int timeoutMs) {
  std::string out;
  const auto t0 = Clock::now();
  char buf[8192];
  while (msSince(t0) < timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

// The requests go through TLS to the HTTPS port when set.
bool g_overTls = false;

std::string exchange(uint16_t port, const std::string& request, int timeoutMs = 1500,
                     const char* source = "127.0.0.1") {
  if (g_overTls) return tlsExchange(port, request, timeoutMs, source);
  int fd = connectFrom(source, port);
  if (fd < 0) return "<no connection>";
  sendRaw(fd, request);
  std::string out = readFor(fd, timeoutMs);
  ::close(fd);
  return out;
}

std::string head(const std::string& answer) { return answer.substr(0, answer.find("\r\n\r\n")); }

const std::string kAuth = "Authorization: Basic " + base64_encode("admin:qatrel") + "\r\n";

std::string post(const std::string& length, const std::string& body, const std::string& extra = "") {
  return "POST /submitConfig HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kAuth + "Content-Length: " + length +
         "\r\n" + extra + "\r\n" + body;
}

std::string getReq(const std::string& target, const std::string& headers = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

// The hostile requests, each a complete byte string sent on a connection of its own.
std::vector<std::string> hostileRequests() {
  std::vector<std::string> r;
  // Oversized and malformed request lines and header blocks.
  r.push_back("GET /" + std::string(6000, 'a') + " HTTP/1.1\r\n\r\n");
  r.push_back("GET /status HTTP/1.1\r\nX-Long: " + std::string(6000, 'b') + "\r\n\r\n");
  std::string many = "GET /status HTTP/1.1\r\n";
  for (int i = 0; i < 1000; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
  r.push_back(many + "\r\n");
  r.push_back("\r\n\r\n");
  r.push_back("GET\r\n\r\n");
  r.push_back("PUT /configure HTTP/1.1\r\n\r\n");
  r.push_back("GeT /status HTTP/1.1\r\n\r\n");
  r.push_back("GET /status\r\n\r\n");
  r.push_back("GET    /status    HTTP/1.1   \r\n\r\n");
  r.push_back("GET /status HTTP/1.1\r\n: no name\r\n\r\n");
  r.push_back("GET /status HTTP/1.1\r\nNoColon\r\n\r\n");
  r.push_back(std::string("GET /sta\0tus HTTP/1.1\r\n\r\n", 26));
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += char((i * 7919 + 13) & 0xFF);
  r.push_back(garbage);
  // Impossible body lengths.
  for (const char* len : {"-1", "abc", "99999999999999999999", "1e3", "+5", "0x10", "0", "32769",
                          "5 5", "-0", "4294967296", "2147483648"})
    r.push_back(post(len, "ret_cnl=sys"));
  r.push_back(post("100", "short"));  // the body never completes
  r.push_back(post("11", "ret_cnl=sys", "Content-Length: 99999\r\n"));
  r.push_back(post("40000", std::string(40000, 'x')));
  r.push_back(post("11", "ret_cnl=sys", "Expect: 100-continue\r\n"));
  // Numbers in the log line count.
  for (const char* l : {"-1", "99999999999999999999", "0x10", "%00", "%", "-99999999999999999999"})
    r.push_back(getReq(std::string("/logs?l=") + l));
  r.push_back(getReq("/logs?l=" + std::string(5000, '9')));
  // Bad encodings.
  for (const char* t : {"/%", "/%zz", "/%00", "/%ff%fe", "/configure?cnl=%", "/configure?cnl=%E0%80%AF",
                        "/configure?%%%%=%%%", "/configure?cnl=%C0%AE%C0%AE", "/status?&&&==&=",
                        "/configure?cnl=\xff\xfe"})
    r.push_back(getReq(t, kAuth));
  // Traversal in paths and parameters.
  for (const char* t : {"/../../etc/passwd", "/logs/../../etc/passwd", "/img/../../../etc/passwd",
                        "/img/TELVORA_logo.png/../../x", "/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd",
                        "/logs?l=../../etc/passwd", "/..\\..\\windows\\win.ini",
                        "/configure?cnl=../../../etc/passwd", "/favicon.ico?../../etc/shadow"})
    r.push_back(getReq(t));
  // CR and LF in every field.
  r.push_back("GET /configure%0d%0aX-Injected:%201 HTTP/1.1\r\n" + kAuth + "\r\n");
  r.push_back(getReq("/configure?cnl=sys%0d%0aX-Injected:%201", kAuth));
  r.push_back(getReq("/status", "Host: a\rX-Injected: 1\r\n"));
  r.push_back(getReq("/status", "User-Agent: Firefox\r\r\nX-Injected: 1\r\n"));
  r.push_back("GET /status HTTP/1.1\rHost: x\r\r");
  r.push_back("GET /status HTTP/1.1\n\n");
  r.push_back("GET /status HTTP/1.1\n\r\n\r");
  r.push_back(getReq("/configure", "Authorization: Basic " + base64_encode("admin\r\n:qatrel") + "\r\n"));
  r.push_back(post("60", "sys_newLogin=a%0d%0ab&sys_newPasswd1=p%0a&sys_newPasswd2=p%0a&r=1"));
  r.push_back(post("40", "sys_ConfIPAddr=127.0.0.1%0d%0aX&ret_cnl=s"));
  r.push_back(post("30", "sys_ConfIPPort=80%0d%0a&ret_cnl=", "Origin: http://127.0.0.1\r\x0a"));
  r.push_back(post("30", "ret_cnl=sys%0d%0a%3Cscript%3E1", "Referer: http://x\r\n"));
  r.push_back(post("17", "sys_login_%0d%0a=1", ""));
  return r;
}

// Credentials that are refused, sent from an address of their own so the throttling they cause
// does not touch the other requests.
std::vector<std::string> badLogins() {
  return {getReq("/configure", "Authorization: Basic " + std::string(5000, 'A') + "\r\n"),
          getReq("/configure", "Authorization: Basic !!!!\r\n"),
          getReq("/configure", "Authorization: Basic \r\n"),
          getReq("/configure", "Authorization: Basic ====\r\n"),
          getReq("/configure", "Authorization: Basic " + base64_encode(std::string("ad\0min:x", 8)) + "\r\n"),
          getReq("/configure", "Authorization: Basic " + base64_encode("admin:wrong") + "\r\n"),
          getReq("/configure", kAuth)};  // refused too: the address is blocked by now
}

// Sends the requests on kParallel connections at a time; returns every answer.
std::vector<std::string> storm(uint16_t port, const std::vector<std::string>& requests,
                               const char* source, size_t kParallel) {
  std::vector<std::string> answers(requests.size());
  for (size_t first = 0; first < requests.size(); first += kParallel) {
    std::vector<std::thread> batch;
    for (size_t i = first; i < first + kParallel && i < requests.size(); ++i)
      batch.emplace_back([&, i] { answers[i] = exchange(port, requests[i], 1500, source); });
    for (std::thread& t : batch) t.join();
  }
  return answers;
}

// The whole catalogue against one port; over TLS the raw idle, trickling and vanishing
// clients are stalled handshakes and garbage to the HTTPS port.
void keepsServingAndEndsPromptly(bool overTls) {
  ConfGate gate(overTls);
  ASSERT_TRUE(gate.start()) << gate.proc().stderrText();
  const uint16_t port = overTls ? gate.tlsPort : gate.port;
  // Fresh installation: the open built-in login is announced.
  EXPECT_TRUE(gate.proc().waitForStdout("TelvGate warning: No administrator is configured", 2000));
  EXPECT_NE(readFile(gate.logPath()).find("(Warning) : main : system : No administrator is configured"),
            std::string::npos);

  // Idle, trickling, half-closed, never-reading and vanishing clients, all held while the
  // hostile requests run.
  std::vector<int> held;
  for (int i = 0; i < 20; ++i) held.push_back(connectFrom("127.0.0.1", port));
  for (int i = 0; i < 30; ++i) ::close(connectFrom("127.0.0.1", port));
  int halfClosed = connectFrom("127.0.0.1", port);
  ::shutdown(halfClosed, SHUT_WR);
  held.push_back(halfClosed);
  int lazy = connectFrom("127.0.0.1", port, 4096);
  sendRaw(lazy, getReq("/logs"));
  held.push_back(lazy);
  int reset = connectFrom("127.0.0.1", port);
  sendRaw(reset, "GET /status HTTP/1.1\r\nX: ");
  linger l{1, 0};
  ::setsockopt(reset, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(reset);
  std::atomic<bool> stopTrickle{false};
  std::vector<std::thread> tricklers;
  for (int i = 0; i < 4; ++i) {
    tricklers.emplace_back([&, i] {
      int fd = connectFrom("127.0.0.1", port);
      const std::string req = i % 2 ? getReq("/status") : post("11", "ret_cnl=sys");
      for (size_t k = 0; k < req.size() && !stopTrickle; ++k) {
        sendRaw(fd, req.substr(k, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      ::close(fd);
    });
  }

  const auto t0 = Clock::now();
  const std::vector<std::string> requests = hostileRequests();
  const std::vector<std::string> answers = storm(port, requests, "127.0.0.1", 10);
  const std::vector<std::string> refused = storm(port, badLogins(), "127.0.0.7", 1);  // in order
  EXPECT_GE(requests.size() + refused.size(), 70u);
  EXPECT_LT(msSince(t0), 30000);
  ASSERT_TRUE(gate.proc().running()) << gate.proc().stderrText();

  for (size_t i = 0; i < answers.size(); ++i) {
    // No answer may carry a header a client smuggled in.
    EXPECT_EQ(head(answers[i]).find("X-Injected"), std::string::npos) << i;
    EXPECT_EQ(answers[i].find("root:"), std::string::npos) << i;  // no file was served
  }
  size_t answered = 0;
  for (const std::string& a : answers) answered += a.empty() ? 0 : 1;
  EXPECT_GE(answered, 40u);  // the well-formed ones among them were really served
  for (const std::string& a : refused)
    EXPECT_TRUE(a.empty() || a.compare(0, 13, "HTTP/1.1 401 ") == 0) << head(a);
  EXPECT_EQ(refused.back().compare(0, 13, "HTTP/1.1 401 "), 0);

  // Still serving, promptly, with all those clients around.
  const auto t1 = Clock::now();
  const std::string status = exchange(port, getReq("/status"), 3000);
  EXPECT_EQ(status.compare(0, 13, "HTTP/1.1 200 "), 0) << head(status);
  EXPECT_LT(msSince(t1), 2500);
  EXPECT_EQ(exchange(port, getReq("/configure", kAuth), 3000).compare(0, 13, "HTTP/1.1 200 "), 0);

  // SIGTERM ends it within seconds whatever the clients still do.
  const auto t2 = Clock::now();
  gate.proc().signal(SIGTERM);
  int rc = -1;
  EXPECT_TRUE(gate.proc().wait(10000, &rc));
  EXPECT_LT(msSince(t2), 5000);
  EXPECT_EQ(rc, 0);
  stopTrickle = true;
  for (std::thread& t : tricklers) t.join();
  for (int fd : held) ::close(fd);
  EXPECT_NE(readFile(gate.logPath()).find("TelvGate 1.3.4.7 terminated."), std::string::npos);
  // In a sanitizer build the program reports any fault here.
  EXPECT_EQ(gate.proc().stderrText().find("Sanitizer"), std::string::npos) << gate.proc().stderrText();
  EXPECT_EQ(gate.proc().stderrText().find("runtime error"), std::string::npos) << gate.proc().stderrText();
}

}  // namespace

TEST(HostileClients, GateKeepsServingAndEndsPromptly) { keepsServingAndEndsPromptly(false); }

TEST(HostileClients, HttpsPortKeepsServingAndEndsPromptly) {
  g_overTls = true;
  keepsServingAndEndsPromptly(true);
  g_overTls = false;
}

// The signal must act even when it lands while the event loop is about to block; repeated at
// different moments right after start.
TEST(HostileClients, SigtermActsWithinASecondHeadless) {
  for (int delayMs : {0, 5, 20, 150}) {
    ConfGate gate;
    ASSERT_TRUE(gate.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    const auto t0 = Clock::now();
    gate.proc().signal(SIGTERM);
    int rc = -1;
    EXPECT_TRUE(gate.proc().wait(5000, &rc)) << delayMs;
    EXPECT_LT(msSince(t0), 1000) << delayMs;
    EXPECT_EQ(rc, 0);
  }
}

// The vptr check's reports in a process without a free descriptor. The check reads the object
// and its vtable through a pipe; when it cannot make one, any object looks as if it had no
// valid type, and the bytes shown after the report are either "<memory cannot be printed>" or,
// when a descriptor came free meanwhile, the object with its intact vptr. A real use of a
// destroyed object is still caught: AddressSanitizer needs no descriptor to report it.
static std::string withoutUnreadableVptrReports(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::string kept;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i + 1 < lines.size() && lines[i].find("runtime error: member ") != std::string::npos &&
        lines[i + 1].find("note: object has invalid vptr") != std::string::npos) {
      // The report, then the object's bytes, their marks and the blank line after them.
      for (i += 2; i < lines.size() && (lines[i] == "<memory cannot be printed>" || lines[i].empty() ||
                                        lines[i][0] == ' ');)
        ++i;
      --i;
      continue;
    }
    kept += lines[i] + "\n";
  }
  return kept;
}

// The same kinds of clients against an analog endpoint of a gateway that may open only 48
// descriptors, more of them than it has: idle, trickling, half-closed, reset, oversized heads.
// Neither accept loop spins, the endpoint still serves a new viewer its picture and the
// configuration server its status, and SIGTERM still ends the gateway.
TEST(HostileClients, EndpointAtTheDescriptorLimitKeepsServing) {
  ConfGate gate(false, "", "[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\nCnlIPPort=0\n");
  // The sanitizer's vptr check needs a free descriptor pair to read an object; without one it
  // reports any object as having no valid type, so here such reports do not end the program.
  const char* ubsan = std::getenv("UBSAN_OPTIONS");
  const std::string ubsanGoesOn = "UBSAN_OPTIONS=" + std::string(ubsan ? ubsan : "") + ":halt_on_error=0";
  ASSERT_TRUE(gate.start({"/usr/bin/env", ubsanGoesOn, "/usr/bin/prlimit", "--nofile=48:48", "--"}))
      << gate.proc().stderrText();
  const std::string marker = "TelvGate Analog Falcon 1 0: http://127.0.0.1:";
  ASSERT_TRUE(gate.proc().waitForStdout(marker, 10000)) << gate.proc().stdoutText();
  const std::string out = gate.proc().stdoutText();
  const uint16_t cam = uint16_t(std::atoi(out.c_str() + out.find(marker) + marker.size()));
  const std::string picture = getReq("/record/current.jpg");
  ASSERT_NE(exchange(cam, picture).find("\xFF\xD8"), std::string::npos);

  std::vector<int> held;
  for (uint16_t port : {cam, gate.port, cam})
    for (int i = 0; i < 30; ++i) held.push_back(connectFrom("127.0.0.1", port));
  const int halfClosed = connectFrom("127.0.0.1", cam);
  ::shutdown(halfClosed, SHUT_WR);
  held.push_back(halfClosed);
  const int reset = connectFrom("127.0.0.1", cam);
  sendRaw(reset, "GET /record/current.jpg HTTP/1.1\r\nX: ");
  linger l{1, 0};
  ::setsockopt(reset, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(reset);
  std::thread trickler([&] {
    const int fd = connectFrom("127.0.0.1", cam);
    for (char c : picture) {
      sendRaw(fd, std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::close(fd);
  });
  std::string many = "GET /record/current.jpg HTTP/1.1\r\n";
  for (int i = 0; i < 1000; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
  for (const std::string& r : {getReq("/" + std::string(6000, 'a')), many + "\r\n",
                               getReq("/record/current.jpg", "X: " + std::string(20000, 'b') + "\r\n")})
    EXPECT_EQ(exchange(cam, r, 1000), "");

  // No spinning: the gateway's processor time over two seconds of all this.
  auto cpuSeconds = [&] {
    const std::string stat = readFile("/proc/" + std::to_string(gate.proc().pid()) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
      if (i >= 14) ticks += std::atol(f.c_str());
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
  };
  const double cpu0 = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(cpuSeconds() - cpu0, 0.6);
  const auto t0 = Clock::now();
  EXPECT_NE(exchange(cam, picture, 3000).find("\xFF\xD8"), std::string::npos);
  EXPECT_LT(msSince(t0), 1500);
  EXPECT_EQ(exchange(gate.port, getReq("/status"), 3000).compare(0, 13, "HTTP/1.1 200 "), 0);
  EXPECT_LT(msSince(t0), 4000);

  gate.proc().signal(SIGTERM);
  int rc = -1;
  EXPECT_TRUE(gate.proc().wait(10000, &rc));
  EXPECT_EQ(rc, 0);
  trickler.join();
  for (int fd : held) ::close(fd);
  const std::string log = readFile(gate.logPath());
  size_t full = 0;
  for (size_t at = log.find("No descriptor left"); at != std::string::npos; at = log.find("No descriptor left", at + 1)) ++full;
  EXPECT_LE(full, 2u) << log;  // once a minute at most, per server
  EXPECT_EQ(gate.proc().stderrText().find("Sanitizer"), std::string::npos) << gate.proc().stderrText();
  EXPECT_EQ(withoutUnreadableVptrReports(gate.proc().stderrText()).find("runtime error"), std::string::npos)
      << gate.proc().stderrText();
}

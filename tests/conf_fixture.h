#pragma once
// Shared pieces of the configuration server tests: a server of its own on 127.0.0.1 (port
// chosen by the system) in an isolated home, and a tiny HTTP client over plain system calls
// that returns exactly the bytes the server sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "confserver/CLstConfThread.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace conftest {

inline bool sendText(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Everything the peer sends until it closes (or timeoutMs passes; *closed tells which).
inline std::string readAll(int fd, int timeoutMs, bool* closed = nullptr) {
  std::string out;
  auto t0 = std::chrono::steady_clock::now();
  if (closed) *closed = false;
  char buf[16384];
  while (msSince(t0) < timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int left = int(timeoutMs - msSince(t0));
    if (::poll(&p, 1, left > 0 ? left : 0) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    out.append(buf, size_t(n));
  }
  return out;
}

// Sends a raw request and returns the whole answer.
inline std::string rawRequest(uint16_t port, const std::string& request, int timeoutMs = 5000,
                              bool* closed = nullptr) {
  int fd = connectTo(port);
  if (fd < 0) return "<no connection>";
  sendText(fd, request);
  std::string out = readAll(fd, timeoutMs, closed);
  ::close(fd);
  return out;
}

inline std::string basicAuth(const std::string& login, const std::string& password) {
  return "Authorization: Basic " + base64_encode(login + ":" + password) + "\r\n";
}

inline std::string get(uint16_t port, const std::string& target, const std::string& headers = "") {
  return rawRequest(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\n" + headers + "\r\n");
}

inline std::string post(uint16_t port, const std::string& body, const std::string& headers) {
  return rawRequest(port, "POST /submitConfig HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                              headers + "\r\n" + body);
}

inline std::string statusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
inline std::string bodyOf(const std::string& answer) {
  size_t p = answer.find("\r\n\r\n");
  return p == std::string::npos ? std::string() : answer.substr(p + 4);
}
inline size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
  return n;
}

// Ends every channel still listed (channels created by a submission), as the shutdown does.
inline void destroyListedChannels() {
  std::vector<CVideoCnl*> all;
  {
    std::lock_guard<std::mutex> g(g_cnlListLock);
    all.swap(g_cnlList);
  }
  for (CVideoCnl* c : all) c->stop();
  for (CVideoCnl* c : all) {
    c->join();
    delete c;
  }
}

// A configuration server of the test's own on 127.0.0.1, in an isolated home whose log file
// lies inside it. No pause after answers, short waits so the suite stays fast.
class ServerFixture {
 public:
  explicit ServerFixture(bool shortTimeouts = true) {
    g_settings.writeString("System", "LogFilePath", home.dir().file("TelvGateLog.log"));
    g_settings.writeString("System", "ConfIPAddr", "127.0.0.1");
    g_settings.writeInt("System", "ConfIPPort", 0);
    g_logFile.init();
    server.setAnnounce(false);
    if (shortTimeouts) {
      server.setLingerMs(0);
      server.setPauseMs(100);
      server.setWaitMs(200);
    }
  }
  ~ServerFixture() { server.shutdown(); }

  // init and start; waits for the first set-up.
  bool start() {
    if (!server.init("", 0) || !server.start()) return false;
    return waitSetUps(1);
  }
  bool waitSetUps(unsigned n, int timeoutMs = 5000) {
    return waitFor([&] { return server.setUpCount() >= n; }, timeoutMs);
  }
  uint16_t port() { return server.address().port; }

  IsolatedHome home;
  CLstConfThread server;
};

}  // namespace conftest

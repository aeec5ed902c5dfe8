#pragma once
// Headless Chromium driven through its DevTools protocol on a pipe (no extra packages), for the
// tests that use a real browser against the real program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/TextHelpers.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace browsertest {

constexpr char kChromium[] = "/usr/bin/chromium";

// Escapes a text for a JSON string literal.
inline std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

// The text value of "key":"..." in a JSON message (escapes kept as they are, which is enough for
// the ids, base64 data and simple results read here); "" when absent.
inline std::string jsonField(const std::string& msg, const std::string& key) {
  const std::string k = "\"" + key + "\":\"";
  size_t p = msg.find(k);
  if (p == std::string::npos) return "";
  p += k.size();
  std::string out;
  for (; p < msg.size() && msg[p] != '"'; ++p) {
    if (msg[p] == '\\' && p + 1 < msg.size()) ++p;
    out += msg[p];
  }
  return out;
}

// Headless Chromium with the DevTools protocol on fds 3 (commands in) and 4 (replies out),
// each message ended by a zero byte. The destructor ends the browser and reaps it.
class Browser {
 public:
  bool start(const std::string& profileDir) {
    int toBrowser[2], fromBrowser[2];
    if (pipe2(toBrowser, O_CLOEXEC) != 0 || pipe2(fromBrowser, O_CLOEXEC) != 0) return false;
    m_pid = fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      // Move both ends out of the way first: either may itself be fd 3 or 4, and dup2 onto the
      // same number would keep its close-on-exec flag.
      int in = fcntl(toBrowser[0], F_DUPFD, 10);
      int out = fcntl(fromBrowser[1], F_DUPFD, 10);
      dup2(in, 3);
      dup2(out, 4);
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 1);
      dup2(devnull, 2);
      setpgid(0, 0);
      const std::string dataDir = "--user-data-dir=" + profileDir;
      execl(kChromium, kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--disable-dev-shm-usage", "--window-size=1280,1100",
            "--remote-debugging-pipe", dataDir.c_str(), "about:blank", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(toBrowser[0]);
    close(fromBrowser[1]);
    m_in = toBrowser[1];
    m_out = fromBrowser[0];
    return true;
  }

  ~Browser() {
    if (m_in >= 0) close(m_in);
    if (m_out >= 0) close(m_out);
    if (m_pid > 0) {
      kill(-m_pid, SIGTERM);
      for (int i = 0; i < 250; ++i) {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
        usleep(20000);
      }
      kill(-m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }

  // Sends a command (to the page session once attached) and waits for its reply.
  std::string call(const std::string& method, const std::string& params = "{}", int timeoutMs = 15000) {
    const int id = ++m_nextId;
    std::string msg = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
    if (!m_session.empty()) msg += ",\"sessionId\":\"" + m_session + "\"";
    msg += "}";
    msg.push_back('\0');
    size_t done = 0;
    while (done < msg.size()) {
      ssize_t n = write(m_in, msg.data() + done, msg.size() - done);
      if (n <= 0) return "";
      done += size_t(n);
    }
    const std::string idMark = "{\"id\":" + std::to_string(id) + ",";
    return waitFor([&](const std::string& m) { return m.compare(0, idMark.size(), idMark) == 0; }, timeoutMs);
  }

  // Waits for an event of the page, e.g. Page.loadEventFired (also one that already came).
  bool waitEvent(const std::string& method, int timeoutMs = 15000) {
    const std::string mark = "\"method\":\"" + method + "\"";
    return !waitFor([&](const std::string& m) { return m.find(mark) != std::string::npos; }, timeoutMs).empty();
  }

  // Opens a page target and attaches to it; later calls go to that page.
  bool openPage() {
    std::string target = jsonField(call("Target.createTarget", "{\"url\":\"about:blank\"}"), "targetId");
    if (target.empty()) return false;
    m_session = jsonField(call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}"),
                          "sessionId");
    return !m_session.empty();
  }

  bool navigate(const std::string& url) {
    m_events.clear();
    call("Page.navigate", "{\"url\":" + jsonString(url) + "}");
    return waitEvent("Page.loadEventFired");
  }

  // The value of a JavaScript expression that yields a string.
  std::string eval(const std::string& expr) {
    std::string reply = call("Runtime.evaluate", "{\"expression\":" + jsonString(expr) + ",\"returnByValue\":true}");
    return jsonField(reply, "value");
  }

  bool screenshot(const std::string& path) {
    std::string data = jsonField(call("Page.captureScreenshot", "{\"format\":\"png\"}"), "data");
    std::string png = base64_decode(data);
    if (png.size() < 8) return false;
    return writeFile(path, png);
  }

 private:
  // Reads messages until one satisfies want; earlier events are kept for waitEvent.
  template <typename Want>
  std::string waitFor(Want want, int timeoutMs) {
    for (const std::string& m : m_events)
      if (want(m)) return m;
    auto t0 = std::chrono::steady_clock::now();
    while (msSince(t0) < timeoutMs) {
      size_t end;
      while ((end = m_buf.find('\0')) != std::string::npos) {
        std::string m = m_buf.substr(0, end);
        m_buf.erase(0, end + 1);
        if (want(m)) return m;
        if (m.find("\"method\":") != std::string::npos) m_events.push_back(m);
      }
      pollfd p{m_out, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[65536];
      ssize_t n = read(m_out, chunk, sizeof chunk);
      if (n <= 0) return "";
      m_buf.append(chunk, size_t(n));
    }
    return "";
  }

  pid_t m_pid = -1;
  int m_in = -1, m_out = -1;
  int m_nextId = 0;
  std::string m_session;
  std::string m_buf;
  std::vector<std::string> m_events;
};

// Evaluates expr every 100 ms until it yields "yes" (bounded).
inline bool waitTrue(Browser& b, const std::string& expr, int timeoutMs) {
  return ::waitFor([&] { return b.eval(expr) == "yes"; }, timeoutMs, 100);
}

}  // namespace browsertest

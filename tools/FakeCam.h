#pragma once
// A fake IP camera: a small HTTP server on 127.0.0.1 that answers the requests of one of the
// nine camera families the way that family's cameras do (configuration requests, multipart JPEG
// streams, single pictures), records every request head it receives, and can misbehave on
// purpose. It checks what such a camera checks: the exact path and the required parameters of
// each of the family's requests (anything else gets the family's error answer), a Host header,
// and Basic credentials when it was given some (401 without them). Its replies spell their
// headers as the family does ("Content-type", "content-length", Sony's "DataLen:"). By default
// it streams at its own frame rate whatever the request asks, dropping the frames a slow client
// cannot take as a real camera does (the benchmarks' camera). It can also pace a stream as the
// cameras of four families do, one picture per interval the request asks for (Lilin "delay=",
// Toshiba's interval field, Sony "interval=", Panasonic "framerate="), send its parts back to
// back as fast as the connection takes them, vary every interval by up to a given share, end
// the connection after each part, or turn bad after some good parts. It can stamp every picture
// with a frame counter and its capture time (a JPEG comment "fakecam frame=N capture_us=T", T in
// microseconds since 1970) so a client's freshness can be measured.
//
// Header-only so that the fakecam tool, the tests and the ingest benchmark share it.
// Threads: start() spawns an accept thread and one thread per connection; stop() (or the
// destructor) ends and joins all of them. requests()/requestCount() may be called from any
// thread. Plain POSIX sockets: this is test equipment, not part of the gateway.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/FakeCamJpeg.h"
#include "tools/FakeCamProtocol.h"

namespace fakecam {

class Server {
 public:
  explicit Server(Options opt) : m_opt(std::move(opt)) {
    for (const auto& p : m_opt.jpegs) {
      std::ifstream f(p, std::ios::binary);
      std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      if (!data.empty()) m_pictures.push_back(data);
    }
    if (m_pictures.empty())
      m_pictures.emplace_back(reinterpret_cast<const char*>(kFakeCamJpeg), sizeof kFakeCamJpeg);
    m_misbehave = m_opt.misbehave;
    m_family = findFamily(m_opt.family);
    if (!m_family) m_family = findFamily("axis");
  }
  ~Server() { stop(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1:port (0: the system chooses). False when the port cannot be bound.
  bool start(uint16_t port = 0) {
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listen < 0) return false;
    int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(m_listen, 64) != 0) {
      ::close(m_listen);
      m_listen = -1;
      return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_stop = false;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
  }

  // Closes the listener and every connection and joins all threads.
  void stop() {
    m_stop = true;
    if (m_acceptThread.joinable()) m_acceptThread.join();
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
    std::list<Conn> conns;
    {
      std::lock_guard<std::mutex> g(m_lock);
      conns.swap(m_conns);
    }
    for (auto& c : conns) {
      ::shutdown(c.fd, SHUT_RDWR);
      if (c.thread.joinable()) c.thread.join();
      ::close(c.fd);
    }
  }

  uint16_t port() const { return m_port; }
  std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_requests;
  }
  size_t requestCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_requests.size();
  }
  uint64_t picturesSent() const { return m_picturesSent.load(); }
  size_t connectionsAccepted() const { return m_accepted.load(); }
  void setMisbehave(Misbehave m) { m_misbehave = m; }

 private:
  struct Conn {
    int fd;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void acceptLoop() {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) {
        reapConnections();
        continue;
      }
      int fd = ::accept(m_listen, nullptr, nullptr);
      if (fd < 0) continue;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ++m_accepted;
      auto done = std::make_shared<std::atomic<bool>>(false);
      std::lock_guard<std::mutex> g(m_lock);
      m_conns.push_back(Conn{fd, std::thread(), done});
      Conn& c = m_conns.back();
      c.thread = std::thread([this, fd, done] {
        serve(fd);
        *done = true;
      });
    }
  }

  void reapConnections() {
    std::list<Conn> ended;
    {
      std::lock_guard<std::mutex> g(m_lock);
      for (auto it = m_conns.begin(); it != m_conns.end();) {
        if (*it->done) {
          ended.splice(ended.end(), m_conns, it++);
        } else {
          ++it;
        }
      }
    }
    for (auto& c : ended) {
      c.thread.join();
      ::close(c.fd);
    }
  }

  // Waits up to ms for readability, ending early on stop. False on time-out or stop.
  bool waitReadable(int fd, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_stop) {
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, 50);
      if (r > 0) return true;
      if (r < 0 || std::chrono::steady_clock::now() >= end) return false;
    }
    return false;
  }

  // Reads one request head (up to the blank line); bounded in size and time.
  bool readHead(int fd, std::string* head) {
    head->clear();
    char buf[1024];
    while (head->find("\r\n\r\n") == std::string::npos) {
      if (head->size() > 65536 || !waitReadable(fd, 5000)) return false;
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_PEEK);
      if (n <= 0) return false;
      // Take only up to the end of this head so a pipelined next request stays queued.
      std::string peek = *head + std::string(buf, static_cast<size_t>(n));
      size_t end = peek.find("\r\n\r\n");
      size_t take = end == std::string::npos ? static_cast<size_t>(n) : end + 4 - head->size();
      n = ::recv(fd, buf, take, 0);
      if (n <= 0) return false;
      head->append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  bool sendAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return false;
      }
      off += static_cast<size_t>(n);
    }
    return true;
  }

  void record(const std::string& head) {
    std::lock_guard<std::mutex> g(m_lock);
    m_requests.push_back(head);
    if (!m_opt.logPath.empty()) {
      FILE* f = std::fopen(m_opt.logPath.c_str(), "ab");
      if (f) {
        std::fwrite(head.data(), 1, head.size(), f);
        std::fclose(f);
      }
    }
  }

  std::string picture(bool garbage) {
    size_t i = m_next++ % m_pictures.size();
    std::string pic = m_pictures[i];
    Misbehave m = m_misbehave.load();
    if (m == Misbehave::Oversized) {
      // A valid JPEG grown by comment segments to about 600 KB.
      std::string pad;
      while (pad.size() < 600000) {
        pad += "\xFF\xFE\xFF\xF0";
        pad.append(0xFFF0 - 2, 'x');
      }
      pic.insert(2, pad);
    } else if (garbage) {
      pic[0] = 'G';
      pic[1] = 'A';
    }
    return pic;
  }

  std::string statusLine(int code, const std::string& reason) {
    return "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
  }

  bool sendSimple(int fd, int code, const std::string& reason) {
    return sendAll(fd, statusLine(code, reason) + "Content-Length: 0\r\nConnection: close\r\n\r\n");
  }

  // Whether a request is one this camera refuses in the refuse-first mode.
  static bool refusedFirst(const std::string& t) {
    if (startsWith(t, "/axis-cgi/mjpg/video.cgi")) {
      // Request A names the resolution as WxH; request B by name.
      size_t r = t.find("resolution=");
      return r != std::string::npos && r + 11 < t.size() && isdigit(static_cast<unsigned char>(t[r + 11]));
    }
    return startsWith(t, "/cgi-bin/jpeg") || startsWith(t, "/command/camera.cgi");
  }

  std::string reasonOK() const {
    return m_misbehave.load() == Misbehave::BadStatusOK ? "Fine" : "OK";
  }

  bool sendError(int fd) {
    const Family& f = *m_family;
    return sendAll(fd, statusLine(f.errorStatus, f.errorReason) + "Content-Type: text/plain\r\n" +
                           f.lengthHeader + " " + std::to_string(std::strlen(f.errorBody)) +
                           "\r\nConnection: close\r\n" + m_opt.extraReplyHeaders + "\r\n" + f.errorBody);
  }

  void serve(int fd) {
    std::string head;
    while (!m_stop && readHead(fd, &head)) {
      record(head);
      const std::string target = requestTarget(head);
      Misbehave m = m_misbehave.load();
      if (m == Misbehave::Silence) {
        while (!m_stop && waitReadable(fd, 100)) {
          char b[256];
          if (::recv(fd, b, sizeof b, 0) <= 0) break;
        }
        while (!m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return;
      }
      if (m == Misbehave::Drop) return;
      if (m == Misbehave::Reset) {
        // A zero linger time makes the close send a reset instead of an orderly end.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::shutdown(fd, SHUT_RD);
        return;
      }
      if (m == Misbehave::BadHeader) {
        sendAll(fd, statusLine(200, "OK") + "Bad : x\r\n\r\n");
        return;
      }
      std::string value;
      if (!headerValue(head, "Host", &value) || value.empty()) {
        sendSimple(fd, 400, "Bad Request");
        return;
      }
      if (!m_opt.user.empty() &&
          (!headerValue(head, "Authorization", &value) ||
           value != "Basic " + base64(m_opt.user + ":" + m_opt.password))) {
        sendAll(fd, statusLine(401, "Unauthorized") +
                        "WWW-Authenticate: Basic realm=\"fakecam\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
      }
      const Route* route = findRoute(*m_family, target);
      if (!route) {
        sendError(fd);
        return;
      }
      if (m == Misbehave::Status500) {
        sendSimple(fd, 500, "Internal Server Error");
        return;
      }
      if (m == Misbehave::RefuseFirst && refusedFirst(target)) {
        sendSimple(fd, 404, "Not Found");
        return;
      }
      switch (route->kind) {
        case Kind::Config204:
          sendSimple(fd, 204, "No Content");
          return;
        case Kind::Config:
          sendSimple(fd, 200, reasonOK());
          return;
        case Kind::Stream:
          stream(fd, target);
          return;
        case Kind::Single:
          single(fd, false);
          return;
        case Kind::KeptAliveSingle:
          // Sony's encoder mode polls single pictures on one kept-alive connection.
          if (!single(fd, true)) return;
          continue;
      }
    }
  }

  bool single(int fd, bool keepAlive) {
    std::string pic = picture(m_misbehave.load() == Misbehave::Garbage);
    // Sony's single pictures carry a plain Content-Length; only its stream parts use DataLen.
    const char* length = m_family == findFamily("sony") ? "Content-Length:" : m_family->lengthHeader;
    std::string h = statusLine(200, "OK") + "Content-Type: image/jpeg\r\n" + length + " " +
                    std::to_string(pic.size()) + (keepAlive ? "\r\n" : "\r\nConnection: close\r\n") +
                    m_opt.extraReplyHeaders + "\r\n";
    if (!sendAll(fd, h + pic)) return false;
    ++m_picturesSent;
    return true;
  }

  void stream(int fd, const std::string& target) {
    Misbehave m = m_misbehave.load();
    const std::string name = "myboundary";
    std::string h = statusLine(200, reasonOK());
    if (m != Misbehave::NoType) {
      h += std::string(m_family->typeHeader) + " multipart/x-mixed-replace";
      if (m != Misbehave::NoBoundary) {
        if (!m_opt.typeParams.empty())
          h += m_opt.typeParams;
        else
          h += m_opt.boundaryWithDashes ? ";boundary=--" + name : ";boundary=" + name;
      }
      h += "\r\n";
    }
    h += "Cache-Control: no-cache\r\n" + m_opt.extraReplyHeaders + "\r\n";
    if (!sendAll(fd, h)) return;
    if (m == Misbehave::Endless) {
      while (!m_stop && sendAll(fd, "x\r\n")) {
      }
      return;
    }
    const bool sony = m_family == findFamily("sony");
    uint64_t intervalUs = uint64_t(1e6 / (m_opt.fps > 0.01 ? m_opt.fps : 0.01));
    if (m_opt.pace == Pace::Asked) {
      const uint64_t asked = askedIntervalUs(m_family->name, target);
      if (asked > 0) intervalUs = asked;
    }
    std::minstd_rand random(static_cast<uint32_t>(m_accepted.load()) * 7919u + m_port);
    auto next = std::chrono::steady_clock::now();
    for (int partNo = 0; !m_stop; ++partNo) {
      // Lying lengths and garbage come after the good parts asked for.
      const bool bad = (m == Misbehave::LyingLength || m == Misbehave::Garbage) && partNo >= m_opt.goodParts;
      std::string pic = picture(bad && m == Misbehave::Garbage);
      if (m_opt.stamp) stampPicture(&pic);
      std::string body = pic + std::string(static_cast<size_t>(m_opt.trailingZeros), '\0');
      std::string part = "--" + name + "\r\nContent-Type: image/jpeg\r\n";
      if (sony) {
        part += "DataLen: " + std::to_string(body.size()) + "\r\n";
      } else if (!m_opt.noPartLength) {
        part += m_opt.lowerCaseLength ? "Content-length: " : std::string(m_family->lengthHeader) + " ";
        size_t announced = body.size() + (bad && m == Misbehave::LyingLength ? 5000 : 0);
        part += std::to_string(announced) + "\r\n";
      }
      part += "\r\n" + body + "\r\n";
      if (!sendAll(fd, part)) return;
      ++m_picturesSent;
      if (bad && m == Misbehave::LyingLength) {
        while (!m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return;
      }
      if (m_opt.closeAfterPart) {
        ::shutdown(fd, SHUT_WR);
        return;
      }
      if (m_opt.pace == Pace::Gapless) continue;  // sendAll() waited for the connection to drain
      double share = 1.0;
      if (m_opt.jitter > 0)
        share += m_opt.jitter * (2.0 * double(random() - random.min()) / double(random.max() - random.min()) - 1.0);
      next += std::chrono::microseconds(static_cast<int64_t>(double(intervalUs) * share));
      // A client too slow for the stream held the send up: the frames due meanwhile were never
      // captured, as with a real camera, and the next one is taken at once.
      const auto now = std::chrono::steady_clock::now();
      if (next < now) next = now;
      // Sleep in slices so stop() is honoured promptly.
      while (!m_stop && std::chrono::steady_clock::now() < next)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            next - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
      // A peer that closed is found by polling for its end of file.
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) {
        char b[64];
        if (::recv(fd, b, sizeof b, MSG_DONTWAIT) == 0) return;
      }
    }
  }

  // Puts "fakecam frame=N capture_us=T" in a comment segment right behind the start marker.
  void stampPicture(std::string* pic) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t us = uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
    const std::string text = "fakecam frame=" + std::to_string(++m_frames) + " capture_us=" + std::to_string(us);
    const size_t segLen = text.size() + 2;
    std::string seg = "\xFF\xFE";
    seg += char(segLen >> 8);
    seg += char(segLen & 0xFF);
    seg += text;
    if (pic->size() >= 2) pic->insert(2, seg);
  }

  Options m_opt;
  const Family* m_family;
  std::atomic<uint64_t> m_frames{0};
  std::atomic<Misbehave> m_misbehave{Misbehave::None};
  std::vector<std::string> m_pictures;
  std::atomic<size_t> m_next{0};
  int m_listen = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_acceptThread;
  mutable std::mutex m_lock;
  std::list<Conn> m_conns;              // guarded by m_lock
  std::vector<std::string> m_requests;  // guarded by m_lock
  std::atomic<uint64_t> m_picturesSent{0};
  std::atomic<size_t> m_accepted{0};
};

}  // namespace fakecam

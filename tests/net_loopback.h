#pragma once
// Loopback connections for the network tests, made with plain system calls so that the code
// under test is not used to set up its own test. Everything stays on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/support/Loopback.h"

namespace nettest {

// A listener on 127.0.0.1 with a port chosen by the system. Closed on destruction.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      if (fd >= 0) ::close(fd);
      fd = -1;
      return;
    }
    port = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
  sockaddr_in address() const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }
  // A blocking client connected to this listener, or -1.
  int connectClient() const { return connectTo(port); }
};

// One connected pair: `client` is the peer's end, `server` the accepted end. Whatever is still
// held is closed on destruction; take() hands a handle over to the code under test.
struct Pair {
  int client = -1;
  int server = -1;
  Pair() {
    Listener l;
    client = l.connectClient();
    if (client >= 0) server = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
  ~Pair() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
  bool ok() const { return client >= 0 && server >= 0; }
  int takeServer() {
    int s = server;
    server = -1;
    return s;
  }
  void closeClient() {
    if (client >= 0) ::close(client);
    client = -1;
  }
  bool send(const std::string& s) const {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::send(client, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }
  // Everything the peer can read within a short while (until the server end closes).
  std::string receiveAll() const {
    std::string out;
    char buf[4096];
    timeval tv{2, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (;;) {
      ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, size_t(n));
    }
    return out;
  }
};

class Stopwatch {
 public:
  Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
  }

 private:
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace nettest

#pragma once
// A test channel with its endpoint on 127.0.0.1 (port chosen by the system) in an isolated
// home, and raw loopback requests to it.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "base/CSettings.h"
#include "tests/net_loopback.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestNetChannel.h"

namespace endpointtest {

// Reads until the peer closes, at most maxBytes, within timeoutMs; *closed tells whether the
// end of the stream was seen.
inline std::string readUntilClose(int fd, int timeoutMs, size_t maxBytes = 1 << 22,
                                  bool* closed = nullptr) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string out;
  char buf[8192];
  if (closed) *closed = false;
  while (out.size() < maxBytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) != 1) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// One request ("GET <target> HTTP/1.0"); everything answered until the close.
inline std::string get(uint16_t port, const std::string& target, int timeoutMs = 5000) {
  const int fd = connectTo(port);
  if (fd < 0) return "<no connection>";
  const std::string req = "GET " + target + " HTTP/1.0\r\n\r\n";
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string answer = readUntilClose(fd, timeoutMs);
  ::close(fd);
  return answer;
}

// The channel section's endpoint settings for 127.0.0.1 and the given port.
inline void configure(const TestNetChannel& cnl, uint16_t port) {
  const std::string section = "Channel 0 " + std::to_string(cnl.index());
  g_settings.writeString(section, "CnlIPAddr", "127.0.0.1");
  g_settings.writeInt(section, "CnlIPPort", port);
}

struct Rig {
  explicit Rig(uint32_t periodMs = 40) : cnl(std::make_unique<TestNetChannel>(periodMs)) {
    configure(*cnl, 0);
  }
  // Starts the channel and waits for its endpoint; false when it did not come up.
  bool start() {
    if (!cnl->startChannel()) return false;
    port = cnl->waitListening();
    return port != 0;
  }
  IsolatedHome home;
  std::unique_ptr<TestNetChannel> cnl;
  uint16_t port = 0;
};

}  // namespace endpointtest

// Latency of the pan/tilt path: from a command frame sent on a channel endpoint's
// "/control/rotorcgi" connection to its packet read on the serial line (a pseudo-terminal, so
// the line's own transmission time is not included). Prints p50, p99 and the worst case.
//
//   bench_ptz [commands]      (default 1000)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/CSettings.h"
#include "endpoint/CNetVideoCnl.h"
#include "pantilt/RotorFrame.h"
#include "platform/Clock.h"

namespace {

using Clock = std::chrono::steady_clock;

// An endpoint channel that only serves its endpoint.
class BenchChannel : public CNetVideoCnl {
 public:
  BenchChannel() : CNetVideoCnl(0, 1) {}
  ~BenchChannel() override {
    stop();
    join();
  }
  std::string imageUrl(const std::string& host, bool) override { return "http://" + host; }
  std::string sourceTag() override { return "bench"; }

 protected:
  int run() override {
    reconf();
    if (!startListener()) return 1;
    while (!stopping()) platform::sleepMs(5);
    stopListener();
    return 0;
  }
};

bool readExactly(int fd, uint8_t* buf, size_t n, int timeoutMs) {
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    const ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int commands = argc > 1 ? std::max(10, atoi(argv[1])) : 1000;

  char dir[] = "/tmp/bench_ptz_XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  const std::string slave = ptsname(master);
  const int slaveKeep = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // keeps the line up
  const std::string link = std::string(dir) + "/COM1";
  if (symlink(slave.c_str(), link.c_str()) != 0) return 1;
  setenv("TELVGATE_SERIAL_DIR", dir, 1);

  BenchChannel cnl;
  const std::string section = cnl.sectionName();
  g_settings.writeString(section, "CnlIPAddr", "127.0.0.1");
  g_settings.writeInt(section, "RotorType", 4);  // Pelco-D: one 7-byte packet per move
  g_settings.writeInt(section, "RotorComPort", 1);
  if (!cnl.init() || !cnl.start()) return 1;
  uint16_t port = 0;
  for (int i = 0; i < 1000 && port == 0; ++i) {
    port = cnl.localAddr().port;
    if (cnl.localAddr().ip.empty()) port = 0;
    platform::sleepMs(5);
  }
  if (port == 0) {
    std::fprintf(stderr, "the endpoint did not start\n");
    return 1;
  }

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const std::string request = "GET /control/rotorcgi HTTP/1.0\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) head += c;
  platform::sleepMs(100);  // the client configures its head after the response head

  std::vector<double> us;
  us.reserve(size_t(commands));
  uint8_t frame[RotorFrameMatcher::kFrameSize], packet[7];
  for (int i = 0; i < commands; ++i) {
    // Alternating directions, so every command is a different packet.
    encodeRotorFrame(RotorCommand{kCmdMove, (i & 1) ? 0x40000000 : -0x40000000, 0}, frame);
    const auto t0 = Clock::now();
    if (send(fd, frame, sizeof frame, MSG_NOSIGNAL) != ssize_t(sizeof frame) ||
        !readExactly(master, packet, sizeof packet, 2000)) {
      std::fprintf(stderr, "command %d: no packet on the line\n", i);
      return 1;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  close(fd);
  platform::sleepMs(100);

  std::sort(us.begin(), us.end());
  auto pct = [&](double p) { return us[std::min(us.size() - 1, size_t(p * double(us.size())))]; };
  std::printf("Pan/tilt command latency, endpoint frame -> serial packet (%d commands)\n", commands);
  std::printf("| %-10s | %10s |\n", "statistic", "ms");
  std::printf("|------------|-----------:|\n");
  std::printf("| %-10s | %10.3f |\n", "p50", pct(0.50) / 1000.0);
  std::printf("| %-10s | %10.3f |\n", "p99", pct(0.99) / 1000.0);
  std::printf("| %-10s | %10.3f |\n", "max", us.back() / 1000.0);
  std::printf("target p99 < 5 ms: %s\n", pct(0.99) < 5000.0 ? "met" : "NOT met");

  cnl.stop();
  close(slaveKeep);
  close(master);
  unlink(link.c_str());
  rmdir(dir);
  return 0;
}

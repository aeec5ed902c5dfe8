// Idle sockets against a channel endpoint: what a new viewer and the viewers already streaming
// see while thousands of connections send nothing.
//
// One channel with its endpoint on 127.0.0.1 publishes a 30 KB picture at 25/s; 50 viewers
// stream "/control/faststream.jpg?fps=10". Then N connections are opened that never send a
// byte (and are opened again whenever the endpoint closes one), and for 5 s a new viewer asks
// "/record/current.jpg" every 250 ms, alternately with a new push stream: the times until the
// whole picture, and until the stream's first part, are the new viewer's wait.
//
// Usage: bench_idle [N ...] (default 0 2000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/CSettings.h"
#include "bench/BenchSupport.h"
#include "channels/CNetVideoClient.h"
#include "endpoint/CLstSockThread.h"
#include "endpoint/CNetVideoCnl.h"
#include "platform/Clock.h"
#include "platform/Descriptors.h"

namespace {

constexpr size_t kStreams = 50;
constexpr uint32_t kPictureBytes = 30000;
const std::string kStreamRequest = "GET /control/faststream.jpg?fps=10 HTTP/1.0\r\n\r\n";

class IdleBenchChannel : public CNetVideoCnl {
 public:
  IdleBenchChannel() : CNetVideoCnl(0, 96), m_picture(bench::makePicture(kPictureBytes, 7)) {}
  ~IdleBenchChannel() override {
    stop();
    join();
  }
  std::string imageUrl(const std::string&, bool) override { return ""; }
  std::string sourceTag() override { return "bench"; }

 protected:
  int run() override {
    if (!startListener()) return 1;
    uint64_t due = platform::monotonicNs();
    for (uint32_t seq = 1; !stopping(); ++seq) {
      due += 40000000ull;
      bench::sleepUntilMonotonic(due);
      FrameRec& back = backFrame();
      std::memcpy(back.data, m_picture.data(), m_picture.size());
      back.length = uint32_t(m_picture.size());
      back.timestamp = platform::nowNs();
      back.sequence = seq;
      publishBackFrame();
    }
    stopListener();
    return 0;
  }

 private:
  const std::vector<uint8_t> m_picture;
};

int connectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// Milliseconds until `want` bytes arrived after the request (or the peer closed, want 0); -1
// when that took more than 5 s.
double askAndTime(uint16_t port, const std::string& request, size_t want) {
  const uint64_t t0 = platform::monotonicNs();
  const int fd = connectTo(port);
  if (fd < 0) return -1;
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  size_t got = 0;
  char buf[65536];
  double ms = -1;
  while (platform::monotonicNs() - t0 < 5000000000ull) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) got += size_t(n);
    if ((n <= 0 && want == 0 && got > kPictureBytes) || (want != 0 && got >= want)) {
      ms = double(platform::monotonicNs() - t0) / 1e6;
      break;
    }
    if (n <= 0) break;
  }
  close(fd);
  return ms;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

void runOne(size_t idleCount) {
  IdleBenchChannel cnl;
  if (!cnl.init() || !cnl.start()) return;
  uint16_t port = 0;
  for (int i = 0; i < 500 && port == 0; ++i, platform::sleepMs(10)) port = cnl.localAddr().port;

  // The streaming viewers, read by one thread that counts each one's bytes.
  std::vector<int> streams;
  std::vector<std::atomic<uint64_t>> bytes(kStreams);
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < kStreams; ++i) {
    streams.push_back(connectTo(port));
    send(streams[i], kStreamRequest.data(), kStreamRequest.size(), MSG_NOSIGNAL);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_ADD, streams[i], &ev);
  }
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    char buf[65536];
    epoll_event evs[64];
    while (!stop) {
      const int n = epoll_wait(ep, evs, 64, 100);
      for (int i = 0; i < n; ++i) {
        const ssize_t r = recv(streams[evs[i].data.u64], buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0) bytes[evs[i].data.u64] += uint64_t(r);
      }
    }
  });
  // The idle connections, opened again whenever the endpoint has closed one.
  std::vector<int> idle;
  for (size_t i = 0; i < idleCount; ++i) idle.push_back(connectTo(port));
  std::thread reopener([&] {
    while (!stop) {
      for (int& fd : idle) {
        char c;
        if (fd >= 0 && recv(fd, &c, 1, MSG_DONTWAIT) == 0) {
          close(fd);
          fd = connectTo(port);
        }
      }
      platform::sleepMs(200);
    }
  });
  platform::sleepMs(1000);

  std::vector<uint64_t> before(kStreams);
  for (size_t i = 0; i < kStreams; ++i) before[i] = bytes[i];
  const uint64_t t0 = platform::monotonicNs();
  std::vector<double> picture, firstPart;
  for (int i = 0; i < 20; ++i) {
    const double ms = i % 2 ? askAndTime(port, kStreamRequest, kPictureBytes + CNetVideoClient::kPartHeaderSize)
                            : askAndTime(port, "GET /record/current.jpg HTTP/1.0\r\n\r\n", 0);
    (i % 2 ? firstPart : picture).push_back(ms < 0 ? 5000 : ms);
    platform::sleepMs(250);
  }
  const double secs = double(platform::monotonicNs() - t0) / 1e9;
  std::vector<double> rates;
  const double part = double(CNetVideoClient::kPartHeaderSize + kPictureBytes);
  for (size_t i = 0; i < kStreams; ++i) rates.push_back(double(bytes[i] - before[i]) / part / secs);
  stop = true;
  reader.join();
  reopener.join();
  std::printf("%6zu %8zu | %7.1f %8.1f | %8.1f %8.1f | %8.1f %8.1f | %8zu\n", idleCount, kStreams,
              percentile(rates, 0), percentile(rates, 0.5), percentile(picture, 0.5),
              percentile(picture, 1), percentile(firstPart, 0.5), percentile(firstPart, 1),
              size_t(cnl.listener().droppedCount()));
  for (int fd : streams) close(fd);
  for (int fd : idle)
    if (fd >= 0) close(fd);
  close(ep);
}

}  // namespace

int main(int argc, char** argv) {
  platform::raiseDescriptorLimit();
  std::vector<size_t> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(size_t(std::atol(argv[i])));
  if (counts.empty()) counts = {0, 2000};
  g_settings.writeString("Channel 0 96", "CnlIPAddr", "127.0.0.1");
  g_settings.writeInt("Channel 0 96", "CnlIPPort", 0);
  std::printf("Idle connections against one endpoint: %u cores; 50 viewers stream at 10/s.\n\n",
              std::thread::hardware_concurrency());
  std::printf("%6s %8s | %7s %8s | %8s %8s | %8s %8s | %8s\n", "idle", "streams", "min/s",
              "median/s", "pic md", "pic max", "part md", "part max", "dropped");
  for (size_t n : counts) runOne(n);
  std::printf("\nmin/s, median/s: parts per second of the slowest and the median streaming viewer;\n"
              "pic: ms until a new viewer had the whole current picture; part: ms until a new\n"
              "push stream's first part (10 samples each, median and worst); dropped: idle\n"
              "connections the endpoint closed to make room (they are opened again).\n");
  return 0;
}

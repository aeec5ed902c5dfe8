// Fan-out of one channel to many live push-stream viewers on loopback.
//
// One channel publishes 60 KB pictures at 25 pictures/s on an absolute schedule; N push-stream
// consumers (CNetVideoClient, period 50 ms) stream them to N loopback connections that are read
// as fast as possible by two epoll reader threads. Beside it, a bare loop sends the same 81-byte
// header and picture with one gathering send per picture (as the channel's push sender does)
// over N loopback connections at the same rate: the kernel's own cost. CPU time is the whole
// process's (senders and readers alike) over the measuring window, divided by the pictures the
// readers received. Each N runs a warm-up round (not counted), then `rounds` interleaved rounds
// (channel, bare); the table gives the median and the minimum of the rounds.
//
// Usage: bench_fanout [seconds per run, default 3] [rounds, default 3] [N ...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/CLogFile.h"
#include "bench/BenchSupport.h"
#include "channels/CNetVideoClient.h"
#include "channels/CVideoCnl.h"
#include "channels/PictureBlocks.h"
#include "platform/Clock.h"


namespace {

constexpr uint32_t kPictureBytes = 60 * 1024;
constexpr uint64_t kSourcePeriodNs = 40000000ull;  // 25 pictures/s
constexpr uint32_t kClientPeriodMs = 50;            // viewers ask for 20 pictures/s
constexpr size_t kPartBytes = CNetVideoClient::kPartHeaderSize + kPictureBytes;

long rssKb() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, rss = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
    std::fclose(f);
  }
  return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

// A producer on a fixed schedule that records how late each publication was.
class BenchChannel : public CVideoCnl {
 public:
  BenchChannel() : CVideoCnl(1, 99), m_picture(bench::makePicture(kPictureBytes, 12345)) {}
  ~BenchChannel() override {
    stop();
    join();
  }
  std::string imageUrl(const std::string&, bool) override { return ""; }
  CNetAddr localAddr() override { return CNetAddr("127.0.0.1", 0); }
  CNetAddr peerAddr() override { return CNetAddr("127.0.0.1", 0); }
  std::string sourceTag() override { return "bench"; }

  std::atomic<uint64_t> maxLateNs{0};
  std::atomic<uint64_t> maxPublishNs{0};  // the publication step alone (takes the frame lock)
  std::atomic<uint32_t> published{0};
  std::atomic<uint32_t> missedSlots{0};
  void resetStats() {
    maxLateNs = 0;
    maxPublishNs = 0;
    missedSlots = 0;
    resetPublishStats();
  }

 protected:
  int run() override {
    uint64_t due = platform::monotonicNs();
    uint32_t seq = 0;
    while (!stopping()) {
      due += kSourcePeriodNs;
      bench::sleepUntilMonotonic(due);
      if (stopping()) break;
      FrameRec& back = backFrame();
      std::memcpy(back.data, m_picture.data(), m_picture.size());
      back.length = static_cast<uint32_t>(m_picture.size());
      back.timestamp = platform::nowNs();
      back.sequence = ++seq;
      pictureblocks::setFrameFields(back.data, back.timestamp, seq, 0);
      const uint64_t before = platform::monotonicNs();
      publishBackFrame();
      const uint64_t after = platform::monotonicNs();
      ++published;
      if (after - before > maxPublishNs) maxPublishNs = after - before;
      const uint64_t late = after - due;
      if (late > maxLateNs) maxLateNs = late;
      if (late >= kSourcePeriodNs) {
        ++missedSlots;
        due = after;  // start a new schedule rather than bursting to catch up
      }
    }
    return 0;
  }

 private:
  std::vector<uint8_t> m_picture;
};

// N loopback connection pairs: the sender ends are handed out, the receiving ends are read by
// two epoll threads that count bytes per connection.
class Readers {
 public:
  explicit Readers(size_t n) : m_bytes(n) {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_listen, 1024);
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    for (int t = 0; t < kThreads; ++t) m_epoll[t] = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < n; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
      }
      int s = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (s < 0) {
        std::perror("accept");
        std::exit(1);
      }
      m_senders.push_back(s);
      m_receivers.push_back(c);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = i;
      epoll_ctl(m_epoll[i % kThreads], EPOLL_CTL_ADD, c, &ev);
    }
    for (int t = 0; t < kThreads; ++t) m_threads.emplace_back([this, t] { readLoop(t); });
  }
  ~Readers() {
    m_stop = true;
    for (auto& t : m_threads) t.join();
    for (int fd : m_receivers) close(fd);
    for (int t = 0; t < kThreads; ++t) close(m_epoll[t]);
    close(m_listen);
  }
  // The sending ends; whoever takes one closes it.
  const std::vector<int>& senders() const { return m_senders; }
  std::vector<uint64_t> bytes() const {
    std::vector<uint64_t> out;
    for (const auto& b : m_bytes) out.push_back(b.load(std::memory_order_relaxed));
    return out;
  }

 private:
  static constexpr int kThreads = 2;
  void readLoop(int t) {
    std::vector<char> buf(256 * 1024);
    epoll_event evs[64];
    while (!m_stop) {
      const int n = epoll_wait(m_epoll[t], evs, 64, 100);
      for (int k = 0; k < n; ++k) {
        const size_t i = evs[k].data.u64;
        const ssize_t r = recv(m_receivers[i], buf.data(), buf.size(), MSG_DONTWAIT);
        if (r > 0) {
          m_bytes[i].fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
          epoll_ctl(m_epoll[t], EPOLL_CTL_DEL, m_receivers[i], nullptr);
        }
      }
    }
  }

  int m_listen = -1;
  int m_epoll[kThreads];
  std::vector<int> m_senders, m_receivers;
  std::vector<std::atomic<uint64_t>> m_bytes;
  std::vector<std::thread> m_threads;
  std::atomic<bool> m_stop{false};
};

struct Result {
  double perClient = 0;     // mean pictures per client per second
  double minPerClient = 0;  // the slowest client
  double cpuUsPerPicture = 0;
  double cpuPercent = 0;    // of one core
  long rss = 0;
  double maxLateMs = -1;
  double maxPublishMs = -1;
  double maxLockWaitMs = -1;
  uint32_t missed = 0;
};

void summarise(const std::vector<uint64_t>& b0, const std::vector<uint64_t>& b1, double cpu,
               double seconds, Result* r) {
  double total = 0, minPics = 1e30;
  for (size_t i = 0; i < b0.size(); ++i) {
    const double pics = static_cast<double>(b1[i] - b0[i]) / kPartBytes;
    total += pics;
    minPics = std::min(minPics, pics);
  }
  r->perClient = total / b0.size() / seconds;
  r->minPerClient = minPics / seconds;
  r->cpuUsPerPicture = total > 0 ? cpu * 1e6 / total : 0;
  r->cpuPercent = cpu / seconds * 100;
  r->rss = rssKb();
}

Result runChannel(size_t n, double seconds) {
  Result r;
  Readers readers(n);
  auto cnl = std::make_unique<BenchChannel>();
  if (!cnl->init() || !cnl->start()) {
    std::fprintf(stderr, "channel start failed\n");
    std::exit(1);
  }
  for (int fd : readers.senders()) {
    auto* c = new CNetVideoClient(cnl.get(), fd, kClientPeriodMs);
    if (!c->start()) {
      std::fprintf(stderr, "consumer start failed\n");
      std::exit(1);
    }
  }
  platform::sleepMs(1000);  // warm-up: every consumer attached and streaming
  cnl->resetStats();
  const auto b0 = readers.bytes();
  const double c0 = bench::processCpuSeconds();
  platform::sleepNs(static_cast<uint64_t>(seconds * 1e9));
  const double cpu = bench::processCpuSeconds() - c0;
  const auto b1 = readers.bytes();
  summarise(b0, b1, cpu, seconds, &r);
  r.maxLateMs = cnl->maxLateNs / 1e6;
  r.maxPublishMs = cnl->maxPublishNs / 1e6;
  r.maxLockWaitMs = cnl->maxPublishLockWaitNs() / 1e6;
  r.missed = cnl->missedSlots;
  cnl->stop();
  cnl->join();
  cnl.reset();  // stops, joins and destroys the consumers, which close their connections
  return r;
}

Result runBare(size_t n, double seconds, double rate) {
  Result r;
  Readers readers(n);
  const std::vector<int>& fds = readers.senders();
  for (int fd : fds) {
    int sz = CSocket::kSendBufferBytes;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
  }
  const std::vector<uint8_t> pic = bench::makePicture(kPictureBytes, 12345);
  char hdr[CNetVideoClient::kPartHeaderSize];
  std::memcpy(hdr, CNetVideoClient::kPartHeader, sizeof hdr);
  CNetVideoClient::patchLength(hdr, kPictureBytes);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    const uint64_t period = static_cast<uint64_t>(1e9 / rate);
    uint64_t due = platform::monotonicNs();
    while (!stop) {
      due += period;
      bench::sleepUntilMonotonic(due);
      for (int fd : fds) bench::sendPart(fd, hdr, sizeof hdr, pic.data(), pic.size());
    }
  });
  platform::sleepMs(1000);
  const auto b0 = readers.bytes();
  const double c0 = bench::processCpuSeconds();
  platform::sleepNs(static_cast<uint64_t>(seconds * 1e9));
  const double cpu = bench::processCpuSeconds() - c0;
  const auto b1 = readers.bytes();
  summarise(b0, b1, cpu, seconds, &r);
  stop = true;
  sender.join();
  for (int fd : fds) close(fd);
  return r;
}

void raiseFileLimit() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

}  // namespace

int main(int argc, char** argv) {
  raiseFileLimit();
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (seconds <= 0) seconds = 3.0;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (rounds < 1) rounds = 1;
  std::vector<size_t> counts;
  for (int i = 3; i < argc; ++i) counts.push_back(static_cast<size_t>(std::atol(argv[i])));
  if (counts.empty()) counts = {1, 10, 100, 500};

  std::printf("Fan-out: one channel, %u-byte pictures at 25/s, viewers asking for 20/s (period %u ms), %.1f s\n"
              "per run, %d interleaved rounds after a warm-up, %u cores. CPU = whole process (senders +\n"
              "readers) per delivered picture.\n\n",
              kPictureBytes, kClientPeriodMs, seconds, rounds, std::thread::hardware_concurrency());
  std::printf("| viewers | pictures/viewer/s median (slowest viewer) | CPU us/picture median (min) "
              "| bare loop us/picture median (min) | ratio (medians) | producer late max | frame-lock wait max "
              "| missed slots |\n|---:|---|---:|---:|---:|---:|---:|---:|\n");
  for (size_t n : counts) {
    std::vector<double> rate, slowest, cpu, bareCpu, late, lockWait;
    uint32_t missed = 0;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms up and is not counted
      const Result ch = runChannel(n, seconds);
      // The bare loop sends at the rate the consumers actually delivered, so both move the same
      // number of bytes through the kernel.
      const Result bare = runBare(n, seconds, ch.perClient > 1 ? ch.perClient : 20.0);
      if (round < 0) continue;
      rate.push_back(ch.perClient);
      slowest.push_back(ch.minPerClient);
      cpu.push_back(ch.cpuUsPerPicture);
      bareCpu.push_back(bare.cpuUsPerPicture);
      late.push_back(ch.maxLateMs);
      lockWait.push_back(ch.maxLockWaitMs);
      missed += ch.missed;
    }
    const double ratio = bench::median(bareCpu) > 0 ? bench::median(cpu) / bench::median(bareCpu) : 0;
    std::printf("| %zu | %.1f (%.1f) | %.1f (%.1f) | %.1f (%.1f) | %.2fx | %.2f ms | %.3f ms | %u |\n", n,
                bench::median(rate), bench::least(slowest), bench::median(cpu), bench::least(cpu),
                bench::median(bareCpu), bench::least(bareCpu), ratio, bench::most(late), bench::most(lockWait),
                missed);
    std::fflush(stdout);
  }
  std::printf("\nproducer late: its worst delay behind its 40 ms schedule; frame-lock wait: the worst wait\n"
              "of a publication for the frame lock; missed: schedule slots lost (producer fell behind),\n"
              "all rounds together. Targets: every viewer >= 19 pictures/s, CPU/picture <= 1.5x bare,\n"
              "no missed slot.\n");
  return 0;
}

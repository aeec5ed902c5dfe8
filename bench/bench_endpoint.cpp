// Fan-out through the real channel endpoint, beside the bare kernel cost and a peer server.
//
// endpoint: one channel with its endpoint on 127.0.0.1 publishes a 640x480 JPEG at 25
//   pictures/s; N viewers connect and ask "/control/faststream.jpg?fps=20".
// bare: one thread sends the same 81-byte part header and picture with one gathering send per
//   picture (as the endpoint's sender does) to N loopback connections, at the rate the
//   endpoint's viewers got. Beside it runs
//   the same picture source as the endpoint's channel (a thread copying the picture into a
//   record 25 times a second): a channel pays for its source with no viewer at all, so both
//   sides carry it and the comparison is of the serving alone.
// motion: the Debian `motion` daemon takes the fake camera's stream of the same picture at 25/s
//   as a network camera and serves its MJPEG stream port (at most 20/s) to N viewers. Unlike the
//   endpoint it decodes every camera picture and encodes it again for its viewers.
//
// Viewers are read by two epoll threads. "Server CPU" is the serving side alone: for endpoint
// and bare the process's CPU minus the reader threads' own, for motion the motion process's
// CPU (from /proc). Rounds are interleaved (endpoint, bare, motion, endpoint, ...) after a
// warm-up; the table gives each CPU figure as the median and the minimum of the rounds, and the
// rates of the slowest viewer of the worst round and the median viewer.
//
// Usage: bench_endpoint [seconds per run, default 3] [rounds, default 2] [N ...]
// (the default run, N = 1, 100, 500, 1000, takes about three minutes)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>  // after <cstdio>: it needs FILE

#include "base/CSettings.h"
#include "bench/BenchSupport.h"
#include "channels/CNetVideoClient.h"
#include "endpoint/CLstSockThread.h"
#include "endpoint/CNetVideoCnl.h"
#include "platform/Clock.h"

extern char** environ;

namespace {

constexpr uint64_t kSourcePeriodNs = 40000000ull;  // 25 pictures/s
constexpr int kWidth = 640, kHeight = 480;
const char kStreamRequest[] = "GET /control/faststream.jpg?fps=20 HTTP/1.0\r\n\r\n";

// ---- A picture ----

std::vector<uint8_t> makeJpeg() {
  std::vector<uint8_t> rgb(size_t(kWidth) * kHeight * 3);
  uint32_t r = 12345;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &rgb[(size_t(y) * kWidth + x) * 3];
      r = r * 1103515245u + 12345u;
      const int n = int(r >> 28) - 8;  // a little noise, so the picture has camera-like size
      p[0] = uint8_t(std::clamp(x * 255 / kWidth + n, 0, 255));
      p[1] = uint8_t(std::clamp(y * 255 / kHeight + n, 0, 255));
      p[2] = uint8_t(((x / 40 + y / 40) & 1) ? 200 : 60);
    }
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = kWidth;
  c.image_height = kHeight;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 75, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = &rgb[size_t(c.next_scanline) * kWidth * 3];
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> jpeg(out, out + size);
  std::free(out);
  return jpeg;
}

// ---- The picture source ----

// Calls produce() once per source period until stopped() and keeps the thread's CPU time.
template <class Stopped, class Produce>
void runSource(Stopped stopped, std::atomic<uint64_t>& cpuNs, Produce produce) {
  uint64_t due = platform::monotonicNs();
  while (!stopped()) {
    due += kSourcePeriodNs;
    bench::sleepUntilMonotonic(due);
    if (stopped()) break;
    produce();
    cpuNs = uint64_t(bench::threadCpuSeconds() * 1e9);
    const uint64_t now = platform::monotonicNs();
    if (now > due + kSourcePeriodNs) due = now;  // fell behind: a new schedule, no burst
  }
}

// ---- The channel with its endpoint ----

class BenchNetChannel : public CNetVideoCnl {
 public:
  explicit BenchNetChannel(const std::vector<uint8_t>& picture)
      : CNetVideoCnl(0, 97), m_picture(picture) {}
  ~BenchNetChannel() override {
    stop();
    join();
  }
  std::string imageUrl(const std::string&, bool) override { return ""; }
  std::string sourceTag() override { return "bench"; }
  // CPU time of the channel's own thread (the source), as of its last picture.
  double producerCpuSeconds() const { return m_producerCpuNs.load() * 1e-9; }

 protected:
  int run() override {
    if (!startListener()) return 1;
    uint32_t seq = 0;
    runSource([this] { return stopping(); }, m_producerCpuNs, [&] {
      FrameRec& back = backFrame();
      std::memcpy(back.data, m_picture.data(), m_picture.size());
      back.length = uint32_t(m_picture.size());
      back.timestamp = platform::nowNs();
      back.sequence = ++seq;
      publishBackFrame();
    });
    stopListener();
    return 0;
  }

 private:
  const std::vector<uint8_t> m_picture;
  std::atomic<uint64_t> m_producerCpuNs{0};
};

// ---- Viewers: connections read by two epoll threads ----

int connectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Counts, per connection, the bytes received and the occurrences of a part marker (needed
// where parts differ in size).
class Viewers {
 public:
  Viewers(size_t n, std::string marker) : m_marker(std::move(marker)), m_conns(n) {
    for (int t = 0; t < kThreads; ++t) m_epoll[t] = epoll_create1(EPOLL_CLOEXEC);
  }
  ~Viewers() {
    m_stop = true;
    for (auto& t : m_threads) t.join();
    for (auto& c : m_conns)
      if (c.fd >= 0) close(c.fd);
    for (int t = 0; t < kThreads; ++t) close(m_epoll[t]);
  }
  void add(size_t i, int fd) {
    m_conns[i].fd = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    epoll_ctl(m_epoll[i % kThreads], EPOLL_CTL_ADD, fd, &ev);
  }
  void start() {
    for (int t = 0; t < kThreads; ++t) m_threads.emplace_back([this, t] { readLoop(t); });
  }
  std::vector<uint64_t> bytes() const {
    std::vector<uint64_t> v;
    for (const auto& c : m_conns) v.push_back(c.bytes.load(std::memory_order_relaxed));
    return v;
  }
  std::vector<uint64_t> parts() const {
    std::vector<uint64_t> v;
    for (const auto& c : m_conns) v.push_back(c.parts.load(std::memory_order_relaxed));
    return v;
  }
  size_t closed() const { return m_closed.load(); }
  double readerCpuSeconds() const { return m_cpuNs.load() * 1e-9; }

 private:
  static constexpr int kThreads = 2;
  struct Conn {
    int fd = -1;
    std::atomic<uint64_t> bytes{0}, parts{0};
    std::string tail;  // the last marker-length - 1 bytes, for markers split across reads
  };
  void readLoop(int t) {
    std::vector<char> buf(256 * 1024);
    epoll_event evs[64];
    double last = bench::threadCpuSeconds();
    while (!m_stop) {
      const int n = epoll_wait(m_epoll[t], evs, 64, 50);
      for (int k = 0; k < n; ++k) {
        Conn& c = m_conns[evs[k].data.u64];
        const ssize_t r = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (r > 0) {
          c.bytes.fetch_add(uint64_t(r), std::memory_order_relaxed);
          if (!m_marker.empty()) countMarkers(c, buf.data(), size_t(r));
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
          epoll_ctl(m_epoll[t], EPOLL_CTL_DEL, c.fd, nullptr);
          ++m_closed;
        }
      }
      const double now = bench::threadCpuSeconds();
      m_cpuNs += uint64_t((now - last) * 1e9);
      last = now;
    }
  }
  void countMarkers(Conn& c, const char* data, size_t len) {
    std::string s = c.tail;
    s.append(data, len);
    uint64_t found = 0;
    for (size_t at = s.find(m_marker); at != std::string::npos; at = s.find(m_marker, at + 1))
      ++found;
    c.parts.fetch_add(found, std::memory_order_relaxed);
    const size_t keep = std::min(s.size(), m_marker.size() - 1);
    c.tail = s.substr(s.size() - keep);
  }

  const std::string m_marker;
  std::vector<Conn> m_conns;
  int m_epoll[kThreads];
  std::vector<std::thread> m_threads;
  std::atomic<bool> m_stop{false};
  std::atomic<size_t> m_closed{0};
  std::atomic<uint64_t> m_cpuNs{0};
};

// ---- Results ----

struct Result {
  double minRate = 0, medianRate = 0;  // pictures per viewer per second
  double serverUsPerPic = 0;           // serving side's CPU per delivered picture
  double publishUsPerPic = 0;          // of which the picture source
  double serverCpuPercent = 0;         // of one core
  size_t lost = 0;                     // viewers that were closed or never served
  double bytesPerPart = 0;
};

Result summarise(const std::vector<double>& perViewer, double serverCpu, double seconds,
                 double wireBytes) {
  Result r;
  std::vector<double> v = perViewer;
  std::sort(v.begin(), v.end());
  double total = 0;
  for (double x : v) total += x;
  r.minRate = v.empty() ? 0 : v.front() / seconds;
  r.medianRate = v.empty() ? 0 : v[v.size() / 2] / seconds;
  r.serverUsPerPic = total > 0 ? serverCpu * 1e6 / total : 0;
  r.serverCpuPercent = serverCpu / seconds * 100;
  r.bytesPerPart = total > 0 ? wireBytes / total : 0;
  return r;
}

std::vector<double> deltas(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b,
                           double divisor) {
  std::vector<double> d;
  for (size_t i = 0; i < a.size(); ++i) d.push_back(double(b[i] - a[i]) / divisor);
  return d;
}

double sum(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
  double s = 0;
  for (size_t i = 0; i < a.size(); ++i) s += double(b[i] - a[i]);
  return s;
}

// ---- The three servers ----

Result runEndpoint(BenchNetChannel& cnl, uint16_t port, size_t n, double seconds, size_t partBytes) {
  Viewers viewers(n, "");
  size_t connected = 0;
  // The endpoint reads at most 64 requests at a time: connect in batches and let them attach.
  const size_t base = cnl.clientCount();
  while (connected < n) {
    const size_t batch = std::min<size_t>(32, n - connected);
    for (size_t i = 0; i < batch; ++i) {
      const int fd = connectTo(port);
      if (fd < 0) continue;
      send(fd, kStreamRequest, sizeof kStreamRequest - 1, MSG_NOSIGNAL);
      viewers.add(connected + i, fd);
    }
    connected += batch;
    for (int w = 0; w < 500 && cnl.clientCount() < base + connected; ++w) platform::sleepMs(10);
  }
  viewers.start();
  platform::sleepMs(1500);  // warm-up
  const auto b0 = viewers.bytes();
  const double c0 = bench::processCpuSeconds(), r0 = viewers.readerCpuSeconds();
  const double p0 = cnl.producerCpuSeconds();
  platform::sleepNs(uint64_t(seconds * 1e9));
  const double cpu = bench::processCpuSeconds() - c0 - (viewers.readerCpuSeconds() - r0);
  const double producer = cnl.producerCpuSeconds() - p0;
  const auto b1 = viewers.bytes();
  Result r = summarise(deltas(b0, b1, double(partBytes)), cpu, seconds, sum(b0, b1));
  const double delivered = sum(b0, b1) / double(partBytes);
  r.publishUsPerPic = delivered > 0 ? producer * 1e6 / delivered : 0;
  r.lost = viewers.closed();
  return r;
}

Result runBare(size_t n, double seconds, double rate, const std::vector<uint8_t>& pic) {
  Viewers viewers(n, "");
  int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(lst, 4096);
  socklen_t len = sizeof a;
  getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len);
  std::vector<int> senders;
  for (size_t i = 0; i < n; ++i) {
    viewers.add(i, connectTo(ntohs(a.sin_port)));
    const int s = accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
    int sz = CSocket::kSendBufferBytes;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
    senders.push_back(s);
  }
  close(lst);
  viewers.start();
  char hdr[CNetVideoClient::kPartHeaderSize];
  std::memcpy(hdr, CNetVideoClient::kPartHeader, sizeof hdr);
  CNetVideoClient::patchLength(hdr, uint32_t(pic.size()));
  std::atomic<bool> stop{false};
  // The source, as in the channel: a copy into the back record, then a swap under a lock.
  std::vector<uint8_t> records[2] = {std::vector<uint8_t>(pic.size()),
                                     std::vector<uint8_t>(pic.size())};
  std::mutex recordLock;
  int current = 0;
  std::atomic<uint64_t> sourceCpuNs{0};
  std::thread source([&] {
    runSource([&] { return stop.load(); }, sourceCpuNs, [&] {
      std::memcpy(records[1 - current].data(), pic.data(), pic.size());
      std::lock_guard<std::mutex> guard(recordLock);
      current = 1 - current;
    });
  });
  std::thread sender([&] {
    const uint64_t period = uint64_t(1e9 / rate);
    uint64_t due = platform::monotonicNs();
    while (!stop) {
      due += period;
      bench::sleepUntilMonotonic(due);
      for (int fd : senders) bench::sendPart(fd, hdr, sizeof hdr, pic.data(), pic.size());
    }
  });
  platform::sleepMs(1500);
  const auto b0 = viewers.bytes();
  const double c0 = bench::processCpuSeconds(), r0 = viewers.readerCpuSeconds();
  const double s0 = sourceCpuNs.load() * 1e-9;
  platform::sleepNs(uint64_t(seconds * 1e9));
  const double cpu = bench::processCpuSeconds() - c0 - (viewers.readerCpuSeconds() - r0);
  const double sourceCpu = sourceCpuNs.load() * 1e-9 - s0;
  const auto b1 = viewers.bytes();
  Result r = summarise(deltas(b0, b1, double(sizeof hdr + pic.size())), cpu, seconds, sum(b0, b1));
  const double delivered = sum(b0, b1) / double(sizeof hdr + pic.size());
  r.publishUsPerPic = delivered > 0 ? sourceCpu * 1e6 / delivered : 0;
  stop = true;
  source.join();
  sender.join();
  for (int fd : senders) close(fd);
  return r;
}

std::string readText(const std::string& path) {
  std::string s;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

struct Motion {
  std::string dir;
  bench::Child fakecam, daemon;
  uint16_t streamPort = 0;
  bool ok = false;

  ~Motion() {
    daemon.stop();
    fakecam.stop();
    if (dir.empty()) return;
    for (const char* f : {"picture.jpg", "fakecam.out", "fakecam.out.err", "motion.conf",
                          "motion.out", "motion.out.err", "motion.log", "motion.pid"})
      unlink((dir + "/" + f).c_str());
    rmdir(dir.c_str());
  }

  bool start(const std::vector<uint8_t>& jpeg) {
    char tmpl[] = "/tmp/bench_endpoint_XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    FILE* f = std::fopen((dir + "/picture.jpg").c_str(), "wb");
    if (!f) return false;
    std::fwrite(jpeg.data(), 1, jpeg.size(), f);
    std::fclose(f);
    if (!fakecam.start({std::string(TELVGATE_BINARY_DIR) + "/fakecam", "--fps", "25", "--jpeg",
                        dir + "/picture.jpg"},
                       dir + "/fakecam.out"))
      return false;
    uint16_t camPort = 0;
    for (int i = 0; i < 100 && camPort == 0; ++i) {
      platform::sleepMs(20);
      std::sscanf(readText(dir + "/fakecam.out").c_str(), "port %hu", &camPort);
    }
    if (camPort == 0) return false;
    streamPort = bench::freePort();
    const std::string conf =
        "daemon off\nsetup_mode off\nlog_level 4\nlog_file " + dir + "/motion.log\n"
        "target_dir " + dir + "\npid_file " + dir + "/motion.pid\n"
        "netcam_url http://127.0.0.1:" + std::to_string(camPort) + "/axis-cgi/mjpg/video.cgi\n"
        "width 640\nheight 480\nframerate 25\n"
        "picture_output off\nmovie_output off\nemulate_motion off\nthreshold 2000000\n"
        "webcontrol_port 0\nstream_port " + std::to_string(streamPort) + "\n"
        "stream_localhost on\nstream_maxrate 20\nstream_quality 75\nstream_motion off\n"
        "stream_auth_method 0\nstream_limit 0\n";
    f = std::fopen((dir + "/motion.conf").c_str(), "w");
    if (!f) return false;
    std::fputs(conf.c_str(), f);
    std::fclose(f);
    if (!daemon.start({"motion", "-n", "-c", dir + "/motion.conf"}, dir + "/motion.out"))
      return false;
    // Up when its stream port answers.
    for (int i = 0; i < 100; ++i) {
      platform::sleepMs(100);
      const int fd = connectTo(streamPort);
      if (fd >= 0) {
        close(fd);
        ok = true;
        platform::sleepMs(1000);  // let it take the camera's stream
        return true;
      }
    }
    return false;
  }
};

const char kMotionRequest[] = "GET / HTTP/1.0\r\n\r\n";

Result runMotion(Motion& m, size_t n, double seconds) {
  Viewers viewers(n, "--BoundaryString");
  for (size_t i = 0; i < n; ++i) {
    const int fd = connectTo(m.streamPort);
    if (fd >= 0) {
      send(fd, kMotionRequest, sizeof kMotionRequest - 1, MSG_NOSIGNAL);
      viewers.add(i, fd);
    }
  }
  viewers.start();
  platform::sleepMs(1500);
  const auto p0 = viewers.parts();
  const auto b0 = viewers.bytes();
  const double c0 = bench::cpuSecondsOf(m.daemon.pid());
  platform::sleepNs(uint64_t(seconds * 1e9));
  const double cpu = bench::cpuSecondsOf(m.daemon.pid()) - c0;
  const auto p1 = viewers.parts();
  const auto b1 = viewers.bytes();
  Result r = summarise(deltas(p0, p1, 1.0), cpu, seconds, sum(b0, b1));
  r.lost = viewers.closed();
  return r;
}

// ---- Table ----

struct Rounds {
  std::vector<double> minRate, medRate, us, pub;
  size_t lost = 0;
  void add(const Result& r) {
    pub.push_back(r.publishUsPerPic);
    minRate.push_back(r.minRate);
    medRate.push_back(r.medianRate);
    us.push_back(r.serverUsPerPic);
    lost = std::max(lost, r.lost);
  }
  // "slowest / median" pictures per viewer per second.
  std::string rates() const {
    char t[64];
    std::snprintf(t, sizeof t, "%.1f / %.1f", bench::least(minRate), bench::median(medRate));
    return t;
  }
  std::string cpu() const {
    char t[64];
    std::snprintf(t, sizeof t, "%.1f (%.1f)", bench::median(us), bench::least(us));
    return t;
  }
};

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
  signal(SIGPIPE, SIG_IGN);
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (seconds <= 0) seconds = 3.0;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  if (rounds < 1) rounds = 1;
  std::vector<size_t> counts;
  for (int i = 3; i < argc; ++i) counts.push_back(size_t(std::atol(argv[i])));
  if (counts.empty()) counts = {1, 100, 500, 1000};

  const std::vector<uint8_t> jpeg = makeJpeg();
  const size_t partBytes = CNetVideoClient::kPartHeaderSize + jpeg.size();

  g_settings.writeString("Channel 0 97", "CnlIPAddr", "127.0.0.1");
  g_settings.writeInt("Channel 0 97", "CnlIPPort", 0);
  // TELVGATE_BENCH_ENDPOINT_ONLY=1 leaves out the bare loop and motion (for profiling).
  const bool only = std::getenv("TELVGATE_BENCH_ENDPOINT_ONLY") != nullptr;
  Motion motion;
  const bool withMotion = !only && motion.start(jpeg);
  if (!withMotion) std::fprintf(stderr, "motion could not be started; its rows are left out\n");

  std::printf("Endpoint fan-out: %dx%d JPEG of %zu bytes published at 25/s, viewers ask 20/s;\n"
              "%.1f s per run, %d interleaved rounds after a warm-up, %u cores.\n"
              "Server CPU: the serving side alone (viewers' reader threads excluded).\n\n",
              kWidth, kHeight, jpeg.size(), seconds, rounds, std::thread::hardware_concurrency());
  std::printf("| N | endpoint slowest / median /s | endpoint us/pic median (min) | bare us/pic median (min) "
              "| of which source (endpoint / bare) | endpoint vs bare | motion slowest / median /s "
              "| motion (decodes and re-encodes) us/pic median (min) | motion vs endpoint | viewers lost |\n"
              "|--:|---|--:|--:|--:|--:|---|--:|--:|--:|\n");

  for (size_t n : counts) {
    Rounds ep, bare, mo;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms up and is not counted
      Result e;
      {
        BenchNetChannel cnl(jpeg);
        if (!cnl.init() || !cnl.start()) return 1;
        uint16_t port = 0;
        for (int i = 0; i < 500 && port == 0; ++i) {
          platform::sleepMs(10);
          port = cnl.localAddr().port;
        }
        e = runEndpoint(cnl, port, n, seconds, partBytes);
      }
      Result b;
      if (!only) b = runBare(n, seconds, e.medianRate > 1 ? e.medianRate : 20.0, jpeg);
      Result m;
      if (withMotion) m = runMotion(motion, n, seconds);
      if (round < 0) continue;
      ep.add(e);
      if (!only) bare.add(b);
      if (withMotion) mo.add(m);
    }
    const double vsBare = bench::median(ep.us) / std::max(1e-9, bench::median(bare.us));
    const double vsMotion = withMotion ? bench::median(mo.us) / std::max(1e-9, bench::median(ep.us)) : 0;
    std::printf("| %zu | %s | %s | %s | %.1f / %.1f | %.2fx | %s | %s | %.1fx | %zu |\n", n, ep.rates().c_str(),
                ep.cpu().c_str(), only ? "n/a" : bare.cpu().c_str(), bench::median(ep.pub), bench::median(bare.pub),
                vsBare, withMotion ? mo.rates().c_str() : "n/a", withMotion ? mo.cpu().c_str() : "n/a", vsMotion,
                ep.lost);
    std::fflush(stdout);
  }
  std::printf("\nslowest: the slowest viewer of the worst round; median: the median viewer;\n"
              "us/pic: server CPU per delivered picture; of which source: the picture source (the same\n"
              "25/s copy on both sides). Targets: every viewer at full rate, endpoint at most 1.2x the\n"
              "bare loop, at least 3x less CPU per picture than motion.\n");
  return 0;
}

// Ingest of IP camera streams on loopback: N Axis channels pull 25 pictures/s of about 60 KB
// each from a fakecam process (one connection per channel), and beside it N ffmpeg processes
// copy the same stream, as the reference, with each of ffmpeg's two readers of such a stream:
// "-f mjpeg" (looks for each picture's markers) and "-f mpjpeg" (reads each part by the
// length its head gives, as the channel does): "ffmpeg -f <reader> -i <url> -c copy -f null -".
//
// Gateway: pictures are counted by the IP channels' shared sequence number; CPU time is this
// process's (channel threads plus one consumer thread per channel that keeps asking for the
// newest picture). ffmpeg: pictures from each process's "frame=" statistics and CPU time from
// /proc, both sampled after start-up. The camera runs in its own process and counts in neither.
//
// Bare thread pairs: the same streams read by plain blocking recv() into a double buffer and
// handed to a consumer thread that copies each picture, with no channel around them: the least
// a reader thread and a consumer thread per camera cost on the machine, which shows what of the
// gateway's figure is its own work and what is the thread model's.
//
// Channels wait for a consumer's request (or their period), then take the newest picture that
// has arrived on their connection; with a consumer asking all the time there is rarely more
// than one, so this measures the steady cost per picture. Targets: 128 channels, every one at
// full rate, on a 2-core machine, at most 0.35x the CPU per picture of the cheaper ffmpeg reader
// and at most 1.15x that of the bare thread pairs.
//
// Each N runs a warm-up round (not counted), then `rounds` interleaved rounds (gateway, bare
// pairs, ffmpeg mjpeg, ffmpeg mpjpeg); the table gives the slowest rate and the median and
// minimum CPU per picture of the rounds.
// ffmpeg's CPU comes from /proc in clock ticks (10 ms), so its single-stream figure is coarse.
//
// Usage: bench_ingest [seconds per run, default 4] [rounds, default 3] [N ...]
//        (default N: 1 16 64 128)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>

#include "base/CSettings.h"
#include "bench/BenchSupport.h"
#include "endpoint/CIPVideoCnl.h"
#include "endpoint/IPChannelFactory.h"
#include "platform/Clock.h"
#include "platform/FutexSlots.h"
#include "recording/CRecVideoClient.h"

namespace {

constexpr size_t kTargetBytes = 60 * 1024;
constexpr double kCameraFps = 25.0;

// A 640x480 picture of noise bands, compressed at the quality that lands near 60 KB.
std::string makeJpeg() {
  const int w = 640, h = 480;
  std::vector<unsigned char> px(size_t(w) * h * 3);
  uint32_t s = 12345;
  for (size_t i = 0; i < px.size(); ++i) {
    s = s * 1103515245u + 12345u;
    px[i] = static_cast<unsigned char>(((i / 3 % w) / 4 + (i / 3 / w) / 3) + ((s >> 16) & 0x3F));
  }
  std::string best;
  for (int q = 95; q >= 5; q -= 5) {
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long outLen = 0;
    jpeg_mem_dest(&c, &out, &outLen);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, q, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
      JSAMPROW row = &px[size_t(c.next_scanline) * w * 3];
      jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::string pic(reinterpret_cast<char*>(out), outLen);
    free(out);
    jpeg_destroy_compress(&c);
    best = pic;
    if (pic.size() <= kTargetBytes) break;
  }
  return best;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (!outFile.empty()) freopen(outFile.c_str(), "w", stdout);
  freopen(errFile.empty() ? "/dev/null" : errFile.c_str(), "w", stderr);
  freopen("/dev/null", "r", stdin);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

std::string readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct Result {
  double pps = 0;         // pictures per second, all channels together
  double slowestPps = 0;  // pictures per second of the slowest channel
  double cpuUsPerPic = 0;
};

Result runGateway(int n, uint16_t port, double seconds) {
  std::vector<std::unique_ptr<CVideoCnl>> cnls;
  for (int i = 0; i < n; ++i) {
    const std::string sec = "Channel 1 " + std::to_string(1000 + i);
    g_settings.writeString(sec, "CamIPAddr", "127.0.0.1");
    g_settings.writeInt(sec, "CamIPPort", port);
    g_settings.writeString(sec, "CnlName", "bench " + std::to_string(i));
    CVideoCnl* c = createIPChannel(1, 1000 + i);
    static_cast<CIPVideoCnl*>(c)->setRequestPauseMs(0);
    if (!c->init() || !c->start()) {
      std::fprintf(stderr, "bench_ingest: channel %d did not start\n", i);
      delete c;
      continue;
    }
    cnls.emplace_back(c);
  }
  std::atomic<bool> quit{false};
  std::vector<std::thread> consumers;
  for (auto& c : cnls) {
    CVideoCnl* cnl = c.get();
    consumers.emplace_back([cnl, &quit] {
      pthread_setname_np(pthread_self(), "gw-consumer");
      FrameRec rec;
      while (!quit.load()) cnl->getNewFrame(rec);
    });
  }
  platform::sleepMs(1000);  // connect and settle
  std::vector<uint64_t> pub0;
  for (auto& c : cnls) pub0.push_back(c->counters().published.load());
  uint32_t seq0 = CIPVideoCnl::lastSequence();
  double cpu0 = bench::processCpuSeconds();
  uint64_t t0 = platform::monotonicNs();
  platform::sleepNs(uint64_t(seconds * 1e9));
  uint32_t seq1 = CIPVideoCnl::lastSequence();
  double cpu1 = bench::processCpuSeconds();
  double dt = (platform::monotonicNs() - t0) / 1e9;
  uint64_t slowest = UINT64_MAX;
  for (size_t i = 0; i < cnls.size(); ++i) slowest = std::min(slowest, cnls[i]->counters().published.load() - pub0[i]);
  quit = true;
  for (auto& c : cnls) c->stop();
  for (auto& t : consumers) t.join();
  for (auto& c : cnls) c->join();
  cnls.clear();
  Result r;
  uint32_t pics = seq1 - seq0;
  r.pps = pics / dt;
  r.slowestPps = slowest == UINT64_MAX ? 0 : slowest / dt;
  r.cpuUsPerPic = pics ? (cpu1 - cpu0) * 1e6 / pics : 0;
  return r;
}

// The least the gateway's thread model can cost on this machine: per stream one thread that
// receives the camera's parts with plain blocking recv() into a double buffer (the parts of the
// fake camera all have one known size, so it parses nothing) and hands each one over, and one
// consumer thread that waits for it and copies it out, as the gateway's consumer does. Both
// threads of every stream are real; only the channel's own work (looking at part heads,
// stepping over line ends, checks, wrapping) is left out.
Result runBarePairs(int n, uint16_t port, double seconds, size_t partBytes) {
  struct Pair {
    int fd = -1;
    std::mutex lock;
    std::condition_variable fresh;
    std::vector<uint8_t> a, b;
    std::vector<uint8_t>* current = &a;
    uint64_t seq = 0;
  };
  std::vector<std::unique_ptr<Pair>> pairs;
  const std::string request = "GET /axis-cgi/mjpg/video.cgi?camera=1&resolution=640x480&fps=25&compression=30 "
                              "HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  for (int i = 0; i < n; ++i) {
    auto p = std::make_unique<Pair>();
    p->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (p->fd < 0 || connect(p->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        send(p->fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
      std::fprintf(stderr, "bench_ingest: bare stream %d did not connect\n", i);
      if (p->fd >= 0) close(p->fd);
      continue;
    }
    // The response head, byte by byte (once per connection, before the window).
    std::string head;
    char c;
    while (head.size() < 4096 && recv(p->fd, &c, 1, 0) == 1) {
      head += c;
      if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) break;
    }
    p->a.resize(partBytes);
    p->b.resize(partBytes);
    pairs.push_back(std::move(p));
  }
  std::atomic<bool> quit{false};
  std::atomic<uint64_t> parts{0};
  std::vector<std::thread> threads;
  for (auto& up : pairs) {
    Pair* p = up.get();
    threads.emplace_back([p, partBytes, &parts] {
      pthread_setname_np(pthread_self(), "bare-reader");
      std::vector<uint8_t>* back = &p->b;
      for (;;) {
        size_t got = 0;
        while (got < partBytes) {
          ssize_t r = recv(p->fd, back->data() + got, partBytes - got, 0);
          if (r <= 0) {
            std::lock_guard<std::mutex> g(p->lock);
            p->seq = UINT64_MAX;  // ended: the consumer stops
            p->fresh.notify_all();
            return;
          }
          got += size_t(r);
        }
        if (std::memcmp(back->data(), "--myboundary\r\n", 14) != 0) {
          std::fprintf(stderr, "bench_ingest: a bare stream lost the part boundaries\n");
          std::exit(1);
        }
        {
          std::lock_guard<std::mutex> g(p->lock);
          std::swap(p->current, back);
          ++p->seq;
        }
        p->fresh.notify_all();
        parts.fetch_add(1, std::memory_order_relaxed);
      }
    });
    threads.emplace_back([p, partBytes, &quit] {
      pthread_setname_np(pthread_self(), "bare-consumer");
      std::vector<uint8_t> mine(partBytes);
      uint64_t seen = 0;
      std::unique_lock<std::mutex> g(p->lock);
      while (!quit.load()) {
        p->fresh.wait_for(g, std::chrono::milliseconds(200), [&] { return p->seq != seen || quit.load(); });
        if (p->seq == UINT64_MAX) return;
        if (p->seq == seen) continue;
        std::memcpy(mine.data(), p->current->data(), partBytes);
        seen = p->seq;
      }
    });
  }
  platform::sleepMs(1000);  // as the gateway's runs: connect and settle
  const uint64_t parts0 = parts.load();
  const double cpu0 = bench::processCpuSeconds();
  const uint64_t t0 = platform::monotonicNs();
  platform::sleepNs(uint64_t(seconds * 1e9));
  const uint64_t parts1 = parts.load();
  const double cpu1 = bench::processCpuSeconds();
  const double dt = (platform::monotonicNs() - t0) / 1e9;
  quit = true;
  for (auto& p : pairs) shutdown(p->fd, SHUT_RDWR);
  for (auto& t : threads) t.join();
  for (auto& p : pairs) close(p->fd);
  Result r;
  const uint64_t pics = parts1 - parts0;
  r.pps = pics / dt;
  r.cpuUsPerPic = pics ? (cpu1 - cpu0) * 1e6 / pics : 0;
  return r;
}

// The last "frame=" count ffmpeg printed into its statistics file.
uint64_t framesOf(const std::string& errFile) {
  std::string err = readAll(errFile);
  size_t at = err.rfind("frame=");
  return at == std::string::npos ? 0 : std::strtoull(err.c_str() + at + 6, nullptr, 10);
}

// ffmpeg needs a second or more to start and probe; the window is measured after that, with
// CPU and frame counts sampled per process at its start and end.
Result runFfmpeg(int n, uint16_t port, double seconds, const char* reader) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) +
                          "/axis-cgi/mjpg/video.cgi?camera=1&resolution=640x480&fps=25&compression=30";
  char tmpl[] = "/tmp/bench_ingest_XXXXXX";
  std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i)
    pids.push_back(spawn({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-stats", "-f", reader, "-i",
                          url, "-c", "copy", "-f", "null", "-"},
                         "", dir + "/err" + std::to_string(i)));
  // Wait until every process has started copying (bounded), then one more second.
  for (uint64_t end = platform::monotonicNs() + 30000000000ull; platform::monotonicNs() < end;) {
    int ready = 0;
    for (int i = 0; i < n; ++i) ready += framesOf(dir + "/err" + std::to_string(i)) > 0;
    if (ready == n) break;
    platform::sleepMs(100);
  }
  platform::sleepMs(1000);
  std::vector<double> cpu0(n);
  std::vector<uint64_t> f0(n);
  for (int i = 0; i < n; ++i) {
    cpu0[i] = bench::cpuSecondsOf(pids[i]);
    f0[i] = framesOf(dir + "/err" + std::to_string(i));
  }
  uint64_t t0 = platform::monotonicNs();
  platform::sleepNs(uint64_t(seconds * 1e9));
  double cpu = 0;
  uint64_t pics = 0;
  for (int i = 0; i < n; ++i) {
    double c = bench::cpuSecondsOf(pids[i]);
    if (c >= 0 && cpu0[i] >= 0) cpu += c - cpu0[i];
    uint64_t f = framesOf(dir + "/err" + std::to_string(i));
    if (f > f0[i]) pics += f - f0[i];
  }
  double dt = (platform::monotonicNs() - t0) / 1e9;
  if (getenv("BENCH_INGEST_DEBUG"))
    for (int i = 0; i < n; ++i)
      std::fprintf(stderr, "ffmpeg %d: pid %d cpu %.3f frames %llu -> %.3f %llu\n", i, int(pids[i]), cpu0[i],
                   (unsigned long long)f0[i], bench::cpuSecondsOf(pids[i]),
                   (unsigned long long)framesOf(dir + "/err" + std::to_string(i)));
  for (pid_t p : pids) kill(p, SIGINT);
  for (pid_t p : pids) waitpid(p, nullptr, 0);
  for (int i = 0; i < n; ++i) unlink((dir + "/err" + std::to_string(i)).c_str());
  rmdir(dir.c_str());
  Result r;
  r.pps = pics / dt;
  r.cpuUsPerPic = pics ? cpu * 1e6 / pics : 0;
  return r;
}

// The measured figures of one kind of reader over the rounds.
struct Column {
  std::vector<double> rate, slowest, cpu;
  void add(const Result& r) {
    rate.push_back(r.pps);
    slowest.push_back(r.slowestPps);
    cpu.push_back(r.cpuUsPerPic);
  }
  std::string cpuText() const {
    char t[64];
    std::snprintf(t, sizeof t, "%.1f (%.1f)", bench::median(cpu), bench::least(cpu));
    return t;
  }
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  installChannelRecorder();  // the channels get their recorders as in the gateway
  // The table of waiting threads sized as the application sizes it at start-up; the bare pairs
  // run in this process too and use the same table.
  platform::reserveFutexSlots(platform::kFutexSlotsForManyThreads);
  double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
  if (seconds <= 0) seconds = 4.0;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (rounds < 1) rounds = 1;
  std::vector<int> counts;
  for (int i = 3; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 16, 64, 128};

  const std::string jpeg = makeJpeg();
  char tmpl[] = "/tmp/bench_ingest_jpeg_XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0 || write(fd, jpeg.data(), jpeg.size()) != static_cast<ssize_t>(jpeg.size())) return 1;
  close(fd);
  const std::string fakecam = std::string(TELVGATE_BINARY_DIR) + "/fakecam";
  const std::string portFile = std::string(tmpl) + ".port";
  pid_t cam = spawn({fakecam, "--port", "0", "--family", "axis", "--fps", "25", "--jpeg", tmpl}, portFile, "");
  uint16_t port = 0;
  for (int i = 0; i < 200 && port == 0; ++i) {
    platform::sleepMs(20);
    std::string out = readAll(portFile);
    if (out.compare(0, 5, "port ") == 0 && out.find('\n') != std::string::npos) port = uint16_t(std::atoi(out.c_str() + 5));
  }
  if (port == 0) {
    std::fprintf(stderr, "bench_ingest: fakecam did not start (%s)\n", fakecam.c_str());
    kill(cam, SIGTERM);
    return 1;
  }
  // The fake camera's parts, all alike: boundary line, part head, the picture, its line end.
  const size_t partBytes = std::string("--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: ").size() +
                           std::to_string(jpeg.size()).size() + 4 + jpeg.size() + 2;
  bool haveFfmpeg = system("ffmpeg -hide_banner -version > /dev/null 2>&1") == 0;

  std::printf("IP camera ingest on loopback: %.0f pictures/s of %zu bytes per camera, %.1f s per "
              "run, %d interleaved rounds after a warm-up\n\n",
              kCameraFps, jpeg.size(), seconds, rounds);
  std::printf("| streams | target pics/s | TelvGate pics/s, slowest round (slowest stream) "
              "| TelvGate CPU us/pic median (min) | bare thread pairs CPU us/pic median (min) | vs bare "
              "| ffmpeg -f mjpeg pics/s (slowest round) | ffmpeg -f mjpeg CPU us/pic median (min) "
              "| ffmpeg -f mpjpeg pics/s (slowest round) | ffmpeg -f mpjpeg CPU us/pic median (min) "
              "| vs the cheaper ffmpeg |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (int n : counts) {
    Column g, b, fm, fp;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms up and is not counted
      const Result gr = runGateway(n, port, seconds);
      const Result br = runBarePairs(n, port, seconds, partBytes);
      Result fmr, fpr;
      if (haveFfmpeg) {
        fmr = runFfmpeg(n, port, seconds, "mjpeg");
        fpr = runFfmpeg(n, port, seconds, "mpjpeg");
      }
      if (round < 0) continue;
      g.add(gr);
      b.add(br);
      fm.add(fmr);
      fp.add(fpr);
    }
    const double cheaper = std::min(bench::median(fm.cpu), bench::median(fp.cpu));
    char ff[256] = "n/a | n/a | n/a | n/a | n/a";
    if (haveFfmpeg && cheaper > 0)
      std::snprintf(ff, sizeof ff, "%.1f | %s | %.1f | %s | %.2fx", bench::least(fm.rate), fm.cpuText().c_str(),
                    bench::least(fp.rate), fp.cpuText().c_str(), bench::median(g.cpu) / cheaper);
    std::printf("| %d | %.0f | %.1f (%.1f) | %s | %s | %.2fx | %s |\n", n, n * kCameraFps, bench::least(g.rate),
                bench::least(g.slowest), g.cpuText().c_str(), b.cpuText().c_str(),
                bench::median(g.cpu) / std::max(1e-9, bench::median(b.cpu)), ff);
    std::fflush(stdout);
  }
  kill(cam, SIGTERM);
  waitpid(cam, nullptr, 0);
  unlink(tmpl);
  unlink(portFile.c_str());
  return 0;
}

// RTSP fan-out of one channel to N viewers over TCP (interleaved): our server against
// GStreamer's (gst-rtsp-server, bench/rtsp_reference_server.py), serving the same pictures.
//
// 25 camera-like 640 x 480 JPEGs (4:2:0, standard Huffman tables, as RTP/JPEG carries them)
// are published in turn at 25 a second, to each server in a process of its own: ours is this
// program started with --serve (the RTSP server with a channel that publishes the pictures),
// GStreamer's is one shared pipeline fed by an appsrc. N raw RTSP clients in this process set
// up and play the stream over TCP and count the pictures (RTP marker bits) on two epoll
// threads. CPU is the server process's (all its threads, from its CPU-time clock) over the
// measuring window, per picture delivered. A third column serves our encoder's pictures
// instead, which our server re-codes to the standard tables once per picture (GStreamer would
// send those undecodable, so it has no such column). Rounds are interleaved (ours, GStreamer,
// ours re-coded, bare, for each N in turn); each figure is the minimum and the median over rounds.
//
// For scale, a bare loop in a process of its own sends each picture's interleaved bytes (made
// once, the same for every viewer) with one send() per viewer: the kernel's share alone.
//
// Usage: bench_rtsp [seconds per run, default 4] [rounds, default 3] [N ...]   (default 1 100 500)
//        bench_rtsp --serve FOLDER FPS     (the server side; prints "ready PORT")
//        bench_rtsp --bare FOLDER FPS      (the bare loop)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/CSocket.h"
#include "bench/BenchSupport.h"
#include "channels/CJpegEncoder.h"
#include "onvif/OnvifConfig.h"
#include "platform/ByteOrder.h"
#include "rtsp/RtpJpeg.h"
#include "rtsp/RtspServer.h"
#include "tests/jpeg_support.h"  // jpeglib.h

namespace {

constexpr int kWidth = 640, kHeight = 480, kFps = 25, kPictures = 25;

std::string readText(const std::string& path) {
  std::string s;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

std::string between(const std::string& s, const std::string& before, const std::string& after) {
  const size_t b = s.find(before);
  if (b == std::string::npos) return "";
  const size_t e = s.find(after, b + before.size());
  return s.substr(b + before.size(), e - b - before.size());
}

// ---- The server side of ours: a channel that publishes the folder's pictures in turn ----

class FolderChannel : public RtspChannels {
 public:
  FolderChannel(const std::string& folder, int fps) {
    for (int i = 0; i < kPictures; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/pic%03d.jpg", i);
      const std::string bytes = readText(folder + name);
      if (!bytes.empty()) m_pictures.push_back(bytes);
    }
    m_thread = std::thread([this, fps] { publish(uint64_t(1e9 / fps)); });
  }
  ~FolderChannel() override {
    m_stop = true;
    m_thread.join();
  }
  bool describe(const std::string& tag, RtspChannelInfo* info) override {
    *info = RtspChannelInfo{"Bench", kWidth, kHeight, double(kFps)};
    return tag == "cam";
  }
  std::unique_ptr<RtspPictureSource> open(const std::string& tag, PictureWatcher* w) override;

 private:
  friend class FolderSource;
  void publish(uint64_t period) {
    uint64_t due = platform::monotonicNs();
    for (size_t n = 0; !m_stop && !m_pictures.empty(); ++n) {
      due += period;
      bench::sleepUntilMonotonic(due);
      // Frozen once per publication, as a channel does for its push streams.
      const std::string& bytes = m_pictures[n % m_pictures.size()];
      auto pic = std::make_shared<SharedPicture>();
      pic->data.reset(new uint8_t[bytes.size()]);
      std::memcpy(pic->data.get(), bytes.data(), bytes.size());
      pic->length = uint32_t(bytes.size());
      pic->timestamp = platform::nowNs();
      std::lock_guard<std::mutex> g(m_lock);
      m_current = pic;
      for (PictureWatcher* watcher : m_watchers) watcher->pictureEvent();
    }
  }
  std::vector<std::string> m_pictures;
  std::mutex m_lock;
  std::shared_ptr<const SharedPicture> m_current;  // guarded by m_lock
  std::set<PictureWatcher*> m_watchers;            // guarded by m_lock
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

class FolderSource : public RtspPictureSource {
 public:
  FolderSource(FolderChannel& cnl, PictureWatcher* w) : m_cnl(cnl), m_watcher(w) {}
  ~FolderSource() override {
    std::lock_guard<std::mutex> g(m_cnl.m_lock);
    m_cnl.m_watchers.erase(m_watcher);
  }
  bool current(std::shared_ptr<const SharedPicture>* pic, uint64_t* ts) override {
    std::lock_guard<std::mutex> g(m_cnl.m_lock);
    *pic = m_cnl.m_current;
    *ts = *pic ? (*pic)->timestamp : 0;
    return true;
  }
  void want() override {}

 private:
  FolderChannel& m_cnl;
  PictureWatcher* m_watcher;
};

std::unique_ptr<RtspPictureSource> FolderChannel::open(const std::string& tag, PictureWatcher* w) {
  if (tag != "cam") return nullptr;
  std::lock_guard<std::mutex> g(m_lock);
  m_watchers.insert(w);
  return std::unique_ptr<RtspPictureSource>(new FolderSource(*this, w));
}

struct NoLogins : OnvifCredentials {
  bool lookup(const std::string&, std::string*, OnvifRole*) override { return false; }
};

int serve(const std::string& folder, int fps) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread, so sigwait below gets them
  FolderChannel channel(folder, fps);
  NoLogins logins;
  RtspServer server(channel, logins);
  RtspConfig config;
  config.address = "127.0.0.1";
  config.port = 0;
  config.auth = false;
  std::string error;
  if (!server.begin(config, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("ready %u\n", server.address().port);
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  server.end();
  return 0;
}

// The kernel's own share, for scale: each picture's interleaved RTP bytes made once (the same
// for every viewer), then one blocking send() of them per viewer per picture; the set-up is
// answered with canned text.
int serveBare(const std::string& folder, int fps) {
  std::vector<std::string> pictures;
  uint16_t seq = 0;
  for (int i = 0; i < kPictures; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/pic%03d.jpg", i);
    const std::string jpeg = readText(folder + name);
    rtpjpeg::Payloads p;
    std::string why, bytes;
    if (jpeg.empty() || !rtpjpeg::payloadsOf(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), &p, &why))
      continue;
    for (size_t k = 0; k < p.count(); ++k) {
      uint8_t head[16] = {'$', 0};
      putBE16(head + 2, uint16_t(12 + p.payloadBytes(k)));
      rtpjpeg::rtpHeader(head + 4, k + 1 == p.count(), seq++, uint32_t(i) * 3600, 0x1234);
      bytes.append(reinterpret_cast<char*>(head), 16);
      bytes.append(reinterpret_cast<const char*>(p.payload(k)), p.payloadBytes(k));
    }
    pictures.push_back(bytes);
  }
  CSocket listen;
  if (pictures.empty() || listen.create() != 0 || listen.bind("127.0.0.1", 0) != 0 || listen.listen(1024) != 0) return 1;
  std::mutex lock;
  std::vector<int> playing;  // guarded by lock
  std::thread sender([&] {
    uint64_t due = platform::monotonicNs();
    for (size_t n = 0;; ++n) {
      due += uint64_t(1e9 / fps);
      bench::sleepUntilMonotonic(due);
      const std::string& pic = pictures[n % pictures.size()];
      std::lock_guard<std::mutex> g(lock);
      for (int fd : playing) send(fd, pic.data(), pic.size(), MSG_NOSIGNAL);
    }
  });
  sender.detach();  // the process ends by SIGTERM
  std::printf("ready %u\n", listen.localAddress().port);
  std::fflush(stdout);
  for (;;) {
    const int fd = listen.accept(-1);
    if (fd < 0) continue;
    std::string in;
    char buf[4096];
    for (bool played = false; !played;) {
      const size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) {
        const ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        in.append(buf, size_t(r));
        continue;
      }
      const std::string req = in.substr(0, end);
      in.erase(0, end + 4);
      const std::string head = "RTSP/1.0 200 OK\r\nCSeq: " + between(req + "\r\n", "CSeq: ", "\r\n") + "\r\n";
      const std::string sdp = "v=0\r\ns=-\r\nt=0 0\r\nm=video 0 RTP/AVP 26\r\na=control:track1\r\n";
      std::string answer = head + "Session: 1\r\n\r\n";
      if (req.compare(0, 8, "DESCRIBE") == 0)
        answer = head + "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
      played = req.compare(0, 4, "PLAY") == 0;
      std::lock_guard<std::mutex> g(lock);  // the answer never lands inside a picture
      send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      if (played) playing.push_back(fd);
    }
  }
}

// ---- The viewers ----

// One RTSP client over TCP: the set-up with blocking requests, then counting pictures.
struct Viewer {
  int fd = -1;
  std::atomic<uint64_t> pictures{0};
  // Reading state: bytes of the current frame still to skip, and the frame head being read.
  size_t skip = 0;
  uint8_t head[6];
  size_t have = 0;
  bool inText = false;  // an RTSP answer between frames: skipped to its blank line
  uint32_t textTail = 0;
};

// Counts the pictures of what arrived: interleaved frames whose RTP header has the marker bit.
void consume(Viewer& v, const uint8_t* p, size_t n) {
  while (n > 0) {
    if (v.skip) {
      const size_t k = std::min(v.skip, n);
      v.skip -= k, p += k, n -= k;
      continue;
    }
    if (v.inText) {
      v.textTail = v.textTail << 8 | *p++;
      --n;
      if (v.textTail == 0x0D0A0D0Au) v.inText = false;
      continue;
    }
    if (v.have == 0 && *p != '$') {
      v.inText = true;
      v.textTail = 0;
      continue;
    }
    v.head[v.have++] = *p++;
    --n;
    if (v.have < 6) continue;
    const size_t len = size_t(v.head[2]) << 8 | v.head[3];
    if (v.head[1] == 0 && (v.head[5] & 0x80)) v.pictures.fetch_add(1, std::memory_order_relaxed);
    v.skip = len >= 2 ? len - 2 : 0;
    v.have = 0;
  }
}

// Sends one request and reads its answer (head and body); "" on failure. What came behind the
// answer (the first media, after PLAY) is left in *after.
std::string request(int fd, const std::string& text, std::string* after = nullptr) {
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) return "";
  std::string in;
  char buf[4096];
  for (;;) {
    const size_t end = in.find("\r\n\r\n");
    if (end != std::string::npos) {
      const size_t cl = in.find("Content-Length: ");
      const size_t body = cl != std::string::npos && cl < end ? size_t(std::atoi(in.c_str() + cl + 16)) : 0;
      if (in.size() >= end + 4 + body) {
        if (after) *after = in.substr(end + 4 + body);
        return in.substr(0, end + 4 + body);
      }
    }
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return "";
    in.append(buf, size_t(n));
  }
}


// DESCRIBE, SETUP over TCP, PLAY; false when the server refused one of them.
bool startViewer(Viewer& v, uint16_t port) {
  v.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  timeval tv{10, 0};
  setsockopt(v.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(v.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/cam";
  const std::string sdp = request(v.fd, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
  std::string base = between(sdp, "Content-Base: ", "\r\n");
  if (base.empty()) base = url + "/";
  const std::string m = sdp.substr(std::min(sdp.size(), sdp.find("m=video")));
  const std::string control = between(m, "a=control:", "\r\n");
  const std::string track = control.compare(0, 7, "rtsp://") == 0 ? control : base + control;
  const std::string setup = request(v.fd, "SETUP " + track + " RTSP/1.0\r\nCSeq: 2\r\nTransport: "
                                          "RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  const std::string session = between(between(setup, "Session: ", "\r\n"), "", ";");
  if (setup.compare(0, 12, "RTSP/1.0 200") != 0 || session.empty()) return false;
  std::string media;
  const std::string play = request(v.fd, "PLAY " + base + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session +
                                         "\r\nRange: npt=0.000-\r\n\r\n", &media);
  consume(v, reinterpret_cast<const uint8_t*>(media.data()), media.size());
  return play.compare(0, 12, "RTSP/1.0 200") == 0;
}

class Viewers {
 public:
  // Each viewer is read from as soon as it plays: one left unread while the others set up
  // would count as a viewer that does not read.
  Viewers(size_t n, uint16_t port) : m_viewers(n) {
    for (int t = 0; t < 2; ++t) {
      m_epoll[t] = epoll_create1(EPOLL_CLOEXEC);
      m_threads.emplace_back([this, t] { run(t); });
    }
    for (size_t i = 0; i < n; ++i) {
      if (!startViewer(m_viewers[i], port)) ++m_refused;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = i;
      epoll_ctl(m_epoll[i % 2], EPOLL_CTL_ADD, m_viewers[i].fd, &ev);
    }
  }
  ~Viewers() {
    m_stop = true;
    for (auto& t : m_threads) t.join();
    for (auto& v : m_viewers) close(v.fd);
    for (int e : m_epoll) close(e);
  }
  size_t refused() const { return m_refused; }
  std::vector<uint64_t> counts() const {
    std::vector<uint64_t> c;
    for (const auto& v : m_viewers) c.push_back(v.pictures.load());
    return c;
  }

 private:
  void run(int t) {
    std::vector<uint8_t> buf(256 * 1024);
    epoll_event evs[64];
    while (!m_stop) {
      const int n = epoll_wait(m_epoll[t], evs, 64, 100);
      for (int k = 0; k < n; ++k) {
        Viewer& v = m_viewers[evs[k].data.u64];
        const ssize_t r = recv(v.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (r > 0) consume(v, buf.data(), size_t(r));
        else if (r == 0 || (errno != EAGAIN && errno != EINTR)) epoll_ctl(m_epoll[t], EPOLL_CTL_DEL, v.fd, nullptr);
      }
    }
  }
  std::vector<Viewer> m_viewers;
  size_t m_refused = 0;
  int m_epoll[2] = {-1, -1};
  std::vector<std::thread> m_threads;
  std::atomic<bool> m_stop{false};
};

// ---- Runs ----

struct Run {
  double usPerPicture = 0;
  double slowest = 0;  // pictures per second of the slowest viewer
  double mean = 0;
  size_t refused = 0;
};

enum Server { Ours, Gstreamer, OursRecoded, Bare, kServers };
const char* const kServerNames[kServers] = {"TelvGate", "GStreamer", "TelvGate, re-coded pictures", "bare send loop"};

Run runOnce(Server which, size_t n, double seconds, const std::string& self, const std::string& dir) {
  bench::Child server;
  const std::string out = dir + "/server.out";
  const std::string folder = dir + (which == OursRecoded ? "/ours" : "/camera");
  const std::string script = std::string(TELVGATE_SOURCE_DIR) + "/bench/rtsp_reference_server.py";
  const bool started =
      which == Gstreamer
          ? server.start({"/usr/bin/python3", script, folder, std::to_string(kFps), std::to_string(bench::freePort()),
                          std::to_string(kWidth), std::to_string(kHeight)}, out)
          : server.start({self, which == Bare ? "--bare" : "--serve", folder, std::to_string(kFps)}, out);
  uint16_t port = 0;
  for (int i = 0; started && i < 100 && port == 0; ++i) {
    platform::sleepMs(100);
    const std::string text = readText(out);
    if (text.compare(0, 6, "ready ") == 0 && text.find('\n') != std::string::npos) port = uint16_t(std::atoi(text.c_str() + 6));
  }
  Run r;
  if (port == 0) {
    std::fprintf(stderr, "server did not start: %s\n", readText(out + ".err").c_str());
    r.refused = n;
    return r;
  }
  Viewers viewers(n, port);
  r.refused = viewers.refused();
  if (r.refused) std::fprintf(stderr, "%s refused %zu of %zu viewers\n", kServerNames[which], r.refused, n);
  platform::sleepMs(1500);  // every viewer streaming
  const auto c0 = viewers.counts();
  const double cpu0 = bench::cpuSecondsOf(server.pid());
  platform::sleepNs(uint64_t(seconds * 1e9));
  const double cpu = bench::cpuSecondsOf(server.pid()) - cpu0;
  const auto c1 = viewers.counts();
  double total = 0, slowest = 1e30;
  for (size_t i = 0; i < n; ++i) {
    total += double(c1[i] - c0[i]);
    slowest = std::min(slowest, double(c1[i] - c0[i]));
  }
  r.usPerPicture = total > 0 ? cpu * 1e6 / total : 0;
  r.slowest = slowest / seconds;
  r.mean = total / n / seconds;
  return r;
}

// The pictures: camera-like (libjpeg-turbo, standard tables) and our encoder's (tables of
// their own), of the same drawn scenes.
bool writePictures(const std::string& dir) {
  if (mkdir((dir + "/camera").c_str(), 0755) != 0 || mkdir((dir + "/ours").c_str(), 0755) != 0) return false;
  CJpegEncoder enc;
  if (!enc.init(80, kWidth, kHeight, kHeight, "Bench")) return false;
  std::vector<uint8_t> out(512 * 1024);
  for (int i = 0; i < kPictures; ++i) {
    std::vector<uint8_t> px = jpegtest::naturalPicture(kWidth, kHeight, uint32_t(i + 1));
    const std::vector<uint8_t> camera = jpegtest::referenceEncode(px.data(), kWidth, kHeight, 80, false);
    size_t len = 0;
    uint32_t seq = 0;
    if (!enc.encode(px.data(), out.data(), out.size(), &len, uint64_t(i) + 1, &seq)) return false;
    char name[32];
    std::snprintf(name, sizeof name, "/pic%03d.jpg", i);
    const std::vector<uint8_t> ours(out.begin(), out.begin() + long(len));
    for (const auto& [sub, bytes] : {std::make_pair("/camera", &camera), std::make_pair("/ours", &ours)}) {
      FILE* f = std::fopen((dir + sub + name).c_str(), "wb");
      if (!f || std::fwrite(bytes->data(), 1, bytes->size(), f) != bytes->size()) return false;
      std::fclose(f);
    }
  }
  return true;
}

size_t averageBytes(const std::string& folder) {
  size_t total = 0;
  for (int i = 0; i < kPictures; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/pic%03d.jpg", i);
    total += readText(folder + name).size();
  }
  return total / kPictures;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--serve") return serve(argv[2], std::atoi(argv[3]));
  if (argc == 4 && std::string(argv[1]) == "--bare") return serveBare(argv[2], std::atoi(argv[3]));
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  const double seconds = argc > 1 && std::atof(argv[1]) > 0 ? std::atof(argv[1]) : 4.0;
  const int rounds = argc > 2 && std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : 3;
  std::vector<size_t> counts;
  for (int i = 3; i < argc; ++i) counts.push_back(size_t(std::atol(argv[i])));
  if (counts.empty()) counts = {1, 100, 500};

  char templ[] = "/tmp/bench_rtsp-XXXXXX";
  if (!mkdtemp(templ) || !writePictures(templ)) {
    std::perror("pictures");
    return 1;
  }
  const std::string dir = templ;
  char* exe = realpath("/proc/self/exe", nullptr);
  const std::string self = exe ? exe : argv[0];
  std::free(exe);
  std::printf("RTSP fan-out over TCP: %d x %d JPEGs (%zu bytes on average) at %d/s, %.1f s per run, %d rounds, "
              "%u cores\n\n",
              kWidth, kHeight, averageBytes(dir + "/camera"), kFps, seconds, rounds,
              std::thread::hardware_concurrency());
  std::vector<std::vector<Run>> runs(counts.size() * kServers);
  for (int round = 0; round < rounds; ++round)
    for (size_t i = 0; i < counts.size(); ++i)
      for (int s = 0; s < kServers; ++s)
        runs[i * kServers + s].push_back(runOnce(Server(s), counts[i], seconds, self, dir));

  std::printf("| viewers | TelvGate µs/picture (min / median) | GStreamer µs/picture (min / median) | ratio (median) "
              "| slowest viewer, pictures/s (TelvGate / GStreamer) | TelvGate, re-coded pictures: µs/picture "
              "(median), slowest | bare send loop: µs/picture (median) | target |\n"
              "|--:|--:|--:|--:|--:|--:|--:|---|\n");
  for (size_t i = 0; i < counts.size(); ++i) {
    std::vector<double> us[kServers];
    double slowest[kServers];
    size_t refused = 0;
    for (int s = 0; s < kServers; ++s) {
      slowest[s] = 1e30;
      for (const Run& r : runs[i * kServers + s]) {
        us[s].push_back(r.usPerPicture);
        slowest[s] = std::min(slowest[s], r.slowest);
        if (s != Bare) refused += r.refused;
      }
    }
    const double ratio = median(us[Gstreamer]) > 0 ? median(us[Ours]) / median(us[Gstreamer]) : 0;
    const bool met = ratio > 0 && ratio <= 0.5 && slowest[Ours] >= kFps - 1 && refused == 0;
    std::printf("| %zu | %.1f / %.1f | %.1f / %.1f | %.2fx | %.1f / %.1f | %.1f, %.1f | %.1f | %s |\n", counts[i],
                *std::min_element(us[Ours].begin(), us[Ours].end()), median(us[Ours]),
                *std::min_element(us[Gstreamer].begin(), us[Gstreamer].end()), median(us[Gstreamer]), ratio,
                slowest[Ours], slowest[Gstreamer], median(us[OursRecoded]), slowest[OursRecoded], median(us[Bare]),
                met ? "met" : (refused ? "viewers refused" : "missed"));
    std::fflush(stdout);
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}

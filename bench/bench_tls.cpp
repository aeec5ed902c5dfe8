// Push streams over HTTPS: TelvGate's own HTTPS port against the plain endpoint and against
// nginx terminating TLS in front of that endpoint, in one run.
//
// One channel (a 640x480 JPEG published at 25/s) with its endpoint on 127.0.0.1 is listed
// like any channel, and a configuration server of this process has its HTTPS port open.
// N viewers ask for 20 pictures/s:
//   https: "/stream/<key>.jpg?fps=20" on the HTTPS port (TLS by this process);
//   http:  "/control/faststream.jpg?fps=20" on the channel's endpoint;
//   nginx: the same endpoint path through Debian's nginx (one process, TLS 1.3, buffering
//          off) proxying to the endpoint.
// Then the same three ways for a push stream of recordings: N viewers (at most the server's
// RecordingJobs::kMaxJobs) of "/recordings/play.jpg" at speed 1 from a tree of one minute of
// a 640x480 JPEG recorded at 25/s, on the HTTPS port, on the plain configuration port, and
// through nginx in front of that plain port.
// Every viewer is a thread of its own that reads and counts bytes (TLS viewers decrypt); with
// "curl" among the arguments every viewer is a curl process instead, a client as users run it,
// whose output a thread of ours counts. Server CPU is this process's minus the viewers' threads,
// plus nginx's (its CPU-time clock) on its rows, per delivered picture. Modes are interleaved
// round by round after a warm-up round, in turn forwards and backwards; besides the ratio of the medians the table gives the median of the rounds' own
// ratios (each round measures the three ways side by side).
//
// Usage: bench_tls [seconds per run, default 3] [rounds, default 3] [curl] [N ...] (default 1 10 50)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "bench/BenchSupport.h"
#include "channels/CNetVideoClient.h"
#include "channels/CnlList.h"
#include "channels/PictureBlocks.h"
#include "confserver/CLstConfThread.h"
#include "endpoint/CNetVideoCnl.h"
#include "platform/Clock.h"
#include "recording/ErdInfo.h"
#include "recording/EventTree.h"
#include "recording/IndexFile.h"
#include "recordings/RecTime.h"
#include "recordings/RecordingJobs.h"
#include "tests/jpeg_support.h"

namespace {

constexpr uint64_t kSourcePeriodNs = 40000000ull;  // 25 pictures/s
constexpr uint32_t kPictureBytes = 32635;           // the endpoint benchmark's JPEG size

class BenchChannel : public CNetVideoCnl {
 public:
  explicit BenchChannel(const std::vector<uint8_t>& picture) : CNetVideoCnl(0, 96), m_picture(picture) {}
  std::string imageUrl(const std::string&, bool) override { return ""; }
  std::string sourceTag() override { return "bench"; }

 protected:
  int run() override {
    if (!startListener()) return 1;
    uint64_t due = platform::monotonicNs();
    for (uint32_t seq = 0; !stopping();) {
      due += kSourcePeriodNs;
      bench::sleepUntilMonotonic(due);
      FrameRec& back = backFrame();
      std::memcpy(back.data, m_picture.data(), m_picture.size());
      back.length = uint32_t(m_picture.size());
      back.timestamp = platform::nowNs();
      back.sequence = ++seq;
      publishBackFrame();
    }
    stopListener();
    return 0;
  }

 private:
  const std::vector<uint8_t> m_picture;
};

// One minute recorded at 25/s under dir (the channel's tree folder): E00000.jpg and six sequence
// files of 10 s, every picture the same JPEG with its own time stamp. The size of one
// recorded picture; 0 when the tree could not be written.
size_t writeRecording(const std::string& dir, uint64_t startUs) {
  const std::vector<uint8_t> jpeg = jpegtest::referenceEncode(jpegtest::naturalPicture(640, 480, 3).data(), 640, 480, 80, false);
  const auto stamped = [&](uint64_t us, uint32_t seq) {
    std::vector<uint8_t> out(pictureblocks::kHeaderSize + jpeg.size() - 2);
    pictureblocks::initHeader(out.data());
    pictureblocks::setFrameFields(out.data(), us * 1000, seq, 0);
    std::memcpy(out.data() + pictureblocks::kHeaderSize, jpeg.data() + 2, jpeg.size() - 2);
    return out;
  };
  const std::string ev = eventtree::eventDir(dir, 1);
  if (!eventtree::createPath(ev)) return 0;
  uint32_t seq = 0;
  for (int file = 0; file <= 6; ++file) {
    std::vector<uint8_t> bytes;
    for (int k = 0; k < (file == 0 ? 1 : 250); ++k, ++seq) {
      const std::vector<uint8_t> p = stamped(startUs + uint64_t(seq) * uint64_t(kSourcePeriodNs / 1000), seq);
      bytes.insert(bytes.end(), p.begin(), p.end());
    }
    std::ofstream(ev + (file == 0 ? std::string("E00000.jpg") : eventtree::sequenceFileName(file)), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  erdinfo::Record rec = erdinfo::freshRecord(uint32_t(startUs / 1000000));
  rec.oldest = rec.newest = rec.oldestStamp.event = rec.newestStamp.event = 1;
  erdinfo::setStampTimeUs(rec.oldestStamp, startUs);
  erdinfo::setStampTimeUs(rec.newestStamp, startUs);
  IndexFile index;
  return index.rebuild(dir, rec) == IndexFile::Rebuild::Written ? stamped(startUs, 0).size() : 0;
}

// One viewer: connects, sends the request (through TLS when asked), counts what arrives. With
// curl, a curl process makes the request and a thread counts its output.
class Viewer {
 public:
  Viewer(uint16_t port, bool tls, const std::string& request, bool curl) {
    m_thread = std::thread([=] { curl ? runCurl(port, tls, request) : run(port, tls, request); });
  }
  ~Viewer() {
    m_stop = true;
    m_thread.join();
  }
  uint64_t bytes() const { return m_bytes.load(); }
  double cpuSeconds() const { return m_cpuNs.load() * 1e-9; }

 private:
  // curl -sNk [-H header ...] <url>: the request's path and its headers but "Host:".
  void runCurl(uint16_t port, bool tls, const std::string& request) {
    const size_t lineEnd = request.find("\r\n"), pathAt = request.find(' ') + 1;
    std::vector<std::string> args = {"curl", "-sNk", "--http1.0"};
    for (size_t at = lineEnd + 2, end; (end = request.find("\r\n", at)) != std::string::npos && end > at; at = end + 2)
      if (request.compare(at, 5, "Host:") != 0) args.push_back("-H"), args.push_back(request.substr(at, end - at));
    args.push_back(std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) +
                   request.substr(pathAt, request.find(' ', pathAt) - pathAt));
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    bench::Child curl;
    const bool spawned = curl.startWithOutput(args, out[1]);
    close(out[1]);
    std::vector<char> buf(65536);
    for (pollfd p{out[0], POLLIN, 0}; spawned && !m_stop;) {
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = read(out[0], buf.data(), buf.size());
      if (n <= 0) break;
      m_bytes += uint64_t(n);
      m_cpuNs = uint64_t(bench::threadCpuSeconds() * 1e9);
    }
    m_cpuNs = uint64_t(bench::threadCpuSeconds() * 1e9);
    curl.stop();
    close(out[0]);
  }
  void run(uint16_t port, bool tls, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    timeval slice{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    SSL_CTX* ctx = tls ? SSL_CTX_new(TLS_client_method()) : nullptr;
    SSL* ssl = nullptr;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      if (tls) {
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        while (SSL_connect(ssl) != 1 && !m_stop) {
        }
        SSL_write(ssl, request.data(), int(request.size()));
      } else {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      }
      std::vector<char> buf(65536);
      while (!m_stop) {
        const int n = tls ? SSL_read(ssl, buf.data(), int(buf.size())) : int(recv(fd, buf.data(), buf.size(), 0));
        if (n > 0) m_bytes += uint64_t(n);
        else if (tls ? SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ : (errno != EAGAIN && errno != EINTR)) break;
        m_cpuNs = uint64_t(bench::threadCpuSeconds() * 1e9);
      }
    }
    m_cpuNs = uint64_t(bench::threadCpuSeconds() * 1e9);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
  }
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_bytes{0}, m_cpuNs{0};
};

// Debian's nginx in the foreground, one process, terminating TLS for the endpoint.
class Nginx {
 public:
  // port proxies to the endpoint upstream, confPort to the plain configuration port confUpstream.
  bool start(const std::string& dir, uint16_t port, uint16_t upstream, uint16_t confPort, uint16_t confUpstream,
             const std::string& crt, const std::string& key) {
    const auto server = [&](uint16_t listen, uint16_t to) {
      return " server { listen 127.0.0.1:" + std::to_string(listen) + " ssl; ssl_certificate " + crt +
             "; ssl_certificate_key " + key + "; ssl_protocols TLSv1.2 TLSv1.3;\n"
             "  location / { proxy_pass http://127.0.0.1:" + std::to_string(to) +
             "; proxy_buffering off; proxy_http_version 1.0; } }\n";
    };
    const std::string conf = dir + "/nginx.conf";
    std::ofstream(conf) << "master_process off; worker_processes 1; daemon off; pid " << dir << "/nginx.pid;\n"
                        << "error_log " << dir << "/nginx-error.log;\nevents { worker_connections 4096; }\n"
                        << "http { access_log off; client_body_temp_path " << dir << "; proxy_temp_path " << dir
                        << ";\n fastcgi_temp_path " << dir << "; uwsgi_temp_path " << dir << "; scgi_temp_path " << dir
                        << ";\n" << server(port, upstream) << server(confPort, confUpstream) << "}\n";
    if (!m_child.start({"nginx", "-p", dir, "-c", conf}, dir + "/nginx.out")) return false;
    usleep(500000);
    return waitpid(m_child.pid(), nullptr, WNOHANG) == 0;
  }
  void stop() { m_child.stop(); }
  pid_t pid() const { return m_child.pid(); }

 private:
  bench::Child m_child;
};

struct Sample {
  double minRate = 0, usPerPic = 0;
};

// partBytes: one delivered part (its head and picture).
Sample measure(uint16_t port, bool tls, const std::string& request, size_t n, double seconds, pid_t extra,
               double partBytes, bool curl) {
  std::vector<std::unique_ptr<Viewer>> viewers;
  // In batches, each streaming before the next connects: the HTTPS port, like the plain one,
  // reads at most 16 requests at a time and drops the idlest for a newcomer.
  while (viewers.size() < n) {
    const size_t first = viewers.size();
    for (size_t i = 0; i < 8 && viewers.size() < n; ++i) viewers.emplace_back(new Viewer(port, tls, request, curl));
    for (int w = 0; w < 200; ++w, platform::sleepMs(10)) {
      size_t streaming = 0;
      for (size_t i = first; i < viewers.size(); ++i) streaming += viewers[i]->bytes() > 0 ? 1 : 0;
      if (streaming == viewers.size() - first) break;
    }
  }
  platform::sleepMs(1500);  // warm-up
  const auto snap = [&](std::vector<uint64_t>& bytes, double& readers) {
    bytes.clear();
    readers = 0;
    for (auto& v : viewers) bytes.push_back(v->bytes()), readers += v->cpuSeconds();
  };
  std::vector<uint64_t> b0, b1;
  double r0, r1;
  snap(b0, r0);
  const double c0 = bench::processCpuSeconds(), e0 = extra > 0 ? bench::cpuSecondsOf(extra) : 0;
  platform::sleepNs(uint64_t(seconds * 1e9));
  const double c1 = bench::processCpuSeconds(), e1 = extra > 0 ? bench::cpuSecondsOf(extra) : 0;
  snap(b1, r1);
  const double part = partBytes;
  double total = 0, slowest = 1e18;
  for (size_t i = 0; i < n; ++i) {
    total += double(b1[i] - b0[i]) / part;
    slowest = std::min(slowest, double(b1[i] - b0[i]) / part);
  }
  Sample s;
  s.minRate = slowest / seconds;
  s.usPerPic = total > 0 ? ((c1 - c0) - (r1 - r0) + (e1 - e0)) * 1e6 / total : 0;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const double seconds = argc > 1 && std::atof(argv[1]) > 0 ? std::atof(argv[1]) : 3.0;
  const int rounds = argc > 2 && std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : 3;
  std::vector<size_t> counts;
  bool curl = false;
  for (int i = 3; i < argc; ++i)
    if (std::strcmp(argv[i], "curl") == 0) curl = true;
    else counts.push_back(size_t(std::atol(argv[i])));
  if (counts.empty()) counts = {1, 10, 50};

  char dirTemplate[] = "/tmp/bench_tls.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  setenv("HOME", dir.c_str(), 1);  // the settings folder, where the certificate is made
  g_settings.load();
  g_settings.writeString("System", "LogFilePath", dir + "/TelvGateLog.log");
  g_settings.writeString("System", "ConfIPAddr", "127.0.0.1");
  g_settings.writeInt("System", "ConfIPPort", 0);
  const uint16_t tlsPort = bench::freePort(), nginxPort = bench::freePort();
  g_settings.writeInt("System", "ConfTLSPort", tlsPort);
  g_settings.writeString("Channel 0 96", "CnlIPAddr", "127.0.0.1");
  g_settings.writeInt("Channel 0 96", "CnlIPPort", 0);
  g_settings.writeString("Channel 0 96", "CnlEventRootPath", dir + "/rec");
  g_logFile.init();
  // Recorded a minute before now, long enough for every run to stream from its start.
  const uint64_t recordedUs = platform::nowNs() / 1000 - 120000000ull;
  const size_t recordedBytes = writeRecording(dir + "/rec/bench/", recordedUs);

  CLstConfThread server;
  server.setAnnounce(false);
  if (!server.init("", 0) || !server.start()) return 1;
  const std::vector<uint8_t> picture = bench::makePicture(kPictureBytes, 7);
  BenchChannel* cnl = new BenchChannel(picture);
  if (!initAndStartListedChannel(cnl)) return 1;
  uint16_t endpoint = 0;
  for (int i = 0; i < 500 && (endpoint == 0 || server.tls().address().port == 0); ++i) {
    platform::sleepMs(10);
    endpoint = cnl->localAddr().port;
  }
  uint16_t confPort = 0;
  for (int i = 0; i < 500 && confPort == 0; ++i, platform::sleepMs(10)) confPort = server.address().port;
  const std::string settingsDir = dir + "/.foxrc/TELVORA/";
  const uint16_t nginxConfPort = bench::freePort();
  Nginx nginx;
  const bool withNginx = nginx.start(dir, nginxPort, endpoint, nginxConfPort, confPort, settingsDir + "TelvGateTLS.crt",
                                     settingsDir + "TelvGateTLS.key");
  if (!withNginx) std::fprintf(stderr, "nginx could not be started; its rows are left out\n");

  struct Way {
    uint16_t port;
    bool tls;
    std::string request;
  };
  // Rows of N viewers: the HTTPS way, the plain one, and nginx in front of the plain one.
  const auto table = [&](const std::vector<size_t>& ns, const Way (&ways)[3], double partBytes) {
    std::printf("| N | https min/s | https µs/pic | http µs/pic | nginx+http min/s | nginx+http µs/pic | https vs nginx"
                " | per round: median (min) |\n|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (size_t n : ns) {
      std::vector<double> https, http, viaNginx, ratios;
      double httpsMin = 1e9, nginxMin = 1e9;
      const auto run = [&](int way) {
        return way < 2 || withNginx ? measure(ways[way].port, ways[way].tls, ways[way].request, n, seconds,
                                              way == 2 ? nginx.pid() : -1, partBytes, curl)
                                    : Sample();
      };
      for (int round = -1; round < rounds; ++round) {
        // Every other round the other way round, so a machine that drifts during a round
        // weighs on both ends alike; each round's own ratio compares ways measured side by side.
        Sample got[3];
        for (int i = 0; i < 3; ++i) {
          const int way = round % 2 != 0 ? 2 - i : i;
          got[way] = run(way);
        }
        if (round < 0) continue;
        https.push_back(got[0].usPerPic), http.push_back(got[1].usPerPic), viaNginx.push_back(got[2].usPerPic);
        if (got[2].usPerPic > 0) ratios.push_back(got[0].usPerPic / got[2].usPerPic);
        httpsMin = std::min(httpsMin, got[0].minRate), nginxMin = std::min(nginxMin, got[2].minRate);
      }
      const double httpsUs = bench::median(https), nginxUs = bench::median(viaNginx);
      std::printf("| %zu | %.1f | %.1f | %.1f | %.1f | %.1f | %.2fx | %.2fx (%.2fx) |\n", n, httpsMin, httpsUs,
                  bench::median(http), nginxMin, nginxUs, httpsUs / std::max(1e-9, nginxUs), bench::median(ratios),
                  bench::least(ratios));
      std::fflush(stdout);
    }
  };

  const std::string streamReq = "GET /control/faststream.jpg?fps=20 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  const std::string tlsReq = "GET /stream/" + cnl->fieldPrefix() + ".jpg?fps=20 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  std::printf("Push streams of a %u-byte picture published at 25/s, viewers ask 20/s; %.1f s per run,\n"
              "%d interleaved rounds after a warm-up, %u cores. CPU: serving side per delivered picture\n"
              "(this process without its viewer threads, plus nginx's own on the nginx rows). Viewers: %s.\n\n",
              kPictureBytes, seconds, rounds, std::thread::hardware_concurrency(),
              curl ? "curl processes" : "threads of this process");
  table(counts, {{tlsPort, true, tlsReq}, {endpoint, false, streamReq}, {nginxPort, true, streamReq}},
        double(CNetVideoClient::kPartHeaderSize + kPictureBytes));

  const std::string playReq = "GET /recordings/play.jpg?c=" + url_encode(cnl->sectionName()) + "&from=" +
                              rectime::unixText(recordedUs) + "&speed=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                              "Authorization: Basic " + base64_encode("admin:qatrel") + "\r\n\r\n";
  std::vector<size_t> playCounts;
  for (size_t n : counts) {
    const size_t capped = std::min(n, RecordingJobs::kMaxJobs);
    if (std::find(playCounts.begin(), playCounts.end(), capped) == playCounts.end()) playCounts.push_back(capped);
  }
  std::printf("\nPush streams of recordings (/recordings/play.jpg, speed 1): a %zu-byte JPEG recorded at 25/s,\n"
              "at most %zu viewers (the server's recordings jobs); the plain way is the configuration port.\n\n",
              recordedBytes, RecordingJobs::kMaxJobs);
  if (recordedBytes == 0) std::fprintf(stderr, "the recording could not be written; its table is left out\n");
  else
    table(playCounts, {{tlsPort, true, playReq}, {confPort, false, playReq}, {nginxConfPort, true, playReq}},
          double(CNetVideoClient::kPartHeaderSize + recordedBytes));
  server.shutdown();
  for (CVideoCnl* c : takeAllChannels()) {
    c->stop();
    c->join();
    releaseTakenChannel(c);
    delete c;
  }
  nginx.stop();
  std::system(("rm -rf '" + dir + "'").c_str());
  return 0;
}

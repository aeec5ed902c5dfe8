// What one push-stream part costs its sender, plain and through TLS, when the sender sends
// back to back and when it sleeps between parts as a paced viewer's sender does.
//
// A reader thread drains a loopback connection (decrypting on the TLS rows); the sender writes
// a 32716-byte part (a 32635-byte picture with its part head) through CSocket::send, plain or
// over a TlsStream session of a self-signed context, the gateway's own HTTPS path. Its thread
// CPU time is taken around the part's sends and around the whole cycle with the pause. Rounds
// alternate the two ways; medians and minimums of the rounds.
//
// Usage: bench_tls_wake [parts per round, default 200] [rounds, default 5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/CSocket.h"
#include "base/TlsContext.h"
#include "base/TlsStream.h"
#include "bench/BenchSupport.h"
#include "platform/Clock.h"

namespace {

constexpr size_t kPartBytes = 32716;

struct Cost {
  double sendUs = 0, cycleUs = 0;  // per part
};

// One connection: accept side sends, a thread of its own reads.
Cost run(const std::shared_ptr<const TlsContext>& tls, int parts, uint64_t pauseNs) {
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
  listen(ls, 1);
  std::thread reader([&] {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    SSL_CTX* ctx = tls ? SSL_CTX_new(TLS_client_method()) : nullptr;
    SSL* ssl = tls ? SSL_new(ctx) : nullptr;
    if (ssl) SSL_set_fd(ssl, fd), SSL_connect(ssl);
    std::vector<char> buf(65536);
    while ((ssl ? SSL_read(ssl, buf.data(), int(buf.size())) : int(read(fd, buf.data(), buf.size()))) > 0) {
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
  });
  CSocket conn(accept4(ls, nullptr, nullptr, SOCK_CLOEXEC), false);
  close(ls);
  if (tls) {
    std::unique_ptr<TlsStream> s(new TlsStream(tls, conn.handle()));
    if (!s->accept(platform::monotonicNs() + 5000000000ull)) std::fprintf(stderr, "handshake failed\n");
    s->keepBuffers();
    conn.setTransport(std::move(s));
  }
  std::vector<uint8_t> part(kPartBytes);
  for (size_t i = 0; i < part.size(); ++i) part[i] = uint8_t(i * 7);
  Cost c;
  double sendS = 0;
  const double c0 = bench::threadCpuSeconds();
  for (int i = 0; i < parts; ++i) {
    if (pauseNs) platform::sleepNs(pauseNs);
    const double s0 = bench::threadCpuSeconds();
    for (size_t off = 0; off < part.size();) {
      const int n = conn.send(part.data() + off, part.size() - off);
      if (n > 0) off += size_t(n);
      else if (conn.waitWritable(200000000) < 0) break;
    }
    sendS += bench::threadCpuSeconds() - s0;
  }
  c.cycleUs = (bench::threadCpuSeconds() - c0) * 1e6 / parts;
  c.sendUs = sendS * 1e6 / parts;
  conn.shutdown();
  reader.join();
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int parts = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 200;
  const int rounds = argc > 2 && std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : 5;
  char dirTemplate[] = "/tmp/bench_tls_wake.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  std::string error;
  std::shared_ptr<const TlsContext> tls;
  if (makeSelfSigned(dir + "/c.pem", dir + "/k.pem", {"localhost"}, {"127.0.0.1"}, &error))
    tls = TlsContext::load(dir + "/c.pem", dir + "/k.pem", &error);
  std::system(("rm -rf '" + dir + "'").c_str());
  if (!tls) {
    std::fprintf(stderr, "no TLS context: %s\n", error.c_str());
    return 1;
  }
  std::printf("A %zu-byte part at a time over loopback, %d parts a round, %d rounds after a warm-up; sender's\n"
              "thread CPU per part: in its sends, and in the whole cycle with the pause. median (min)\n\n",
              kPartBytes, parts, rounds);
  std::printf("| pause between parts | plain: sends | plain: cycle | TLS: sends | TLS: cycle | TLS extra per part |\n"
              "|--:|--:|--:|--:|--:|--:|\n");
  for (const unsigned pauseMs : {0u, 50u}) {
    std::vector<double> ps, pc, ts, tc;
    for (int round = -1; round < rounds; ++round) {
      const bool tlsFirst = round % 2 != 0;
      const Cost first = run(tlsFirst ? tls : nullptr, pauseMs ? parts : parts * 50, uint64_t(pauseMs) * 1000000ull);
      const Cost second = run(tlsFirst ? nullptr : tls, pauseMs ? parts : parts * 50, uint64_t(pauseMs) * 1000000ull);
      if (round < 0) continue;
      const Cost& plain = tlsFirst ? second : first;
      const Cost& enc = tlsFirst ? first : second;
      ps.push_back(plain.sendUs), pc.push_back(plain.cycleUs), ts.push_back(enc.sendUs), tc.push_back(enc.cycleUs);
    }
    const auto cell = [](const std::vector<double>& v) {
      char b[48];
      std::snprintf(b, sizeof b, "%.1f (%.1f) µs", bench::median(v), bench::least(v));
      return std::string(b);
    };
    std::printf("| %u ms | %s | %s | %s | %s | %.1f µs |\n", pauseMs, cell(ps).c_str(), cell(pc).c_str(),
                cell(ts).c_str(), cell(tc).c_str(), bench::median(tc) - bench::median(pc));
    std::fflush(stdout);
  }
  return 0;
}

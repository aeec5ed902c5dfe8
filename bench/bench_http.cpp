// Reading a camera's multipart JPEG stream through CHTTPSocket against plain recv() of the same
// bytes over a loopback connection. The socket reader is used the way a camera client uses it:
// boundary line and part head with read_line, the picture with recv_all. Prints a table.
//
//   bench_http [parts] [runs]      (defaults: 400 parts of 60 KB, best of 5 runs)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "base/CHTTPSocket.h"

namespace {

constexpr size_t kPartBytes = 60 * 1024;
const char kBoundary[] = "--telvgateboundary";

std::string buildStream(int parts) {
  std::string body(kPartBytes, '\0');
  uint32_t x = 12345;
  for (char& c : body) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  body[0] = char(0xFF), body[1] = char(0xD8);
  body[kPartBytes - 2] = char(0xFF), body[kPartBytes - 1] = char(0xD9);
  std::string head = std::string(kBoundary) + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                     std::to_string(kPartBytes) + "\r\n\r\n";
  std::string s;
  s.reserve(size_t(parts) * (head.size() + kPartBytes + 2));
  for (int i = 0; i < parts; ++i) s += head + body + "\r\n";
  return s;
}

// A connected loopback pair, made the way a camera client connects: the reading end is a
// CHTTPSocket made by create() and connect(); the writing end (the "camera") is the accepted one.
bool loopbackPair(CHTTPSocket* reader, int* writer) {
  int l = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (l < 0 || ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(l, 1) != 0 ||
      ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return false;
  if (reader->create() != 0 || reader->connect(a, 1000) != 0) return false;
  *writer = ::accept(l, nullptr, nullptr);
  ::close(l);
  return *writer >= 0;
}

void sendAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::send(fd, s.data() + done, std::min<size_t>(s.size() - done, 1 << 20), MSG_NOSIGNAL);
    if (n <= 0) return;
    done += size_t(n);
  }
}

// Returns the number of pictures read whole and well-formed.
int readWithHttpSocket(CHTTPSocket& s, int parts) {
  std::vector<char> pic(kPartBytes + 1024);
  std::string line;
  int good = 0;
  for (int i = 0; i < parts; ++i) {
    do {
      if (!s.read_line(line, CHTTPSocket::kLineCapacity, 2)) return good;
    } while (line.empty());
    if (line != kBoundary) return good;
    std::map<std::string, std::string> head;
    if (!s.read_headers(head, 2)) return good;
    size_t len = std::strtoul(s.header(head, "Content-Length:").c_str(), nullptr, 10);
    if (len == 0 || len > pic.size()) return good;
    if (s.recv_all(pic.data(), len, 2, 0) != int(len)) return good;
    if (uint8_t(pic[0]) == 0xFF && uint8_t(pic[1]) == 0xD8 && uint8_t(pic[len - 1]) == 0xD9) ++good;
  }
  return good;
}

size_t readPlain(CHTTPSocket& s, size_t total) {
  const int fd = s.handle();
  std::vector<char> buf(64 * 1024);
  size_t got = 0;
  while (got < total) {
    ssize_t n = ::recv(fd, buf.data(), std::min(buf.size(), total - got), 0);
    if (n <= 0) break;
    got += size_t(n);
  }
  return got;
}

struct Result {
  double seconds = 1e9;     // wall time from connection to the last byte read
  double cpuSeconds = 1e9;  // processor time of the reading thread alone
  bool complete = true;
};

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <typename Reader>
Result timeRun(const std::string& stream, bool readAhead, Reader read) {
  CHTTPSocket r;
  int w = -1;
  Result res;
  if (!loopbackPair(&r, &w)) {
    res.complete = false;
    return res;
  }
  r.setReadAhead(readAhead);
  auto start = std::chrono::steady_clock::now();
  const double cpuStart = threadCpuSeconds();
  std::thread sender([&] { sendAll(w, stream); });
  res.complete = read(r);
  res.cpuSeconds = threadCpuSeconds() - cpuStart;
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.close();
  ::shutdown(w, SHUT_RDWR);
  sender.join();
  ::close(w);
  return res;
}

}  // namespace

struct Best {
  double wall = 1e9, cpu = 1e9;
  void add(const Result& r) {
    wall = std::min(wall, r.seconds);
    cpu = std::min(cpu, r.cpuSeconds);
  }
};

int main(int argc, char** argv) {
  const int parts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 800;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  const std::string stream = buildStream(parts);
  // Best of several interleaved runs: the machine is shared, and the best run shows the cost of
  // the code rather than of its neighbours. The reader's own processor time is steadier still.
  Best ahead, exact, plain;
  bool ok = true;
  for (int i = 0; i < runs; ++i) {
    Result a = timeRun(stream, true, [&](CHTTPSocket& s) { return readWithHttpSocket(s, parts) == parts; });
    Result e = timeRun(stream, false, [&](CHTTPSocket& s) { return readWithHttpSocket(s, parts) == parts; });
    Result p = timeRun(stream, false, [&](CHTTPSocket& s) { return readPlain(s, stream.size()) == stream.size(); });
    ok = ok && a.complete && e.complete && p.complete;
    ahead.add(a);
    exact.add(e);
    plain.add(p);
  }
  const double mb = double(stream.size()) / (1024.0 * 1024.0);
  std::printf("Multipart stream over loopback: %d parts of %zu bytes (%.1f MB), best of %d runs\n", parts,
              kPartBytes, mb, runs);
  std::printf("| Reader                                      |  MB/s | parts/s | vs plain | reader CPU us/part | vs plain |\n");
  std::printf("|---------------------------------------------|------:|--------:|---------:|-------------------:|---------:|\n");
  auto row = [&](const char* name, const Best& b) {
    std::printf("| %-43s | %5.0f | %7.0f | %7.0f%% | %18.1f | %7.0f%% |\n", name, mb / b.wall, parts / b.wall,
                100.0 * plain.wall / b.wall, 1e6 * b.cpu / parts, 100.0 * plain.cpu / b.cpu);
  };
  row("CHTTPSocket, read-ahead (client default)", ahead);
  row("CHTTPSocket, exact reads (accepted default)", exact);
  row("plain recv() of the same bytes, 64 KB", plain);
  if (!ok) {
    std::printf("ERROR: a run did not read the whole stream intact\n");
    return 1;
  }
  return 0;
}

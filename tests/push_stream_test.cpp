// The live push stream over real loopback connections: framing, pacing, and how a stream ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/CLogFile.h"
#include "channels/CNetVideoClient.h"
#include "channels/PictureBlocks.h"
#include "platform/Clock.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestChannel.h"
#include "tests/support/Waiting.h"

namespace {

using Clock = std::chrono::steady_clock;

// A listening socket on 127.0.0.1 with an OS-chosen port.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_fd, 64);
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
  }
  ~Listener() { close(m_fd); }
  uint16_t port() const { return m_port; }
  // Accepts one connection within 2 s; -1 otherwise.
  int acceptOne() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return -1;
    return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

// Reads exactly n bytes within timeoutMs: n, or what arrived before end of stream / time-out.
size_t readExact(int fd, void* buf, size_t n, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t got = 0;
  while (got < n) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) != 1) break;
    const ssize_t r = recv(fd, static_cast<char*>(buf) + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

// One received part: its header text and body.
struct Part {
  std::string header;
  std::vector<uint8_t> body;
  Clock::time_point arrived;
  uint64_t arrivedWallNs = 0;
};

bool readPart(int fd, Part* part, int timeoutMs) {
  char hdr[CNetVideoClient::kPartHeaderSize];
  if (readExact(fd, hdr, sizeof hdr, timeoutMs) != sizeof hdr) return false;
  part->arrived = Clock::now();
  part->arrivedWallNs = platform::nowNs();
  part->header.assign(hdr, sizeof hdr);
  const unsigned length = static_cast<unsigned>(std::stoul(part->header.substr(70, 7)));
  part->body.resize(length);
  return readExact(fd, part->body.data(), length, timeoutMs) == length;
}

// A channel plus a helper that hands accepted connections to new push-stream consumers, as
// the channel endpoint does after its response head.
struct StreamRig {
  explicit StreamRig(TestChannel::Options o) : cnl(o) { EXPECT_TRUE(cnl.startChannel()); }

  // Connects a client and starts a consumer for it; returns the client's fd.
  int open(uint32_t periodMs, CNetVideoClient** out = nullptr, int rcvBuf = 0,
           int sendTimeoutMs = 0, uint32_t failPauseMs = 0) {
    int client = connectTo(listener.port(), rcvBuf);
    int server = listener.acceptOne();
    EXPECT_GE(client, 0);
    EXPECT_GE(server, 0);
    auto* c = new CNetVideoClient(&cnl, server, periodMs);
    if (sendTimeoutMs) c->setSendTimeoutMs(sendTimeoutMs);
    if (failPauseMs) c->setFailPauseMs(failPauseMs);
    EXPECT_TRUE(c->start());
    if (out) *out = c;
    return client;
  }

  Listener listener;
  TestChannel cnl;
};

TestChannel::Options periodic(uint32_t periodMs) {
  TestChannel::Options o;
  o.periodMs = periodMs;
  o.withRecorder = false;
  return o;
}

size_t countLines(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
    ++n;
  return n;
}

}  // namespace

TEST(PushPeriod, FpsValueToPeriod) {
  auto period = [](const char* fps) {
    std::string s = fps ? fps : "";
    return CNetVideoClient::periodMsFromFps(fps ? &s : nullptr);
  };
  EXPECT_EQ(period(nullptr), 100u);
  EXPECT_EQ(period("2"), 500u);
  EXPECT_EQ(period("50"), 50u);
  EXPECT_EQ(period("20"), 50u);
  EXPECT_EQ(period("3"), 333u);
  EXPECT_EQ(period("1.5"), 666u);
  EXPECT_EQ(period("0.5"), 1000u) << "capped at one second";
  EXPECT_EQ(period("0.1"), 1000u);
  EXPECT_EQ(period("0.05"), 50u) << "below 0.1 counts as unreadable";
  EXPECT_EQ(period("abc"), 50u);
  EXPECT_EQ(period(""), 50u);
  EXPECT_EQ(period("-4"), 50u);
  EXPECT_EQ(period("nan"), 50u);
  EXPECT_EQ(period("inf"), 50u);
  EXPECT_EQ(period("1e9"), 50u);
}

TEST(PushStream, PartHeaderAnnouncesTheLengthInSevenDigits) {
  TestChannel::Options o = periodic(0);
  StreamRig rig(o);
  std::vector<uint8_t> pic(1234);
  for (size_t i = 0; i < pic.size(); ++i) pic[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(rig.cnl.publishRaw(pic));
  int fd = rig.open(50);
  Part part;
  ASSERT_TRUE(readPart(fd, &part, 2000));
  EXPECT_EQ(part.header,
            "\r\n--TELVORA_Fast_Serverpush\r\nContent-Type: image/jpg\r\nContent-length: 0001234\r\n\r\n");
  EXPECT_EQ(part.body, pic);
  // The next, larger picture: the header copy is patched in place, never appended to.
  const uint32_t len = rig.cnl.publishPicture();
  ASSERT_TRUE(readPart(fd, &part, 2000));
  char digits[8];
  snprintf(digits, sizeof digits, "%07u", len);
  EXPECT_EQ(part.header.substr(70, 7), digits);
  EXPECT_EQ(part.body, rig.cnl.lastPicture());
  int w = 0, h = 0;
  EXPECT_TRUE(TestChannel::decodeJpeg(part.body.data(), part.body.size(), &w, &h));
  close(fd);
}

TEST(PushStream, PatchLengthRefusesWhatDoesNotFit) {
  char hdr[CNetVideoClient::kPartHeaderSize];
  memcpy(hdr, CNetVideoClient::kPartHeader, sizeof hdr);
  EXPECT_TRUE(CNetVideoClient::patchLength(hdr, 524288));
  EXPECT_EQ(std::string(hdr + 70, 11), "0524288\r\n\r\n");
  EXPECT_FALSE(CNetVideoClient::patchLength(hdr, 10000000));
  EXPECT_EQ(std::string(hdr + 70, 7), "0524288");
}

// Clients at 1000, 500, 100 and 50 ms share one channel producing every 5 ms. Pacing counts
// from the previous picture's source time: no part leaves before the previous picture's time
// stamp plus the period, whatever the load, and the rate is about one part per period.
TEST(PushStream, EachClientIsPacedToItsPeriod) {
  StreamRig rig(periodic(5));
  const uint32_t periods[] = {1000, 500, 100, 50};
  std::vector<int> fds;
  for (uint32_t p : periods) fds.push_back(rig.open(p));
  std::vector<std::vector<Part>> got(fds.size());
  std::vector<std::thread> readers;
  const int windowMs = 2100;
  for (size_t i = 0; i < fds.size(); ++i) {
    readers.emplace_back([&, i] {
      const auto t0 = Clock::now();
      Part part;
      for (;;) {
        const int left = windowMs - static_cast<int>(msSince(t0));
        if (left <= 0 || !readPart(fds[i], &part, left)) break;
        got[i].push_back(part);
      }
    });
  }
  for (auto& t : readers) t.join();
  for (size_t i = 0; i < fds.size(); ++i) {
    const uint64_t periodNs = periods[i] * 1000000ull;
    // A gap can be short of the period by the producer's period (5 ms): the next part is the
    // newest picture at the due time.
    EXPECT_LE(got[i].size(), windowMs / (periods[i] - 5) + 2) << "period " << periods[i];
    ASSERT_GE(got[i].size(), 2u) << "period " << periods[i];
    // Not slower than asked either: the median gap (robust against one scheduling stall on a
    // loaded machine) stays near the period.
    std::vector<double> gaps;
    for (size_t k = 1; k < got[i].size(); ++k)
      gaps.push_back(std::chrono::duration<double, std::milli>(got[i][k].arrived -
                                                               got[i][k - 1].arrived)
                         .count());
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LE(gaps[gaps.size() / 2], periods[i] * 1.2 + 20) << "period " << periods[i];
    uint64_t prevUs = 0;
    for (size_t k = 0; k < got[i].size(); ++k) {
      uint64_t us = 0;
      ASSERT_TRUE(pictureblocks::readPictureTimeUs(got[i][k].body.data(), got[i][k].body.size(), &us));
      if (k > 0) {
        EXPECT_GT(us, prevUs) << "never the same picture twice";
        EXPECT_GE(got[i][k].arrivedWallNs, prevUs * 1000 + periodNs)
            << "period " << periods[i] << " part " << k;
      }
      prevUs = us;
    }
    close(fds[i]);
  }
}

TEST(PushStream, CurlReceivesValidParts) {
  StreamRig rig(periodic(20));
  std::atomic<bool> done{false};
  std::thread server([&] {
    int fd = rig.listener.acceptOne();
    if (fd < 0) return;
    char buf[2048];
    std::string req;
    while (req.find("\r\n\r\n") == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1) break;
      ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r <= 0) break;
      req.append(buf, static_cast<size_t>(r));
    }
    const char head[] =
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-type: multipart/x-mixed-replace; "
        "boundary=\"--TELVORA_Fast_Serverpush\"\r\n\r\n";
    send(fd, head, sizeof head - 1, MSG_NOSIGNAL);
    auto* c = new CNetVideoClient(&rig.cnl, fd, 100);
    if (!c->start()) delete c;
    done = true;
  });
  char tmpl[] = "/tmp/telvgate-curl-XXXXXX";
  int outFd = mkstemp(tmpl);
  ASSERT_GE(outFd, 0);
  close(outFd);
  const std::string cmd = "curl -s -N --max-time 1 -o " + std::string(tmpl) + " http://127.0.0.1:" +
                          std::to_string(rig.listener.port()) + "/control/faststream.jpg";
  const int rc = system(cmd.c_str());
  server.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(WEXITSTATUS(rc), 28) << "curl ends by its own time limit while the stream goes on";
  FILE* f = fopen(tmpl, "rb");
  ASSERT_NE(f, nullptr);
  std::string data;
  char buf[65536];
  size_t r;
  while ((r = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, r);
  fclose(f);
  unlink(tmpl);

  const std::string boundary = "\r\n--TELVORA_Fast_Serverpush\r\n";
  size_t pos = 0, complete = 0;
  while ((pos = data.find(boundary, pos)) != std::string::npos) {
    const size_t lenAt = data.find("Content-length: ", pos);
    const size_t bodyAt = data.find("\r\n\r\n", pos + boundary.size());
    if (lenAt == std::string::npos || bodyAt == std::string::npos) break;
    const size_t len = std::stoul(data.substr(lenAt + 16, 7));
    if (bodyAt + 4 + len > data.size()) break;  // the last part may be cut by curl's limit
    int w = 0, h = 0;
    EXPECT_TRUE(TestChannel::decodeJpeg(reinterpret_cast<const uint8_t*>(data.data() + bodyAt + 4),
                                        len, &w, &h));
    EXPECT_EQ(w, 320);
    ++complete;
    pos = bodyAt + 4 + len;
  }
  // About 10 parts at 100 ms in one second: pacing counts from the previous picture's source
  // time, so a gap can be short by up to one producer period (20 ms here).
  EXPECT_GE(complete, 6u);
  EXPECT_LE(complete, 14u);
}

// The real time-outs: a channel whose current record went empty fails every wait at once,
// so the client is dropped after 5 failed waits and 5 pauses of 500 ms.
TEST(PushStream, EndsAfterFiveFailedWaits) {
  StreamRig rig(periodic(0));
  rig.cnl.publishPicture();
  CNetVideoClient* c = nullptr;
  int fd = rig.open(50, &c);
  Part part;
  ASSERT_TRUE(readPart(fd, &part, 2000));
  const std::string logBefore = g_logFile.logText(0);
  const auto t0 = Clock::now();
  rig.cnl.publishPicture();
  rig.cnl.publishEmpty();  // a newer, empty record: waits fail without waiting
  char byte;
  // Whatever was already sent may arrive; then the stream ends.
  while (readExact(fd, &byte, 1, 4000) == 1) {
  }
  const double ms = msSince(t0);
  EXPECT_GE(ms, 2400);
  EXPECT_LT(ms, 3400);
  ASSERT_TRUE(waitFor([&] { return !c->running(); }, 1000));  // the stop line follows the close
  const std::string log = g_logFile.logText(0);
  EXPECT_EQ(countLines(log, "waitNewFrame() failed!") -
                countLines(logBefore, "waitNewFrame() failed!"),
            5u);
  EXPECT_EQ(countLines(log, "Stopped video client thread. id=") -
                countLines(logBefore, "Stopped video client thread. id="),
            1u);
  close(fd);
}

TEST(PushStream, ChannelWithoutPicturesSendsNothing) {
  StreamRig rig(periodic(0));
  rig.cnl.setWaitTimeoutNs(40000000ull);
  int fd = rig.open(50, nullptr, 0, 0, 10);
  char buf[16];
  const auto t0 = Clock::now();
  EXPECT_EQ(readExact(fd, buf, sizeof buf, 3000), 0u) << "no byte before the stream ends";
  EXPECT_LT(msSince(t0), 1000) << "5 x (40 ms wait + 10 ms pause)";
  close(fd);
}

TEST(PushStream, DisconnectedClientEndsAndIsReapedByTheNextOne) {
  StreamRig rig(periodic(10));
  const std::string logBefore = g_logFile.logText(0);
  CNetVideoClient* first = nullptr;
  int fd = rig.open(50, &first);
  Part part;
  ASSERT_TRUE(readPart(fd, &part, 2000));
  close(fd);
  ASSERT_TRUE(waitFor([&] { return !first->running(); }, 2000));
  const std::string log = g_logFile.logText(0);
  EXPECT_EQ(countLines(log, "Stopped video client thread. id=") -
                countLines(logBefore, "Stopped video client thread. id="),
            1u);
  EXPECT_EQ(rig.cnl.clientCount(), 1u);
  int fd2 = rig.open(50);
  ASSERT_TRUE(readPart(fd2, &part, 2000));
  EXPECT_EQ(rig.cnl.clientCount(), 1u) << "the ended client was joined and destroyed";
  close(fd2);
}

TEST(PushStream, StartLineNamesThreadAndPeriod) {
  StreamRig rig(periodic(10));
  int fd = rig.open(333);
  Part part;
  ASSERT_TRUE(readPart(fd, &part, 2000));
  const std::string log = g_logFile.logText(0);
  const size_t at = log.find("Started video client thread. id=");
  ASSERT_NE(at, std::string::npos);
  const std::string id = log.substr(at + 32, 8);
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
  EXPECT_EQ(log.substr(at + 40, 9), " T=333ms\n");
  EXPECT_NE(log.find("CNetVideoClient::run : Net client  : Started"), std::string::npos);
  close(fd);
}

// A viewer that stops reading must hold up only its own thread: the producer and a second
// viewer go on at their pace, stop() wakes the blocked sender, and the send time-out ends the
// stream on its own.
TEST(PushStream, StalledReaderBlocksOnlyItself) {
  TestChannel::Options o = periodic(20);
  o.width = 640;
  o.height = 480;
  o.noise = true;  // large pictures fill the socket buffers quickly
  o.quality = 95;
  StreamRig rig(o);
  CNetVideoClient* stalled = nullptr;
  int stalledFd = rig.open(50, &stalled, 4096, 400);
  int liveFd = rig.open(50);
  const uint32_t before = rig.cnl.publishedCount();
  const auto t0 = Clock::now();
  Part part;
  int live = 0;
  while (msSince(t0) < 1000 && readPart(liveFd, &part, 1000)) ++live;
  // Nominally 20 and 50 per second; the bounds leave room for a loaded machine and a
  // sanitizer build (encoding these pictures under ThreadSanitizer takes tens of ms), while a
  // blocked producer would deliver next to nothing.
  EXPECT_GE(live, 8) << "the live viewer keeps streaming";
  EXPECT_GE(rig.cnl.publishedCount() - before, 10u) << "the producer keeps publishing";
  // The send time-out (400 ms here, 5 s by default) ends the stalled stream by itself.
  EXPECT_TRUE(waitFor([&] { return !stalled->running(); }, 2000));
  close(stalledFd);
  close(liveFd);
}

// A slow reader makes the sends stop at arbitrary bytes of header or picture, again and again:
// every part must still arrive whole and in order.
TEST(PushStream, SlowReaderGetsWholeParts) {
  TestChannel::Options o = periodic(20);
  o.width = 640;
  o.height = 480;
  o.noise = true;
  o.quality = 95;
  StreamRig rig(o);
  int fd = rig.open(50, nullptr, 4096);
  std::vector<uint8_t> bytes;
  char buf[3000];
  const auto t0 = Clock::now();
  while (bytes.size() < 2000000 && msSince(t0) < 5000) {
    const size_t got = readExact(fd, buf, sizeof buf, 1000);
    if (got == 0) break;
    bytes.insert(bytes.end(), buf, buf + got);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  size_t at = 0, parts = 0;
  while (at + CNetVideoClient::kPartHeaderSize <= bytes.size()) {
    const std::string hdr(bytes.begin() + at, bytes.begin() + at + CNetVideoClient::kPartHeaderSize);
    ASSERT_EQ(hdr.substr(0, 30), std::string(CNetVideoClient::kPartHeader, 30)) << "part " << parts;
    const size_t length = std::stoul(hdr.substr(70, 7));
    at += CNetVideoClient::kPartHeaderSize;
    if (at + length > bytes.size()) break;
    EXPECT_EQ(bytes[at], 0xFF);
    EXPECT_EQ(bytes[at + 1], 0xD8);
    EXPECT_EQ(bytes[at + length - 2], 0xFF);
    EXPECT_EQ(bytes[at + length - 1], 0xD9);
    at += length;
    ++parts;
  }
  EXPECT_GE(parts, 3u) << bytes.size() << " bytes in " << msSince(t0) << " ms";
  close(fd);
}

TEST(PushStream, StopWakesASenderBlockedOnAStalledReader) {
  TestChannel::Options o = periodic(20);
  o.width = 640;
  o.height = 480;
  o.noise = true;
  o.quality = 95;
  auto rig = std::make_unique<StreamRig>(o);
  CNetVideoClient* stalled = nullptr;
  int fd = rig->open(50, &stalled, 4096);  // default 5 s send time-out
  // Let it fill the buffers and block.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(stalled->running());
  const auto t0 = Clock::now();
  rig->cnl.stop();
  rig.reset();  // stops, joins and destroys the consumer
  EXPECT_LT(msSince(t0), 1000);
  close(fd);
}

TEST(PushStream, ChannelStopEndsTheStreamAtOnce) {
  StreamRig rig(periodic(20));
  CNetVideoClient* c = nullptr;
  int fd = rig.open(50, &c);
  Part part;
  ASSERT_TRUE(readPart(fd, &part, 2000));
  const auto t0 = Clock::now();
  rig.cnl.stop();
  char buf[65536];
  while (readExact(fd, buf, sizeof buf, 3000) == sizeof buf) {
  }
  EXPECT_LT(msSince(t0), 400) << "no 5 x 500 ms of failed waits once the channel stops";
  EXPECT_TRUE(waitFor([&] { return !c->running(); }, 1000));
  close(fd);
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/CSocket.h"
#include "platform/Clock.h"
#include "platform/Net.h"
#include "tests/net_loopback.h"

using nettest::Pair;
using nettest::Stopwatch;

namespace {

// Sends the pieces one after another with a pause before each, from a thread of its own.
std::thread slowSender(const Pair& p, std::vector<std::string> pieces, int pauseMs) {
  int fd = p.client;
  return std::thread([fd, pieces, pauseMs] {
    for (const auto& s : pieces) {
      platform::sleepMs(pauseMs);
      ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    }
  });
}

}  // namespace

// The line reader's rules hold in both reading modes: exact (peek, then take the line) and
// read-ahead (lines served from the internal buffer).
class SocketLineReader : public ::testing::TestWithParam<bool> {
 protected:
  void wrap(CSocket& s) { s.setReadAhead(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Modes, SocketLineReader, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "ReadAhead" : "Exact"; });

TEST_P(SocketLineReader, SplitsLinesAndDropsCarriageReturns) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  wrap(s);
  ASSERT_TRUE(p.send("first\r\nsecond\nth\rir\rd\r\n\r\n\nlast"));
  std::string line;
  ASSERT_TRUE(s.read_line(line, 5120, 1));
  EXPECT_EQ(line, "first");
  ASSERT_TRUE(s.read_line(line, 5120, 1));
  EXPECT_EQ(line, "second");
  ASSERT_TRUE(s.read_line(line, 5120, 1));
  EXPECT_EQ(line, "third");
  ASSERT_TRUE(s.read_line(line, 5120, 1));
  EXPECT_EQ(line, "");
  ASSERT_TRUE(s.read_line(line, 5120, 1));
  EXPECT_EQ(line, "");
  // "last" has no line feed; the peer then closes: no line.
  p.closeClient();
  EXPECT_FALSE(s.read_line(line, 5120, 1));
}

TEST_P(SocketLineReader, CapacityCountsStoredCharactersOnly) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  wrap(s);
  const std::string longest(5119, 'x');
  // Carriage returns anywhere do not count against the capacity.
  std::string withCr = longest.substr(0, 1000) + "\r\r\r" + longest.substr(1000) + "\r\n";
  ASSERT_TRUE(p.send(longest + "\r\n" + withCr + longest + "y\n"));
  char buf[5120];
  size_t len = sizeof buf;
  ASSERT_TRUE(s.read_line(buf, len, 1));
  EXPECT_EQ(len, 5119u);
  EXPECT_EQ(buf[5119], '\0');
  EXPECT_EQ(std::string(buf, len), longest);
  len = sizeof buf;
  ASSERT_TRUE(s.read_line(buf, len, 1));
  EXPECT_EQ(std::string(buf, len), longest);
  len = sizeof buf;
  EXPECT_FALSE(s.read_line(buf, len, 1));  // 5120 characters
}

TEST_P(SocketLineReader, TinyCapacities) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  wrap(s);
  ASSERT_TRUE(p.send("\r\nab\nc"));
  char buf[3];
  size_t len = 1;
  ASSERT_TRUE(s.read_line(buf, len, 1));  // room for the terminating zero only
  EXPECT_EQ(len, 0u);
  len = 3;
  ASSERT_TRUE(s.read_line(buf, len, 1));
  EXPECT_STREQ(buf, "ab");
  len = 0;
  EXPECT_FALSE(s.read_line(buf, len, 1));
}

TEST_P(SocketLineReader, MultipartPartsOfEverySizeArriveIntact) {
  // Heads by lines, bodies by recv_all: bodies smaller and larger than any internal buffer, and
  // one byte-wise read, the way a camera client without a part length reads a picture.
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  wrap(s);
  const size_t sizes[] = {1, 700, 16383, 65535, 65536, 65537, 200000, 3};
  std::string stream, expected;
  uint32_t x = 7;
  for (size_t n : sizes) {
    std::string body(n, '\0');
    for (char& c : body) c = char((x = x * 1664525u + 1013904223u) >> 24);
    stream += "--b\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n" + body + "\r\n";
    expected += body;
  }
  std::thread sender([&] { p.send(stream); });
  std::string got, line;
  std::vector<char> buf(200000);
  for (size_t n : sizes) {
    ASSERT_TRUE(s.read_line(line, 5120, 2));
    ASSERT_EQ(line, "--b");
    ASSERT_TRUE(s.read_line(line, 5120, 2));
    ASSERT_EQ(line, "Content-Length: " + std::to_string(n));
    ASSERT_TRUE(s.read_line(line, 5120, 2));
    ASSERT_EQ(line, "");
    if (n == 3) {
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(s.recv_all(&buf[i], 1, 2, 0), 1);
    } else {
      ASSERT_EQ(s.recv_all(buf.data(), n, 2, 0), int(n));
    }
    got.append(buf.data(), n);
    ASSERT_TRUE(s.read_line(line, 5120, 2));
    ASSERT_EQ(line, "");
  }
  sender.join();
  EXPECT_TRUE(got == expected);
}

TEST(SocketExactReads, AcceptedConnectionLeavesFollowingBytesForOtherReaders) {
  // A request followed at once by binary data: after the lines are read the handle goes to
  // another owner, which must still get every byte the peer sent.
  Pair p;
  ASSERT_TRUE(p.ok());
  std::string binary;
  for (int i = 0; i < 3000; ++i) binary += char(i * 7);
  ASSERT_TRUE(p.send("GET / HTTP/1.0\r\n\r\n" + binary));
  CSocket first(p.takeServer());
  EXPECT_FALSE(first.readAhead());
  std::string line;
  ASSERT_TRUE(first.read_line(line, 5120, 1));
  ASSERT_TRUE(first.read_line(line, 5120, 1));
  EXPECT_EQ(line, "");
  CSocket second(first.release());
  EXPECT_FALSE(first.isOpen());
  std::string got(binary.size(), '\0');
  EXPECT_EQ(second.recv_all(&got[0], got.size(), 1, 0), int(binary.size()));
  EXPECT_EQ(got, binary);
}

TEST_P(SocketLineReader, TimeoutBoundsSilenceNotTheWholeLine) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  wrap(s);
  // Six pieces 250 ms apart: 1.5 s for the line, never 1 s of silence.
  std::thread t = slowSender(p, {"a", "b", "c", "d", "e", "f\n"}, 250);
  std::string line;
  Stopwatch w;
  EXPECT_TRUE(s.read_line(line, 5120, 1));
  t.join();
  EXPECT_EQ(line, "abcdef");
  EXPECT_GT(w.seconds(), 1.2);
}

TEST_P(SocketLineReader, FailsAfterTimeoutOfSilence) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  wrap(s);
  ASSERT_TRUE(p.send("partial"));
  std::string line;
  Stopwatch w;
  EXPECT_FALSE(s.read_line(line, 5120, 1));
  EXPECT_GE(w.seconds(), 0.95);
  EXPECT_LT(w.seconds(), 2.0);
  EXPECT_EQ(s.lastError(), ETIMEDOUT);
}

TEST(SocketReadAhead, CreatedSocketBuffersAndHandsBytesOutInOrder) {
  nettest::Listener l;
  ASSERT_GE(l.fd, 0);
  CSocket c;
  ASSERT_EQ(c.create(), 0);
  EXPECT_TRUE(c.readAhead());
  ASSERT_EQ(c.connect(l.address(), 1000), 0);
  int peer = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(peer, 0);
  const std::string data = "one\r\ntwo\nBODY0123456789tail\nx";
  ASSERT_EQ(::send(peer, data.data(), data.size(), 0), ssize_t(data.size()));
  std::string line;
  ASSERT_TRUE(c.read_line(line, 100, 1));
  EXPECT_EQ(line, "one");
  EXPECT_EQ(c.buffered(), data.size() - 5);  // everything that had arrived was taken at once
  ASSERT_TRUE(c.read_line(line, 100, 1));
  EXPECT_EQ(line, "two");
  char buf[16];
  EXPECT_EQ(c.recv(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "BODY");
  EXPECT_EQ(c.recv_all(buf, 10, 1, 0), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_TRUE(c.waitReadable(0));  // buffered bytes count as readable
  ASSERT_TRUE(c.read_line(line, 100, 1));
  EXPECT_EQ(line, "tail");
  // The rest of the buffer first, then fresh bytes from the connection.
  ASSERT_EQ(::send(peer, "yz", 2, 0), 2);
  EXPECT_EQ(c.recv_all(buf, 3, 1, 0), 3);
  EXPECT_EQ(std::string(buf, 3), "xyz");
  EXPECT_EQ(c.buffered(), 0u);
  // A closed connection drops what is left over: a new one starts empty.
  ASSERT_EQ(::send(peer, "left\nover", 9, 0), 9);
  ASSERT_TRUE(c.read_line(line, 100, 1));
  EXPECT_GT(c.buffered(), 0u);
  c.close();
  EXPECT_EQ(c.buffered(), 0u);
  ::close(peer);
}

TEST(SocketReadAhead, CanBeSwitchedOffForExactReads) {
  nettest::Listener l;
  ASSERT_GE(l.fd, 0);
  CSocket c;
  ASSERT_EQ(c.create(), 0);
  c.setReadAhead(false);
  ASSERT_EQ(c.connect(l.address(), 1000), 0);
  int peer = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(::send(peer, "line\nrest", 9, 0), 9);
  std::string line;
  ASSERT_TRUE(c.read_line(line, 100, 1));
  EXPECT_EQ(c.buffered(), 0u);
  char buf[4];
  EXPECT_EQ(::recv(c.handle(), buf, 4, 0), 4);  // still in the kernel, for anyone holding the handle
  EXPECT_EQ(std::string(buf, 4), "rest");
  ::close(peer);
}

TEST(SocketDeadline, EndsAReadThatKeepsTrickling) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  s.setDeadline(platform::monotonicNs() + 300000000ull);
  std::thread t = slowSender(p, std::vector<std::string>(12, "x"), 50);
  std::string line;
  Stopwatch w;
  EXPECT_FALSE(s.read_line(line, 5120, 5));
  double took = w.seconds();
  t.join();
  EXPECT_GE(took, 0.25);
  EXPECT_LT(took, 1.0);
  // Once passed, every wait fails at once, also with data waiting.
  char c;
  EXPECT_EQ(s.recv_all(&c, 1, 5, 0), 0);
  EXPECT_FALSE(s.waitReadable(1000));
  s.setDeadline(0);
  EXPECT_TRUE(s.waitReadable(1000));
}

namespace {
int64_t kernelRecvTimeoutMs(int fd) {
  timeval tv{};
  socklen_t len = sizeof tv;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  return int64_t(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}
}  // namespace

TEST(SocketTimeouts, PlainRecvKeepsTheCallersOwnTimeout) {
  // Timed reads borrow the kernel's receive time-out; a plain recv() must get the caller's back.
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  ASSERT_TRUE(p.send("a\nbc"));
  std::string line;
  ASSERT_TRUE(s.read_line(line, 100, 3));
  char buf[4];
  EXPECT_EQ(s.recv(buf, 1), 1);
  EXPECT_EQ(kernelRecvTimeoutMs(s.handle()), 0);  // no limit, as before the timed read
  ASSERT_EQ(s.setRecvTimeout(150), 0);
  EXPECT_EQ(s.recv_all(buf, 1, 3, 0), 1);
  Stopwatch w;
  EXPECT_EQ(s.recv(buf, 1), -1);
  EXPECT_GE(w.seconds(), 0.14);
  EXPECT_LT(w.seconds(), 1.0);
  EXPECT_GE(kernelRecvTimeoutMs(s.handle()), 150);  // the kernel rounds up to its clock ticks
  EXPECT_LT(kernelRecvTimeoutMs(s.handle()), 170);
}

TEST(SocketTimeouts, NonBlockingSocketStillWaitsForData) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer(), false);
  std::thread t = slowSender(p, {"late line\n", "xyz"}, 100);
  std::string line;
  EXPECT_TRUE(s.read_line(line, 100, 2));
  EXPECT_EQ(line, "late line");
  char buf[3];
  EXPECT_EQ(s.recv_all(buf, 3, 2, 0), 3);
  t.join();
  Stopwatch w;
  EXPECT_EQ(s.recv_all(buf, 3, 0, 100000), 0);
  EXPECT_GE(w.seconds(), 0.09);
}

TEST(SocketRecvAll, CollectsPiecesAndStopsAtTheLength) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  std::thread t = slowSender(p, {"01234", "56789", "abc"}, 30);
  char buf[10];
  EXPECT_EQ(s.recv_all(buf, sizeof buf, 1, 0), 10);
  t.join();
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(s.recv_all(buf, 3, 1, 0), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST(SocketRecvAll, ShortCountOnTimeoutZeroOnSilenceOrClose) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  char buf[10];
  ASSERT_TRUE(p.send("1234"));
  Stopwatch w;
  EXPECT_EQ(s.recv_all(buf, sizeof buf, 0, 200000), 4);  // 200 ms after the last byte
  EXPECT_GE(w.seconds(), 0.18);
  EXPECT_LT(w.seconds(), 1.0);
  EXPECT_EQ(s.recv_all(buf, sizeof buf, 0, 100000), 0);
  p.closeClient();
  EXPECT_EQ(s.recv_all(buf, sizeof buf, 1, 0), 0);
}

TEST(SocketRecvAll, MinusOneOnConnectionReset) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  linger hard{1, 0};
  ASSERT_EQ(::setsockopt(p.client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  p.closeClient();  // sends a reset
  char buf[4];
  EXPECT_EQ(s.recv_all(buf, sizeof buf, 1, 0), -1);
  EXPECT_EQ(s.lastError(), ECONNRESET);
}

TEST(SocketRecv, HandsOutBytesInArrivalOrderAfterLines) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  ASSERT_TRUE(p.send("head\nbody"));
  std::string line;
  ASSERT_TRUE(s.read_line(line, 100, 1));
  ASSERT_TRUE(s.waitReadable(1000));
  char buf[16];
  EXPECT_EQ(s.recv(buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "body");
  EXPECT_FALSE(s.waitReadable(50));
}

TEST(SocketShutdown, WakesAThreadBlockedInARead) {
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket s(p.takeServer());
  bool result = true;
  Stopwatch w;
  std::thread reader([&] {
    std::string line;
    result = s.read_line(line, 5120, 10);
  });
  platform::sleepMs(100);
  s.shutdown();
  reader.join();
  EXPECT_FALSE(result);
  EXPECT_LT(w.seconds(), 2.0);
}

TEST(SocketSend, PeerThatClosedNeverKillsTheProcess) {
  // In a child with the default SIGPIPE action, so only MSG_NOSIGNAL can save it.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    Pair p;
    if (!p.ok()) ::_exit(2);
    int fd = p.takeServer();
    p.closeClient();
    platform::sleepMs(50);
    std::string chunk(65536, 'z');
    int last = 0;
    for (int i = 0; i < 50 && last >= 0; ++i) last = platform::sendOnce(fd, chunk.data(), chunk.size());
    ::_exit(last < 0 && (errno == EPIPE || errno == ECONNRESET) ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SocketSend, SigpipeIsIgnoredOnceSocketsAreInUse) {
  CSocket s;
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &old), 0);
  EXPECT_EQ(old.sa_handler, SIG_IGN);
  Pair p;
  ASSERT_TRUE(p.ok());
  CSocket server(p.takeServer());
  p.closeClient();
  platform::sleepMs(20);
  std::string chunk(65536, 'z');
  int last = 0;
  for (int i = 0; i < 50 && last >= 0; ++i) last = server.send(chunk.data(), chunk.size());
  EXPECT_EQ(last, -1);
  EXPECT_EQ(server.lastError(), EPIPE);
}

TEST(SocketSetup, WrappingAHandleSetsModeAndSendBuffer) {
  Pair p;
  ASSERT_TRUE(p.ok());
  ASSERT_EQ(::fcntl(p.server, F_SETFL, ::fcntl(p.server, F_GETFL) | O_NONBLOCK), 0);
  CSocket s(p.takeServer(), true);
  EXPECT_EQ(::fcntl(s.handle(), F_GETFL) & O_NONBLOCK, 0);
  int size = 0;
  socklen_t len = sizeof size;
  ASSERT_EQ(::getsockopt(s.handle(), SOL_SOCKET, SO_SNDBUF, &size, &len), 0);
  EXPECT_EQ(size, 2 * CSocket::kSendBufferBytes);  // Linux reports twice the size asked for
  CSocket nb(::socket(AF_INET, SOCK_STREAM, 0), false);
  EXPECT_NE(::fcntl(nb.handle(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(SocketSetup, CreateIsIdempotentAndCloseForgetsTheHandle) {
  CSocket s;
  EXPECT_FALSE(s.isOpen());
  ASSERT_EQ(s.create(), 0);
  int h = s.handle();
  EXPECT_EQ(s.create(), 0);
  EXPECT_EQ(s.handle(), h);
  s.close();
  EXPECT_FALSE(s.isOpen());
  EXPECT_EQ(::fcntl(h, F_GETFD), -1);  // really closed
  s.close();
}

TEST(SocketSetup, ReadsWithoutAHandleFailAtOnce) {
  CSocket s;
  std::string line;
  char buf[4];
  Stopwatch w;
  EXPECT_FALSE(s.read_line(line, 100, 5));
  EXPECT_EQ(s.recv_all(buf, sizeof buf, 5, 0), -1);
  EXPECT_FALSE(s.waitReadable(5000));
  EXPECT_EQ(s.accept(5000), -1);
  EXPECT_EQ(s.lastError(), EBADF);
  EXPECT_LT(w.seconds(), 1.0);
}

TEST(SocketBind, RefusesNamesWithoutTouchingTheSocket) {
  CSocket s;
  ASSERT_EQ(s.create(), 0);
  EXPECT_EQ(s.bind("localhost", 0), EAFNOSUPPORT);
  EXPECT_EQ(s.bind("127.0.0.1 ", 0), EAFNOSUPPORT);
  EXPECT_EQ(s.localAddress().port, 0);  // still unbound
  ASSERT_EQ(s.bind("127.0.0.1", 0), 0);
  CNetAddr a = s.localAddress();
  EXPECT_EQ(a.ip, "127.0.0.1");
  EXPECT_NE(a.port, 0);
  EXPECT_EQ(localAddress(s.handle()), a);
}

TEST(SocketBind, SecondListenerOnTheSamePortFails) {
  CSocket a, b;
  ASSERT_EQ(a.create(), 0);
  ASSERT_EQ(a.bind("127.0.0.1", 0), 0);
  ASSERT_EQ(a.listen(4), 0);
  ASSERT_EQ(b.create(), 0);
  EXPECT_EQ(b.bind("127.0.0.1", a.localAddress().port), EADDRINUSE);
}

TEST(SocketAccept, TimesOutThenAcceptsWithPeerAddress) {
  CSocket l;
  ASSERT_EQ(l.create(), 0);
  ASSERT_EQ(l.bind("127.0.0.1", 0), 0);
  ASSERT_EQ(l.listen(4), 0);
  Stopwatch w;
  EXPECT_EQ(l.accept(100), -1);
  EXPECT_EQ(l.lastError(), ETIMEDOUT);
  EXPECT_GE(w.seconds(), 0.09);
  CSocket c;
  ASSERT_EQ(c.create(), 0);
  sockaddr_in to{};
  ASSERT_EQ(resolve("127.0.0.1", std::to_string(l.localAddress().port), &to), 0);
  ASSERT_EQ(c.connect(to, 1000), 0);
  EXPECT_EQ(::fcntl(c.handle(), F_GETFL) & O_NONBLOCK, 0);  // left blocking
  CNetAddr peer;
  CSocket server(l.accept(1000, &peer));
  ASSERT_TRUE(server.isOpen());
  EXPECT_EQ(peer, c.localAddress());
  EXPECT_EQ(server.peerAddress(), c.localAddress());
  EXPECT_EQ(c.peerAddress(), l.localAddress());
}

TEST(SocketAccept, ShutdownOfTheListenerWakesAWaitingAccept) {
  CSocket l;
  ASSERT_EQ(l.create(), 0);
  ASSERT_EQ(l.bind("127.0.0.1", 0), 0);
  ASSERT_EQ(l.listen(4), 0);
  int got = 0;
  Stopwatch w;
  std::thread t([&] { got = l.accept(5000); });
  platform::sleepMs(100);
  l.shutdown();
  t.join();
  EXPECT_EQ(got, -1);
  EXPECT_LT(w.seconds(), 2.0);
}

TEST(SocketConnect, RefusedPortGivesItsErrno) {
  sockaddr_in to{};
  {
    nettest::Listener gone;
    to = gone.address();
  }
  CSocket c;
  ASSERT_EQ(c.create(), 0);
  EXPECT_EQ(c.connect(to, 1000), ECONNREFUSED);
  EXPECT_EQ(c.errorText(), std::string("connect: ") + std::strerror(ECONNREFUSED));
  ASSERT_EQ(c.create(), 0);  // a success clears what the failure left
  EXPECT_EQ(c.lastError(), 0);
  EXPECT_EQ(c.errorText(), "");
}

TEST(SocketConnect, TimesOutWhenTheListenerQueueIsFull) {
  // A listener that never accepts and has a full queue drops further connection requests.
  nettest::Listener l;
  ASSERT_GE(l.fd, 0);
  ASSERT_EQ(::listen(l.fd, 0), 0);
  std::vector<CSocket*> fillers;
  int result = 0;
  for (int i = 0; i < 8 && result != ETIMEDOUT; ++i) {
    CSocket* c = new CSocket;
    fillers.push_back(c);
    ASSERT_EQ(c->create(), 0);
    Stopwatch w;
    result = c->connect(l.address(), 200);
    if (result == ETIMEDOUT) {
      EXPECT_GE(w.seconds(), 0.19);
      EXPECT_LT(w.seconds(), 1.0);
    }
  }
  for (CSocket* c : fillers) delete c;
  EXPECT_EQ(result, ETIMEDOUT);
}

TEST(SocketResolve, NumericHostAndService) {
  sockaddr_in a{};
  ASSERT_EQ(resolve("127.0.0.1", "8080", &a), 0);
  CNetAddr n = toNetAddr(a);
  EXPECT_EQ(n.ip, "127.0.0.1");
  EXPECT_EQ(n.port, 8080);
  EXPECT_EQ(n.to_string(), "127.0.0.1:8080");
  ASSERT_EQ(resolve("127.1", "80", &a), 0);
  EXPECT_EQ(toNetAddr(a).to_string(), "127.0.0.1:80");
  EXPECT_NE(resolve("127.0.0.1", "no-such-service-name", &a), 0);
}

TEST(SocketHighHandles, HandlesAbove1023WorkForWaitsAndAccept) {
  rlimit lim{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 1200) GTEST_SKIP() << "hard limit " << lim.rlim_max;
  rlimit raised = lim;
  if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur < 1200) raised.rlim_cur = 1200;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
    fillers.push_back(fd);
    if (fd >= 1030) break;
  }
  {
    CSocket l;
    ASSERT_EQ(l.create(), 0);
    EXPECT_GT(l.handle(), 1023);
    ASSERT_EQ(l.bind("127.0.0.1", 0), 0);
    ASSERT_EQ(l.listen(4), 0);
    EXPECT_EQ(l.accept(50), -1);
    CSocket c;
    ASSERT_EQ(c.create(), 0);
    sockaddr_in to{};
    ASSERT_EQ(resolve("127.0.0.1", std::to_string(l.localAddress().port), &to), 0);
    ASSERT_EQ(c.connect(to, 1000), 0);
    CSocket server(l.accept(1000));
    ASSERT_GT(server.handle(), 1023);
    EXPECT_FALSE(server.waitReadable(50));
    ASSERT_EQ(c.send("line\r\n"), 6);
    std::string line;
    ASSERT_TRUE(server.read_line(line, 100, 1));
    EXPECT_EQ(line, "line");
  }
  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

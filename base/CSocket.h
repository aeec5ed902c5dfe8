#pragma once
// CSocket: one TCP socket handle with timed line reading and timed exact-length reading.
//
// Ownership: the object owns its handle; destruction closes it; release() gives it up. Not copyable.
// Threads: one thread at a time uses a socket (the one that accepted or opened it). The only call
// another thread may make is shutdown(), which wakes a thread blocked in a wait or receive on it
// (the way stop() ends a connection thread); it may come at any moment, also while the using
// thread creates, closes or releases the handle: those changes and shutdown() hold the
// socket's handle lock, so a shutdown never reaches a descriptor number that was closed and
// given to another file meanwhile, nor one released to a new owner. Owners need no lock of
// their own for it. An owner whose stop() must also reach a socket created later sets its stop
// flag before shutdown() and looks at it after create() (both sequentially consistent): one of
// the two then sees the other.
//
// Reading comes in two modes. Exact (the default for a wrapped handle, such as an accepted
// connection): nothing is taken from the kernel beyond what the caller asked for; read_line looks
// at the waiting bytes with a peek and then takes exactly the line, so a server can release() the
// handle to another reader (a push-stream or pan/tilt consumer) right after the request without
// losing what the peer already sent. Read-ahead (the default for a socket made by create(), the
// client connections to cameras): lines are served from an internal buffer filled in large pieces,
// so a multipart stream costs about two system calls per picture. In both modes every read call
// hands out buffered bytes first; recv_all receives long remainders straight into the caller's
// buffer. Bytes still buffered at release() stay with this object (buffered()).
//
// Results, one rule for every call, as the platform layer gives them (platform/Net.h): success is
// a result >= 0. A call that sets something up (create, bind, listen, connect, the time-out
// setters) returns 0 or the errno; a call that yields a handle or a count (accept, the
// receives, the sends) returns it, or -1. The waits return 1 (ready), 0 (time-out) or -1;
// questions (waitReadable, unread, the line readers' "a whole line came") answer true or false.
// Whatever the form, a call that fails or comes up short leaves the errno in lastError() (0
// after a success; ETIMEDOUT for a time-out or a passed deadline; 0 too when the peer closed,
// which a receive reports as 0 bytes, or when a line filled its buffer), and errorText() says
// what failed with the errno's text for a log line ("connect: Connection refused").
//
// Time-outs bound the silence before each arrival of bytes, not the whole operation; setDeadline()
// adds an optional limit for the whole operation on top. On a blocking socket the kernel keeps
// the time (SO_RCVTIMEO, set only when the wanted value changes); recv() puts back the value given
// to setRecvTimeout() (none by default). A non-blocking socket waits with poll().
#include <netinet/in.h>
#include <sys/uio.h>

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/CNetAddr.h"

// A byte stream layered over a socket's handle (a TLS session). While a socket has one, every
// receive and send of the socket goes through it instead of the system calls, and the socket
// reads ahead (the layer cannot give bytes back, so there is no exact mode and no peeking).
// Used by the thread that uses the socket; the socket's shutdown() still works from any thread.
class SocketTransport {
 public:
  virtual ~SocketTransport() = default;
  // Up to len bytes, waiting up to timeoutNs (< 0: no limit; 0: not at all) for the first:
  // the count; 0 at the orderly end; -1 with errno on failure (EAGAIN: nothing in time).
  virtual int receive(void* buf, size_t len, int64_t timeoutNs) = 0;
  // One send that never waits: the count taken; -1 with errno (EAGAIN: try again after
  // waitSendable).
  virtual int send(const void* data, size_t len) = 0;
  // True when received bytes wait inside the layer (the handle may then look idle).
  virtual bool pending() const = 0;
  // Waits up to timeoutNs until a send may make progress: 1, 0 on time-out, -1 on error.
  virtual int waitSendable(int64_t timeoutNs) = 0;
  // Tells the peer that the stream ends here (waiting up to timeoutNs for room), before the
  // handle is closed. Nothing by default.
  virtual void closeNotify(int64_t timeoutNs) {}
};

class CSocket {
 public:
  static constexpr int kNone = -1;
  // Send buffer of every wrapped connection: sized for the push streams' JPEG frames.
  static constexpr int kSendBufferBytes = 92160;

  // With a handle: takes ownership, sets the blocking mode and the send buffer size.
  // Without one nothing is touched; a socket made later by create() keeps the system defaults.
  explicit CSocket(int handle = kNone, bool blocking = true);
  virtual ~CSocket();
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  int handle() const { return m_handle.load(); }
  bool isOpen() const { return m_handle.load() != kNone; }
  int release();  // gives up ownership; returns the handle (kNone when there was none)
  // Puts a layer over the handle (see SocketTransport); the socket owns it and drops it on
  // close(). Set before the first read.
  void setTransport(std::unique_ptr<SocketTransport> t);
  SocketTransport* transport() const { return m_transport.get(); }
  // Gives the layer up with the handle (release() and this together hand the stream over).
  std::unique_ptr<SocketTransport> releaseTransport() { return std::move(m_transport); }

  // 0 (also when already open) or errno. A new socket reads ahead (see above).
  int create();
  int bind(const std::string& ip, uint16_t port);  // 0 or errno; EAFNOSUPPORT when ip is no IPv4 text
  int listen(int backlog);                         // 0 or errno
  // Waits up to timeoutMs (< 0: no limit) and accepts: the new handle, or -1 (ETIMEDOUT when
  // nothing arrived in time).
  int accept(int timeoutMs, CNetAddr* peer = nullptr);
  // 0 or errno (ETIMEDOUT on time-out); the socket is left in blocking mode.
  int connect(const sockaddr_in& addr, int timeoutMs);
  void close();     // closes a valid handle; nothing otherwise
  void shutdown();  // shutdown(SHUT_RDWR); any thread may call it

  // One receive: the count, 0 when the peer closed, -1 (EAGAIN when a receive time-out passed;
  // through a layer such a time-out is 0 bytes with lastError() ETIMEDOUT).
  int recv(void* buf, size_t len);
  // Receives until len bytes arrived. Before each receive it waits up to (sec, usec) for data.
  // Result: the bytes received, short when the peer closed or stayed silent (lastError() 0 or
  // ETIMEDOUT), or -1 when a receive failed before the first byte. Compare it with len to see
  // whether everything arrived.
  int recv_all(void* buf, size_t len, int sec, int usec);
  // Reads one line. len holds the buffer's capacity on entry and the line's length on success;
  // the line feed ends the line and becomes a terminating zero, carriage returns are dropped.
  // False on time-out (timeoutSec of silence), closed connection, error, or when the stored
  // characters reach the capacity (so at most capacity - 1 characters fit); lastError() tells
  // which (0 for the last two).
  bool read_line(char* buf, size_t& len, int timeoutSec);
  bool read_line(std::string& line, size_t capacity, int timeoutSec);

  // One send with MSG_NOSIGNAL: the count taken (a short send is not repeated), or -1.
  int send(const char* text);
  int send(const void* data, size_t len);
  // One gathering send of count pieces (writev semantics, MSG_NOSIGNAL): the count, or -1.
  int sendv(const iovec* pieces, int count);

  int setSendTimeout(int ms);  // SO_SNDTIMEO; 0 = none. 0 or errno
  int setRecvTimeout(int ms);  // SO_RCVTIMEO; 0 = none. 0 or errno
  // Whole-operation deadline on the monotonic clock (platform::monotonicNs); 0 = none. Every read
  // wait ends unsuccessfully once it has passed.
  void setDeadline(uint64_t monotonicNs) { m_deadlineNs = monotonicNs; }
  uint64_t deadline() const { return m_deadlineNs; }
  // True when bytes are buffered, or the peer sent data (or closed, or an error is pending)
  // within timeoutMs; false on time-out (ETIMEDOUT) or error.
  bool waitReadable(int timeoutMs);
  // Waits up to timeoutNs until a send may make progress (through the layer when there is
  // one): 1 ready, 0 time-out, -1 error.
  int waitWritable(int64_t timeoutNs);
  // Read-ahead mode on or off (see above); bytes already buffered are still handed out first.
  void setReadAhead(bool on) { m_readAhead = on; }
  bool readAhead() const { return m_readAhead; }
  // Bytes received from the kernel but not yet handed to a caller.
  size_t buffered() const { return m_bufLen - m_bufPos; }
  // The buffered bytes themselves (buffered() of them), and a way to drop n of them (n at most
  // buffered()) once the caller has used them.
  const char* bufferedData() const { return m_buf.get() + m_bufPos; }
  void skipBuffered(size_t n) {
    assert(n <= buffered());
    m_bufPos += n;
  }
  // Puts n bytes received elsewhere (a request head the endpoint's reader took) into the empty
  // read-ahead buffer, so the next reads hand them out first. False (nothing kept) while
  // bytes are buffered or when they do not fit.
  bool unread(const void* data, size_t n);
  static constexpr size_t readAheadCapacity() { return kReadAheadBytes; }
  // Straight from the kernel, past the read-ahead buffer: one receive (or, peek, one look that
  // takes nothing) of up to len bytes, waiting up to timeoutMs (0: not at all) for the first.
  // The count; 0 when the peer closed; -1 (ETIMEDOUT when nothing came in time).
  int receiveQueued(void* buf, size_t len, int timeoutMs, bool peek = false);
  // Bytes the kernel holds for this socket (the read-ahead buffer not counted).
  size_t queuedBytes() const;

  CNetAddr localAddress() const;  // ip "" when unknown
  CNetAddr peerAddress() const;   // ip "" when unknown
  // The errno of the last call that failed or came up short, 0 after a success (see the top).
  int lastError() const { return m_lastError; }
  // What that call was and the errno's text: "connect: Connection refused"; "" for errno 0.
  std::string errorText() const;

 protected:
  // Waits for readability, limited by timeoutNs and the deadline: 1 ready, 0 time-out, -1 error.
  int waitRead(int64_t timeoutNs);
  // Keeps a failure (op names the call for errorText()); returns err.
  int keepError(const char* op, int err) {
    m_failedOp = op;
    m_lastError = err;
    return err;
  }
  // Receives what is waiting, or waits (as waitRead) and then receives: bytes > 0; 0 for a
  // time-out, a passed deadline or an orderly close; -1 for an error. Data already waiting is
  // taken without a wait, which halves the system calls of a busy stream.
  int receiveTimed(void* buf, size_t len, int64_t timeoutNs, bool peek);

 private:
  // Size of the read-ahead buffer: about one camera picture with its part head, so that a
  // multipart stream costs about one receive per picture.
  static constexpr size_t kReadAheadBytes = 65536;
  // Copies up to len buffered bytes to out; the count.
  size_t takeBuffered(void* out, size_t len);
  // The line reader behind both read_line forms: into buf when it is set, else appended to str.
  bool readLine(char* buf, std::string* str, size_t& len, int timeoutSec);

  std::atomic<int> m_handle;
  // Held while the handle changes (create, close, release) and by shutdown(), around the
  // system call; taken by nothing else.
  std::mutex m_handleLock;
  uint64_t m_deadlineNs = 0;
  int m_lastError = 0;
  const char* m_failedOp = "";
  bool m_readAhead = false;
  // Timed receives on a blocking socket let the kernel keep the time (SO_RCVTIMEO), so a receive
  // that has to wait is one system call, not a failed try, a poll and a receive. The option is
  // set only when the wanted value changes; -1 = not known. recv() restores the caller's value.
  bool m_blocking = true;
  int64_t m_kernelRecvTimeoutNs = -1;
  int64_t m_userRecvTimeoutNs = 0;  // 0 = wait without limit
  bool applyRecvTimeout(int64_t ns);
  std::unique_ptr<SocketTransport> m_transport;
  std::unique_ptr<char[]> m_buf;  // allocated on first read-ahead
  size_t m_bufPos = 0, m_bufLen = 0;
};

// The length of the complete blank lines ("\n" or "\r\n") at the front of n bytes.
size_t blankLinesAt(const char* p, size_t n);
// getaddrinfo for an IPv4 TCP stream address of host and service (a port number as text); the
// first result. 0 with *out filled, or the getaddrinfo code (gai_strerror describes it).
int resolve(const std::string& host, const std::string& service, sockaddr_in* out);
// Dotted text and host-order port of an IPv4 socket address.
CNetAddr toNetAddr(const sockaddr_in& a);
// The address a socket is bound to (what the system chose for port 0); ip "" when unknown.
CNetAddr localAddress(int handle);

// Creates s and listens on address:port with the given backlog. A port that is taken gives
// way to one the system chooses, logged at Warning under logSource (function fn). False with
// the reason in *error (s closed) when there is no such address or nothing can listen.
bool listenOrSystemPort(CSocket& s, const std::string& address, uint16_t port, int backlog,
                        const char* logSource, const char* fn, std::string* error);

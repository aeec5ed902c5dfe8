#pragma once
// CSocket: one TCP socket handle with timed line reading and timed exact-length reading.
//
// Ownership: the object owns its handle; destruction closes it; release() gives it up. Not copyable.
// Threads: one thread at a time uses a socket (the one that accepted or opened it). The only call
// another thread may make is shutdown(), which wakes a thread blocked in a wait or receive on it
// (the way stop() ends a connection thread). close() is not safe against a concurrent user.
//
// Reading never takes bytes from the kernel beyond what the caller asked for: read_line looks at
// the waiting bytes with a peek and then takes exactly the line, and recv_all receives straight into
// the caller's buffer. So a handle can be released to another reader (a push-stream or pan/tilt
// consumer) right after the request was read without losing what the peer already sent, while a
// line still costs a few system calls instead of two per byte.
//
// Time-outs bound the silence before each arrival of bytes, not the whole operation; setDeadline()
// adds an optional limit for the whole operation on top.
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/CNetAddr.h"

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

  int create();                                    // 0 (also when already open) or errno
  int bind(const std::string& ip, uint16_t port);  // -1 when ip is no IPv4 text; else 0 or errno
  int listen(int backlog);                         // 0 or errno
  // Waits up to timeoutMs (< 0: no limit) and accepts: the new handle, or -1 on time-out or error
  // (lastError() tells which: ETIMEDOUT for the time-out).
  int accept(int timeoutMs, CNetAddr* peer = nullptr);
  // 0 or errno (ETIMEDOUT on time-out); the socket is left in blocking mode.
  int connect(const sockaddr_in& addr, int timeoutMs);
  void close();     // closes a valid handle; nothing otherwise
  void shutdown();  // shutdown(SHUT_RDWR); any thread may call it

  // One receive; the system call's result unchanged.
  int recv(void* buf, size_t len);
  // Receives until len bytes arrived. Before each receive it waits up to (sec, usec) for data.
  // Result: the number of bytes received when above zero, else 0 (time-out or orderly close)
  // or -1 (error). Compare it with len to see whether everything arrived.
  int recv_all(void* buf, size_t len, int sec, int usec);
  // Reads one line. len holds the buffer's capacity on entry and the line's length on success;
  // the line feed ends the line and becomes a terminating zero, carriage returns are dropped.
  // False on time-out (timeoutSec of silence), closed connection, error, or when the stored
  // characters reach the capacity (so at most capacity - 1 characters fit).
  bool read_line(char* buf, size_t& len, int timeoutSec);
  bool read_line(std::string& line, size_t capacity, int timeoutSec);

  // One send with MSG_NOSIGNAL; the system call's result unchanged (a short send is not repeated).
  int send(const char* text);
  int send(const void* data, size_t len);

  bool setSendTimeout(int ms);  // SO_SNDTIMEO; 0 = none
  bool setRecvTimeout(int ms);  // SO_RCVTIMEO; 0 = none
  // Whole-operation deadline on the monotonic clock (platform::monotonicNs); 0 = none. Every read
  // wait ends unsuccessfully once it has passed.
  void setDeadline(uint64_t monotonicNs) { m_deadlineNs = monotonicNs; }
  uint64_t deadline() const { return m_deadlineNs; }
  // True when the peer sent data (or closed, or an error is pending) within timeoutMs.
  bool waitReadable(int timeoutMs);

  CNetAddr localAddress() const;  // ip "" when unknown
  CNetAddr peerAddress() const;   // ip "" when unknown
  // errno of the last failing operation of this object (accept, connect, waits, receives, sends).
  int lastError() const { return m_lastError; }

 protected:
  // Waits for readability, limited by timeoutNs and the deadline: 1 ready, 0 time-out, -1 error.
  int waitRead(int64_t timeoutNs);

 private:
  std::atomic<int> m_handle;
  uint64_t m_deadlineNs = 0;
  int m_lastError = 0;
};

// getaddrinfo for an IPv4 TCP stream address of host and service (a port number as text); the
// first result. 0 with *out filled, or the getaddrinfo code (gai_strerror describes it).
int resolve(const std::string& host, const std::string& service, sockaddr_in* out);
// Dotted text and host-order port of an IPv4 socket address.
CNetAddr toNetAddr(const sockaddr_in& a);
// The address a socket is bound to (what the system chose for port 0); ip "" when unknown.
CNetAddr localAddress(int handle);

#pragma once
// The POSIX socket seam: every system call on a TCP socket goes through these functions, so the
// classes above them (CSocket, CHTTPSocket) hold no platform detail. Waits use poll(), never
// select(), so socket numbers above 1023 work; sends use MSG_NOSIGNAL and the process ignores
// SIGPIPE, so a peer that closes its end can never end the process.
//
// All functions are free of shared state apart from ignoreSigpipe's one-time flag; any thread may
// call them on a handle it uses. Results: handles or counts >= 0 on success; "error" results are
// the errno value (a positive number) unless stated otherwise.
#include <netinet/in.h>
#include <sys/uio.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Sets SIGPIPE to "ignore" for the whole process, once; later calls do nothing. Called by every
// socket creation path, so nobody has to remember it at start-up.
void ignoreSigpipe();

// A new IPv4 TCP stream socket (close-on-exec) or -1 with *err set to errno.
int tcpSocket(int* err);
int closeSocket(int fd);     // 0 or errno
int shutdownSocket(int fd);  // shutdown(SHUT_RDWR): wakes other threads waiting on it; 0 or errno

// Binds to an IPv4 address and port (SO_REUSEADDR set first, so a restarted program gets its
// port back while old connections linger in TIME_WAIT; two listeners still cannot share a port).
int bindIPv4(int fd, const in_addr& ip, uint16_t port);  // 0 or errno
int listenSocket(int fd, int backlog);                     // 0 or errno

bool setBlocking(int fd, bool blocking);
bool setSendBufferSize(int fd, int bytes);
bool setReuseAddress(int fd);
// SO_LINGER with a zero time: the next close resets the connection and discards what is still
// queued for the peer (dropping a client that does not take its answer).
bool setAbortiveClose(int fd);
bool setSendTimeoutMs(int fd, int ms);  // 0 = no time-out
bool setRecvTimeoutMs(int fd, int ms);
bool setRecvTimeoutNs(int fd, int64_t ns);  // 0 = no time-out; rounded up to microseconds

// Waits for the socket to become readable (data, end of stream or error pending) or writable.
// timeoutNs < 0 waits without limit. Interrupted waits are resumed with the remaining time.
// Result: 1 ready, 0 timed out, -1 error (errno kept).
int waitReadable(int fd, int64_t timeoutNs);
int waitWritable(int fd, int64_t timeoutNs);

// One send with MSG_NOSIGNAL, one receive (optionally with MSG_PEEK); the system call's result.
ssize_t sendOnce(int fd, const void* data, size_t len);
// One gathering send (sendmsg, MSG_NOSIGNAL) of count pieces; the system call's result.
ssize_t sendVecOnce(int fd, const iovec* pieces, int count);
ssize_t recvOnce(int fd, void* buf, size_t len, bool peek = false);
// A receive that never blocks (MSG_DONTWAIT): -1 with errno EAGAIN when nothing is waiting.
ssize_t recvNow(int fd, void* buf, size_t len, bool peek = false);
// Bytes the kernel holds received for a stream socket (FIONREAD); 0 on failure.
size_t queuedBytes(int fd);

// Waits up to timeoutMs (< 0: no limit) for a connection, then accepts it (close-on-exec).
// The new handle, or -1 with *err set (ETIMEDOUT when nothing arrived in time).
int acceptTimed(int fd, int timeoutMs, sockaddr_in* peer, int* err);

// Connects with a time-out: non-blocking connect, poll for writability, SO_ERROR; the socket is
// left in blocking mode. 0, or errno (ETIMEDOUT when the time ran out).
int connectTimed(int fd, const sockaddr_in& addr, int timeoutMs);

bool localName(int fd, sockaddr_in* out);
bool peerName(int fd, sockaddr_in* out);

// getaddrinfo for an IPv4 TCP stream address; the first result. 0 or the getaddrinfo code
// (describe it with gai_strerror).
int resolveIPv4(const std::string& host, const std::string& service, sockaddr_in* out);

// Dotted text of an IPv4 address (inet_ntoa form).
std::string ipText(const in_addr& a);

}  // namespace platform

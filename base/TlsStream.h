#pragma once
// The server side of one TLS session over a connected, non-blocking socket handle: the
// handshake with a deadline, then reads and writes that wait with poll() and never block
// longer than asked. A CSocket carries it as its transport (base/CSocket.h), so the HTTP
// reading and the answers work unchanged above it.
//
// Threads: one thread at a time, the one that uses the connection. Another thread may shut the
// handle down (CSocket::shutdown), which ends any wait here. The handle stays the CSocket's;
// the session never closes it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/CSocket.h"

class TlsContext;
typedef struct ssl_st SSL;

class TlsStream : public SocketTransport {
 public:
  // The most application bytes one record carries: each send() of up to this many is one
  // record, a longer one a record per this many.
  static constexpr size_t kRecordBytes = 16384;

  // A session for fd with the context's certificate; the context is kept alive by the session.
  TlsStream(const std::shared_ptr<const TlsContext>& ctx, int fd);
  ~TlsStream() override;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Runs the handshake until the monotonic time deadlineNs. False for a time-out, a peer that
  // went away, or one that does not speak TLS (plain HTTP, garbage, an old protocol version).
  bool accept(uint64_t deadlineNs);
  // Sends the closing alert once, waiting up to timeoutNs for room: the peer then knows the
  // answer is complete (it carries no length).
  void closeNotify(int64_t timeoutNs) override;
  // "TLSv1.3" and the like, after the handshake.
  std::string protocol() const;
  // For a session that goes on to stream: it keeps its record buffers between sends instead
  // of giving them back after each (what suits the many short answers of pages).
  void keepBuffers();

  int receive(void* buf, size_t len, int64_t timeoutNs) override;
  int send(const void* data, size_t len) override;
  bool pending() const override;
  int waitSendable(int64_t timeoutNs) override;

 private:
  // Waits for what the library asked for (read or write), up to the monotonic deadline
  // (0: none): true when it may go on.
  bool waitFor(int sslError, uint64_t deadlineNs);

  std::shared_ptr<const TlsContext> m_ctx;
  SSL* m_ssl = nullptr;
  int m_fd;
  bool m_sendWantsRead = false;  // the last send stopped for incoming data (a key update)
  bool m_closed = false;         // the closing alert was sent, or the session failed
};

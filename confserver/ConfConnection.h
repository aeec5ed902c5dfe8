#pragma once
// One accepted connection of the configuration server, on a thread of its own: it reads the
// request (and a form body), hands it to the configuration thread and waits for the answer,
// sends that answer within an overall deadline, pauses (for a page) and closes. A silent,
// trickling or never-reading client therefore only ever holds its own connection thread.
//
// Threads: run() is the connection's thread. The configuration thread starts it, reads the
// request through request()/body()/peerIp() while it is queued (the connection thread is then
// waiting and does not touch the socket), answers it with answer(), and may call drop(),
// droppable(), lastActivityNs() at any time. The socket is closed only by the connection
// thread and only under m_lock, the lock drop() takes to shut it down, so a drop never reaches
// a descriptor that was closed and re-used meanwhile.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/CHTTPSocket.h"
#include "base/ConfAnswer.h"
#include "platform/Thread.h"

class ConfConnection;
class TlsContext;
class TlsStream;

// What a connection needs from its server.
class ConfConnectionHost {
 public:
  virtual ~ConfConnectionHost() = default;
  // Queues a complete request for the configuration thread; false when the server is ending
  // (the connection then closes without an answer).
  virtual bool enqueue(ConfConnection* conn) = 0;
  virtual int requestDeadlineMs() const = 0;  // whole request, head and body
  virtual int sendTimeoutMs() const = 0;      // longest send without any progress
  virtual int sendDeadlineMs() const = 0;     // whole answer
  virtual int lingerMs() const = 0;           // pause after a page
};

class ConfConnection : public CThread {
 public:
  // Takes ownership of the accepted handle. With a TLS context the connection first runs the
  // TLS handshake, within the same deadline as the request.
  ConfConnection(int handle, ConfConnectionHost& host,
                 std::shared_ptr<const TlsContext> tls = nullptr);
  ~ConfConnection() override;

  CHTTPSocket& request() { return m_sock; }
  const FormBody& body() const { return m_body; }
  const std::string& peerIp() const { return m_peerIp; }
  bool tls() const { return m_tlsCtx != nullptr; }

  // Hands the answer for the queued request (also an empty one: drop without answering).
  void answer(ConfAnswer&& a);
  // Ends the connection as soon as possible: wakes its read, send or pause.
  void drop();
  bool dropped() const { return m_dropped.load(); }
  // True while the connection waits on its peer or pauses (reading, sending, lingering), so
  // dropping it loses no request that the configuration thread still has to process.
  bool droppable() const;
  // Monotonic time of the last step (accepted, request read, bytes sent, answer done).
  uint64_t lastActivityNs() const { return m_lastActivity.load(); }

 protected:
  int run() override;

 private:
  enum class State { Reading, Queued, Sending, Lingering, Done };
  bool startTls(uint64_t deadlineNs);
  bool sendAnswer(const std::string& bytes);
  void touch();
  void finish();

  ConfConnectionHost& m_host;
  std::shared_ptr<const TlsContext> m_tlsCtx;
  TlsStream* m_tls = nullptr;  // the transport of m_sock while it has one
  CHTTPSocket m_sock;
  FormBody m_body;
  std::string m_peerIp;
  std::atomic<State> m_state{State::Reading};
  std::atomic<uint64_t> m_lastActivity{0};
  std::atomic<bool> m_dropped{false};

  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_open = true;        // guarded by m_lock
  bool m_answered = false;   // guarded by m_lock
  ConfAnswer m_answer;       // guarded by m_lock
};

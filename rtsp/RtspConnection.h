#pragma once
// One RTSP client connection: its thread reads the client's requests (and skips the RTCP
// reports it interleaves between them), checks the login and answers OPTIONS, DESCRIBE, SETUP,
// PLAY, PAUSE, TEARDOWN, GET_PARAMETER and SET_PARAMETER (the keep-alives). A request must
// arrive whole within kRequestDeadlineNs of its first byte; a connection that holds no session
// is closed after the session time-out without a request. A request the parser refuses is
// answered 400 and ends the connection (what follows it cannot be told apart).
//
// Ownership: owns its socket (the feed holds a handle of its own once the interleaved session
// plays); the server owns the connection and outlives it.
// Threads: run() is the connection's own; stop() and idle() may be called from the server's
// thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/CSocket.h"
#include "platform/Thread.h"
#include "rtsp/RtspRequest.h"
#include "rtsp/RtspSession.h"

class RtspServer;

class RtspConnection : public CThread {
 public:
  static constexpr uint64_t kRequestDeadlineNs = 10000000000ull;
  static constexpr size_t kMaxSessions = 16;         // per connection (each UDP one holds two sockets)
  static constexpr unsigned long kStackBytes = 256 * 1024;

  RtspConnection(RtspServer& server, int fd);
  ~RtspConnection() override;
  // Ends the connection: shuts the socket down, which wakes the thread.
  void stop();
  // True while the connection holds no session: it may be ended to make room.
  bool idle() const { return m_sessionCount.load() == 0; }

 protected:
  int run() override;

 private:
  using Headers = std::vector<std::pair<std::string, std::string>>;
  // False when the connection is to end (after the answer).
  bool handle(const rtsp::Request& r);
  bool answer(const rtsp::Request& r, int code, const Headers& headers = {}, const std::string& body = "",
              bool last = false);
  std::string answerText(const rtsp::Request& r, int code, const Headers& headers, const std::string& body);
  bool loginAccepted(const rtsp::Request& r, Headers* challenge);
  // The session the request names; null (with the answer sent) when it names none of ours.
  std::shared_ptr<RtspSession> sessionOf(const rtsp::Request& r, bool* ok);

  bool describe(const rtsp::Request& r);
  bool setup(const rtsp::Request& r);
  bool play(const rtsp::Request& r);
  bool pause(const rtsp::Request& r);
  bool teardown(const rtsp::Request& r);
  bool keepAlive(const rtsp::Request& r);

  void touchInterleaved();
  // Drops the sessions that timed out or were torn down elsewhere.
  void forgetEndedSessions();
  void endSessions();

  RtspServer& m_server;
  CSocket m_conn;  // the thread's; stop() may shut it down at any time
  std::shared_ptr<RtspOutput> m_out;
  CNetAddr m_local, m_peer;
  bool m_authenticated = false;  // a login was accepted on this connection
  std::string m_describedTag, m_describedFps;  // the last DESCRIBE's channel and fps parameter
  bool m_describedHasFps = false;
  std::vector<std::shared_ptr<RtspSession>> m_sessions;  // set up here; the thread's own
  std::shared_ptr<RtspSession> m_interleaved;            // the one that uses this connection
  std::atomic<size_t> m_sessionCount{0};
};

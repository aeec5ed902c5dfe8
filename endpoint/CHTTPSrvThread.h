#pragma once
// One connection to a channel's endpoint: reads one request and answers it (the current
// picture, the probe, "/control/control", the not-found text), or answers the head and hands
// the connection to a consumer that keeps it (the push stream; the pan/tilt commands).
//
// Created and started by the listener (CLstSockThread) once the request head is complete; the
// listener owns it and joins it once it ended. Takes ownership of the accepted handle. run() is the connection's own thread; abort()
// may be called from any thread (the listener, when the channel stops) and wakes a read or
// send in progress. *cnl must outlive this thread.
//
// "/control/control" and "/control/rotorcgi" have no login by default: the viewers that use
// them send none. An endpoint is meant for a trusted network, chosen with "CnlIPAddr"; where it
// is not, "CnlAuth" asks for one (endpoint/EndpointLogin.h).
#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "base/CHTTPSocket.h"
#include "channels/FrameRec.h"
#include "platform/Thread.h"

class CNetVideoCnl;

class CHTTPSrvThread : public CThread {
 public:
  // Per send of an answer: a client that stops reading cannot hold the thread.
  static constexpr int kSendTimeoutMs = 10000;
  static const char kNotFoundText[];
  static const char kStreamType[];

  // Takes ownership of handle. head holds the bytes of the request head already received
  // (read from them first); anything still to read must arrive within deadlineMs.
  CHTTPSrvThread(CNetVideoCnl* cnl, int handle, const std::string& head, int deadlineMs);
  ~CHTTPSrvThread() override;  // closes the connection unless it was handed over

  void abort();

  // The answer body of "/control/control" for a request's query; stores what a set request
  // changes (the caller then runs the channel's init). Caller holds cnl.configLock().
  static std::string controlAnswer(CNetVideoCnl& cnl,
                                   const std::map<std::string, std::string>& query);

 protected:
  int run() override;

 private:
  void dispatch();
  void answerPicture();
  void answerProbe();
  void handStream();
  void answerControl();
  // The pan/tilt command hand-over: the head, then the connection goes to a CRotorClient.
  void handRotor();
  void answerNotFound();

  // The current picture, shared (waits up to the channel's time-out only when nothing was
  // published yet).
  bool fetchPicture(std::shared_ptr<const SharedPicture>& pic);
  void sendBytes(const void* data, size_t len);
  // Whether the channel takes another consumer (not stopping, below its bound).
  bool consumerWelcome();
  // The handle for a consumer, or -1 (closed at once) when the channel has its fill of them.
  int handOver();
  void sendText(const std::string& text);
  void closeConnection();

  CNetVideoCnl* const m_cnl;
  CHTTPSocket m_conn;  // the connection's thread; abort() only shuts it down
};

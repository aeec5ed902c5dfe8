#pragma once
// A channel that answers on an address and port of its own like a network camera: the base of
// the analog frame-grabber channel. It owns the endpoint's listener (CLstSockThread), which
// accepts connections, reads their request heads and starts one connection thread
// (CHTTPSrvThread) per complete request; those
// answer single pictures, the probe and "/control/control", or hand the connection to a
// push-stream consumer or a pan/tilt command consumer.
//
// Threads: the concrete run() (the channel's thread) starts the listener with startListener()
// and ends it with stopListener() before it returns. init() and reconf() may be called from the
// configuration server, from "/control/control" connection threads and (reconf) from the
// channel's thread at once: each takes configLock() once and does its work in initLocked() /
// reconfLocked(), which the concrete classes override (calling their base's *Locked part), so
// they never interleave and the lock is never taken twice. The configuration pages'
// submission (confserver/ChannelForms.h) holds it while it stores a channel's fields. stop() may be
// called from any thread and returns at once.
//
// Lock order: configLock() before any lock of CVideoCnl; the log's lock is always taken last.
//
// The IP camera channel derives from it too, and serves its camera this way only when asked to
// ("CnlServe"); until then it never starts the listener. Its overrides of controlAnswer() and
// answersRotor() are the endpoint's answers that differ from an analog channel's.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "channels/CVideoCnl.h"

class CLstSockThread;

class CNetVideoCnl : public CVideoCnl {
 public:
  CNetVideoCnl(int typeCode, uint32_t index);
  // Destroys the listener (closing its socket and its connection threads), then the channel.
  ~CNetVideoCnl() override;

  // Take configLock(), then run initLocked() / reconfLocked().
  bool init() final;
  bool reconf() final;
  // init() for a caller that already holds configLock() (a "/control/control" set request).
  bool initHeld() { return initLocked(); }
  // CVideoCnl::stop, then stops the listener (its loop wakes and closes its socket itself).
  void stop() override;
  CNetAddr localAddr() override;  // the listening socket's address; "" when not listening
  CNetAddr peerAddr() override;   // the listener's configured/bound address field
  CNetAddr endpointAddr() override { return localAddr(); }

  // Held by init(), reconf() and the form submission for their whole run (see above).
  std::mutex& configLock() { return m_configLock; }
  CLstSockThread& listener() { return *m_listener; }

  // "/control/control" set requests store the image size through this, so a channel whose size
  // is shared with others (the inputs of one board) can keep them in step. Default: "ImageSize"
  // in the channel's own section.
  virtual void storeImageSize(const std::string& keyword);
  // The section "/control/control" reads "ImageSize" from (default: the channel's own).
  virtual std::string imageSizeSection() { return sectionName(); }
  // The body of a "/control/control" answer; stores what a set request changes. Caller holds
  // configLock() and runs initHeld() after a set request. Default: CHTTPSrvThread::controlAnswer.
  virtual std::string controlAnswer(const std::map<std::string, std::string>& query);
  // Whether "/control/rotorcgi" is taken at all; false answers it with the not-found text.
  virtual bool answersRotor() { return true; }

 protected:
  // CVideoCnl::init, then the endpoint settings "CnlIPAddr"/"CnlIPPort" (false on an invalid
  // address, logged as "Invalid IP address"). configLock() is held.
  virtual bool initLocked();
  // CVideoCnl::reconf; asks the listener to refresh (rebinding when the address changed) and
  // shows the bound address in the list entry. configLock() is held.
  virtual bool reconfLocked();
  // Called by the concrete run(): false (logged by the caller) when the thread cannot start.
  bool startListener();
  // Stops and joins the listener and every connection thread it started.
  void stopListener();
  // After stopListener(): replaces the listener, which cannot run twice, by a fresh one and
  // runs its init(). Takes configLock() for the swap, so every other user of listener() must
  // hold it too (or be a thread of the old listener, joined by then).
  void renewListener();

 private:
  std::mutex m_configLock;
  std::unique_ptr<CLstSockThread> m_listener;
};

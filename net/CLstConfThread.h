#pragma once
// The configuration web server thread: one listening socket, one request at a time.
//
// init() and start() run on the GUI thread at start-up; shutdown() on the GUI thread after
// the event loop; everything else on the server's own thread.
//
// (Interface required by the entry point; the configuration server module completes it.)
#include <fxver.h>
#include <fxdefs.h>
#include <FXThread.h>

#include <string>

#include "net/CNetAddr.h"

class CLstConfThread : public FX::FXThread {
 public:
  CLstConfThread();
  ~CLstConfThread() override;

  // Reads "ConfIPAddr"/"ConfIPPort" of section "System" (an empty ip text and port 0 mean:
  // take them from the settings) and sets up the listening socket. True on success.
  bool init(const std::string& ip, uint16_t port);
  // Sets the stop flag, closes the listening socket (ending the wait for connections) and
  // joins the thread. Safe to call when the thread never started.
  void shutdown();
  // The bind address in ip:port form.
  CNetAddr address();

 protected:
  FX::FXint run() override;
};

extern CLstConfThread g_confThread;

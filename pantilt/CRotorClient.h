#pragma once
// CRotorClient: the pan/tilt command consumer bound to one viewer connection. The endpoint sends
// the "/control/rotorcgi" response head, hands the connection over, calls configure() and, when
// that succeeds, starts the thread; otherwise it destroys the client, closing the connection.
// run() attaches to the channel, turns every command frame into one driver operation, and on the
// way out (viewer gone, connection failed, stop) stops the head before it lets the head go, so a
// head never keeps moving without a controlling viewer. The head is leased (RotorHead), so the
// ONVIF service may steer it too; a second viewer of the same head is refused.
//
// Ownership: takes the connection's handle; owns its lease of the head. *cnl must outlive the
// client.
// Threads: the constructor and configure() run on the endpoint's connection thread before
// start(); run() is the client's own thread; stop() and peer() may be called from any thread.
// stop() shuts the connection down so that a read waiting for a byte ends at once; the reader
// also notices the channel stopping within kStopCheckMs.
#include <memory>

#include "base/CSocket.h"
#include "channels/CMXClient.h"
#include "pantilt/RotorHead.h"

class CRotorClient : public CMXClient {
 public:
  static constexpr int kStopCheckMs = 200;  // longest silent wait before looking at the flags

  CRotorClient(CVideoCnl* cnl, int handle);
  ~CRotorClient() override;  // ends the lease, closes the connection when still open

  // Reads "RotorType", "RotorComPort", "RotorBoudRate" and "RotorAddress" from the channel's
  // section, drops an earlier lease and leases the head they describe. True when the head's
  // driver could open its port (or had it open) and no other viewer holds the head; a refusal
  // of a head that exists is logged.
  bool configure();
  void stop() override;
  CNetAddr peer() override { return m_peerAddr; }

  // Tests and benchmarks: the driver in use (nullptr before a successful configure()).
  CRotor* rotor() { return m_lease ? m_lease->head().driver() : nullptr; }

 protected:
  int run() override;

 private:
  // Reads and executes frames until the connection ends or a stop is asked for.
  void readFrames();
  void closeConnection();

  std::unique_ptr<RotorLease> m_lease;
  CSocket m_conn;  // reads are run()'s alone; stop() may shut it down at any time
  CNetAddr m_peerAddr;
};

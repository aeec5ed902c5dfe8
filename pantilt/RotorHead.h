#pragma once
// A pan/tilt head open for everyone who steers it: a viewer's command stream on the channel's
// endpoint and the ONVIF service may drive the same head at once. The head's serial port is
// opened once, by the first who leases it, with the driver for its type; every operation runs
// under the head's lock, so the packets of two controllers never interleave; the port closes
// when the last lease ends.
//
// Viewers keep their old rule: one viewer connection steers a head at a time, a second one is
// refused while the first holds its lease. Service leases do not count against it.
//
// Ownership: a lease keeps its head (and the open port) alive; the registry only looks heads up.
// Threads: any thread may lease and release; use() may be called from any thread holding a
// lease. Lock order: the registry's lock, then a head's lock; the log's lock last.
#include <memory>
#include <mutex>
#include <string>

#include "pantilt/CRotor.h"

// A head as a channel's settings describe it ("RotorType", "RotorComPort", "RotorBoudRate",
// "RotorAddress").
struct RotorHeadConfig {
  int type = kRotorNone;
  int port = 1;
  int baud = 9600;
  int address = 0;
  bool operator==(const RotorHeadConfig& o) const {
    return type == o.type && port == o.port && baud == o.baud && address == o.address;
  }
  bool operator!=(const RotorHeadConfig& o) const { return !(*this == o); }
};

// The head a channel's settings section describes (their defaults where a key is missing).
RotorHeadConfig readRotorHead(const std::string& section);

// Who leases a head: a viewer's command stream (one at a time) or a service.
enum class RotorUser { Viewer, Service };

class RotorLease;
// Leases the head config describes, opening its port unless it is open already. Null when the
// type has no driver, the port cannot be opened (the driver logs why), the port is open for a
// head of another type, address or speed, or, for a viewer, another viewer holds the head;
// *why then says which in words for a log line or an answer.
std::unique_ptr<RotorLease> leaseRotorHead(const RotorHeadConfig& config, RotorUser user,
                                           std::string* why = nullptr);

class RotorHead {
 public:
  RotorHead(const RotorHeadConfig& config, std::string device, std::unique_ptr<CRotor> rotor)
      : m_config(config), m_device(std::move(device)), m_rotor(std::move(rotor)) {}
  ~RotorHead() { m_rotor->close(); }
  RotorHead(const RotorHead&) = delete;
  RotorHead& operator=(const RotorHead&) = delete;

  // Runs fn(CRotor&) with the head to itself.
  template <class Fn>
  void use(Fn&& fn) {
    std::lock_guard<std::mutex> guard(m_lock);
    fn(*m_rotor);
  }
  const RotorHeadConfig& config() const { return m_config; }
  // Tests: the driver (not to be used beside use()).
  CRotor* driver() { return m_rotor.get(); }

 private:
  friend class RotorLease;
  friend std::unique_ptr<RotorLease> leaseRotorHead(const RotorHeadConfig&, RotorUser, std::string*);
  const RotorHeadConfig m_config;
  const std::string m_device;  // the serial device path the registry knows the head by
  std::mutex m_lock;
  std::unique_ptr<CRotor> m_rotor;  // guarded by m_lock
  bool m_viewerHeld = false;        // guarded by the registry's lock
};

class RotorLease {
 public:
  ~RotorLease();  // the port closes with the head's last lease
  RotorLease(const RotorLease&) = delete;
  RotorLease& operator=(const RotorLease&) = delete;
  RotorHead& head() { return *m_head; }

 private:
  friend std::unique_ptr<RotorLease> leaseRotorHead(const RotorHeadConfig&, RotorUser, std::string*);
  RotorLease(std::shared_ptr<RotorHead> head, bool viewer) : m_head(std::move(head)), m_viewer(viewer) {}
  std::shared_ptr<RotorHead> m_head;
  const bool m_viewer;
};

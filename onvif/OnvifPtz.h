#pragma once
// The ONVIF service's hands on the channels' pan/tilt heads. Moves, stops and presets go to
// the head's own driver through a lease (RotorHead), so a viewer's command stream on the
// channel's endpoint may steer the same head at the same time. Speeds given as fractions of
// full speed are mapped onto the head's speed steps (rotor::speedForFraction).
//
// Dead-man rule: a continuous move ends by itself when its Timeout has passed, and at the
// latest deadManNs after the last command for that head, whichever comes first, so a client
// that goes away mid-move never leaves a head turning. The watch thread does the stopping.
//
// Threads: the commands may come from any number of connection threads; run() is the watch
// thread, started by begin() and ended (every moving head stopped first) by end(). Lock order:
// m_lock, then the head registry's and a head's locks; the log's lock last.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "onvif/OnvifConfig.h"
#include "platform/Thread.h"

class OnvifPtz : public CThread {
 public:
  explicit OnvifPtz(uint64_t deadManNs) : m_deadManNs(deadManNs) {}
  ~OnvifPtz() override;  // end()

  bool begin();
  void end();

  // Velocities -1 .. 1 (pan right, tilt up and zoom in positive); a drive not given keeps
  // what it does. timeoutNs 0: no Timeout was given. False with *why when the head cannot be
  // leased (its port busy or failing).
  bool move(const OnvifChannel& ch, bool panTilt, double x, double y, bool zoom, double z, uint64_t timeoutNs,
            std::string* why);
  bool stop(const OnvifChannel& ch, bool panTilt, bool zoom, std::string* why);
  bool gotoPreset(const OnvifChannel& ch, int n, std::string* why);
  bool setPreset(const OnvifChannel& ch, int n, std::string* why);
  // Whether the drives of the channel's head are moving on our command.
  void moving(const std::string& tag, bool* panTilt, bool* zoom);

 protected:
  int run() override;

 private:
  struct Session {
    std::unique_ptr<RotorLease> lease;
    bool panTilt = false, zoom = false;  // moving on our command
    uint64_t deadline = 0;               // monotonic ns; the move ends then
  };
  // The session of the channel's head with a lease for its current settings (m_lock held).
  Session* sessionFor(const OnvifChannel& ch, std::string* why);
  // Stops what the session set moving and drops it unless it still moves (m_lock held).
  void settle(const std::string& tag);

  const uint64_t m_deadManNs;
  std::mutex m_lock;
  std::condition_variable m_wake;
  std::map<std::string, Session> m_sessions;  // by channel tag; guarded by m_lock
  bool m_ending = false;                      // guarded by m_lock
};

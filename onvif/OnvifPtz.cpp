#include "onvif/OnvifPtz.h"

#include <algorithm>
#include <chrono>

#include "pantilt/RotorSpeed.h"
#include "platform/Clock.h"

namespace {

template <class S>
void haltDrives(S& s) {
  s.lease->head().use([&s](CRotor& r) {
    if (s.panTilt) r.move(0, 0);
    if (s.zoom) r.zoom(0);
  });
  s.panTilt = s.zoom = false;
}

}  // namespace

OnvifPtz::~OnvifPtz() { end(); }

bool OnvifPtz::begin() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_ending = false;
  }
  return start();
}

void OnvifPtz::end() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_ending = true;
  }
  m_wake.notify_all();
  join();
  std::lock_guard<std::mutex> g(m_lock);
  for (auto& s : m_sessions) haltDrives(s.second);
  m_sessions.clear();
}

OnvifPtz::Session* OnvifPtz::sessionFor(const OnvifChannel& ch, std::string* why) {
  auto it = m_sessions.find(ch.tag);
  if (it != m_sessions.end() && it->second.lease->head().config() != ch.head) {
    haltDrives(it->second);  // the head's settings changed: the old head goes first
    m_sessions.erase(it);
    it = m_sessions.end();
  }
  if (it != m_sessions.end()) return &it->second;
  std::unique_ptr<RotorLease> lease = leaseRotorHead(ch.head, RotorUser::Service, why);
  if (!lease) return nullptr;
  Session& s = m_sessions[ch.tag];
  s.lease = std::move(lease);
  return &s;
}

void OnvifPtz::settle(const std::string& tag) {
  auto it = m_sessions.find(tag);
  if (it != m_sessions.end() && !it->second.panTilt && !it->second.zoom) m_sessions.erase(it);
}

bool OnvifPtz::move(const OnvifChannel& ch, bool panTilt, double x, double y, bool zoom, double z,
                    uint64_t timeoutNs, std::string* why) {
  std::lock_guard<std::mutex> g(m_lock);
  Session* s = sessionFor(ch, why);
  if (!s) return false;
  const int type = ch.head.type;
  const int32_t pan = panTilt ? rotor::speedForFraction(type, rotor::RotorDrive::PanTilt, x) : 0;
  const int32_t tilt = panTilt ? rotor::speedForFraction(type, rotor::RotorDrive::PanTilt, y) : 0;
  // The command stream's zoom runs wide for positive speeds; ONVIF's positive zoom is in.
  const int32_t zs = zoom ? rotor::speedForFraction(type, rotor::RotorDrive::Zoom, -z) : 0;
  // Stops first, then what moves: on heads whose every packet carries the whole command (the
  // Pelco protocols) a stop sent after a move would end that move too. A zoom of 0 that stops
  // nothing of ours is not sent, for the same reason.
  s->lease->head().use([&](CRotor& r) {
    if (panTilt && pan == 0 && tilt == 0) r.move(0, 0);
    if (zoom && zs == 0 && s->zoom) r.zoom(0);
    if (panTilt && (pan != 0 || tilt != 0)) r.move(pan, tilt);
    if (zoom && zs != 0) r.zoom(zs);
  });
  if (panTilt) s->panTilt = pan != 0 || tilt != 0;
  if (zoom) s->zoom = zs != 0;
  const uint64_t limit = timeoutNs > 0 ? std::min(timeoutNs, m_deadManNs) : m_deadManNs;
  s->deadline = platform::monotonicNs() + limit;
  settle(ch.tag);
  m_wake.notify_all();
  return true;
}

bool OnvifPtz::stop(const OnvifChannel& ch, bool panTilt, bool zoom, std::string* why) {
  std::lock_guard<std::mutex> g(m_lock);
  Session* s = sessionFor(ch, why);
  if (!s) return false;
  s->lease->head().use([&](CRotor& r) {
    if (panTilt) r.move(0, 0);
    if (zoom) r.zoom(0);
  });
  if (panTilt) s->panTilt = false;
  if (zoom) s->zoom = false;
  settle(ch.tag);
  return true;
}

bool OnvifPtz::gotoPreset(const OnvifChannel& ch, int n, std::string* why) {
  std::lock_guard<std::mutex> g(m_lock);
  Session* s = sessionFor(ch, why);
  if (!s) return false;
  s->lease->head().use([n](CRotor& r) { r.goto_preset(n); });
  s->panTilt = s->zoom = false;  // the head leaves a continuous move for the preset
  settle(ch.tag);
  return true;
}

bool OnvifPtz::setPreset(const OnvifChannel& ch, int n, std::string* why) {
  std::lock_guard<std::mutex> g(m_lock);
  Session* s = sessionFor(ch, why);
  if (!s) return false;
  s->lease->head().use([n](CRotor& r) { r.set_preset(n); });
  settle(ch.tag);
  return true;
}

void OnvifPtz::moving(const std::string& tag, bool* panTilt, bool* zoom) {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_sessions.find(tag);
  *panTilt = it != m_sessions.end() && it->second.panTilt;
  *zoom = it != m_sessions.end() && it->second.zoom;
}

int OnvifPtz::run() {
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_ending) {
    const uint64_t now = platform::monotonicNs();
    uint64_t next = UINT64_MAX;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
      Session& s = it->second;
      if (s.deadline <= now) {
        haltDrives(s);
        it = m_sessions.erase(it);
        continue;
      }
      next = std::min(next, s.deadline);
      ++it;
    }
    if (next == UINT64_MAX)
      m_wake.wait(lock);
    else
      m_wake.wait_for(lock, std::chrono::nanoseconds(next - now));
  }
  return 0;
}

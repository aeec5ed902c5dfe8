#include "pantilt/RotorHead.h"

#include <map>

#include "channels/ChannelSettings.h"
#include "platform/SerialPort.h"

namespace {

// Heads by serial device path. Leases are made and ended under the lock, so a head is closed
// before anybody can open its port again.
std::mutex g_headsLock;
std::map<std::string, std::weak_ptr<RotorHead>> g_heads;  // guarded by g_headsLock

}  // namespace

std::unique_ptr<RotorLease> leaseRotorHead(const RotorHeadConfig& config, RotorUser user,
                                           std::string* why) {
  const bool viewer = user == RotorUser::Viewer;
  const std::string port = "COM" + std::to_string(config.port);
  const std::string device = platform::serialDevicePath(config.port);
  std::lock_guard<std::mutex> guard(g_headsLock);
  std::shared_ptr<RotorHead> head = g_heads[device].lock();
  if (!head) {
    std::unique_ptr<CRotor> rotor = createRotor(config.type);
    if (!rotor || !rotor->init(config.port, config.baud, config.address)) {
      g_heads.erase(device);
      if (why) *why = rotor ? "the serial port " + port + " cannot be opened" : "no pan/tilt head is configured";
      return nullptr;
    }
    head = std::make_shared<RotorHead>(config, device, std::move(rotor));
    g_heads[device] = head;
  } else if (head->config() != config) {
    if (why) *why = "the serial port " + port + " is in use for a head of other settings";
    return nullptr;
  } else if (viewer && head->m_viewerHeld) {
    if (why) *why = "the head on " + port + " is steered by another viewer";
    return nullptr;
  }
  if (viewer) head->m_viewerHeld = true;
  return std::unique_ptr<RotorLease>(new RotorLease(std::move(head), viewer));
}

RotorLease::~RotorLease() {
  std::lock_guard<std::mutex> guard(g_headsLock);
  if (m_viewer) m_head->m_viewerHeld = false;
  const std::string device = m_head->m_device;
  m_head.reset();
  auto it = g_heads.find(device);
  if (it != g_heads.end() && it->second.expired()) g_heads.erase(it);
}

RotorHeadConfig readRotorHead(const std::string& section) {
  RotorHeadConfig h;
  h.type = readSettingInt(section, cnlsettings::kRotorType);
  h.port = readSettingInt(section, cnlsettings::kRotorComPort);
  h.baud = readSettingInt(section, cnlsettings::kRotorBaudRate);
  h.address = readSettingInt(section, cnlsettings::kRotorAddress);
  return h;
}

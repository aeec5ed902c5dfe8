#include "pantilt/CPelcoD.h"

#include "pantilt/RotorSpeed.h"

namespace {
const RotorLogNames kNames = {"PelcoD rotor", "CPelcoD::init", "CPelcoD::serial_port_configure"};
constexpr uint8_t kZoomSpeedCode = 0x25;
constexpr uint8_t kFocusSpeedCode = 0x27;

// Pelco-D speed bytes keep bits 23 to 28 of the magnitude.
uint8_t speedByte(int32_t v) { return (rotor::complementMagnitude(v) >> 23) & 0x3F; }
}  // namespace

CPelcoD::Packet CPelcoD::packet(uint8_t address, uint8_t cmd1, uint8_t cmd2, uint8_t data1,
                                uint8_t data2) {
  Packet p = {0xFF, address, cmd1, cmd2, data1, data2, 0};
  p[6] = static_cast<uint8_t>(p[1] + p[2] + p[3] + p[4] + p[5]);
  return p;
}

CPelcoD::CPelcoD() : m_port(kNames) {}
CPelcoD::~CPelcoD() { close(); }

bool CPelcoD::init(int port, int baud, int address) {
  m_address = static_cast<uint8_t>(address);
  return m_port.open(port, baud);
}

void CPelcoD::close() { m_port.close(); }

bool CPelcoD::send(uint8_t cmd1, uint8_t cmd2, uint8_t data1, uint8_t data2) {
  const Packet p = packet(m_address, cmd1, cmd2, data1, data2);
  m_port.send(p.data(), p.size());
  return true;
}

void CPelcoD::speedStep(int32_t v, uint8_t code, uint32_t* last) {
  const uint32_t m = rotor::complementMagnitude(v);
  if (m == 0 || m == *last) return;
  *last = m;
  send(0, code, 0, static_cast<uint8_t>(rotor::speedStep(m)));
}

bool CPelcoD::move(int32_t pan, int32_t tilt) {
  uint8_t cmd2 = 0, data1 = 0, data2 = 0;
  if (pan != 0) {
    cmd2 |= pan > 0 ? 0x02 : 0x04;
    data1 = speedByte(pan);
  }
  if (tilt != 0) {
    cmd2 |= tilt > 0 ? 0x08 : 0x10;
    data2 = speedByte(tilt);
  }
  return send(0, cmd2, data1, data2);
}

bool CPelcoD::focus(int32_t speed) {
  speedStep(speed, kFocusSpeedCode, &m_focusMagnitude);
  return send(speed > 0 ? 0x01 : 0, speed < 0 ? 0x80 : 0, 0, 0);
}

bool CPelcoD::iris(int32_t speed) {
  return send(speed > 0 ? 0x04 : speed < 0 ? 0x02 : 0, 0, 0, 0);
}

bool CPelcoD::zoom(int32_t speed) {
  speedStep(speed, kZoomSpeedCode, &m_zoomMagnitude);
  return send(0, speed > 0 ? 0x40 : speed < 0 ? 0x20 : 0, 0, 0);
}

bool CPelcoD::set_preset(int32_t n) { return send(0, 0x03, 0, static_cast<uint8_t>(n)); }
bool CPelcoD::goto_preset(int32_t n) { return send(0, 0x07, 0, static_cast<uint8_t>(n)); }

#include "pantilt/CPelcoP.h"

#include "pantilt/RotorSpeed.h"

namespace {
const RotorLogNames kNames = {"PelcoP rotor", "CPelcoP::init", "CPelcoP::serial_port_configure"};
constexpr uint8_t kZoomSpeedCode = 0x25;
constexpr uint8_t kFocusSpeedCode = 0x27;

// Pelco-P speed bytes keep bits 23 to 30 of the magnitude.
uint8_t speedByte(int32_t v) { return static_cast<uint8_t>(rotor::complementMagnitude(v) >> 23); }
}  // namespace

CPelcoP::Packet CPelcoP::packet(uint8_t address, uint8_t data1, uint8_t data2, uint8_t data3,
                                uint8_t data4) {
  Packet p = {0xA0, address, data1, data2, data3, data4, 0xAF, 0};
  for (int i = 0; i < 7; ++i) p[7] ^= p[i];
  return p;
}

CPelcoP::CPelcoP() : m_port(kNames) {}
CPelcoP::~CPelcoP() { close(); }

bool CPelcoP::init(int port, int baud, int address) {
  m_address = static_cast<uint8_t>(address);
  return m_port.open(port, baud);
}

void CPelcoP::close() { m_port.close(); }

bool CPelcoP::send(uint8_t data1, uint8_t data2, uint8_t data3, uint8_t data4) {
  const Packet p = packet(m_address, data1, data2, data3, data4);
  m_port.send(p.data(), p.size());
  return true;
}

void CPelcoP::speedStep(int32_t v, uint8_t code, uint32_t* last) {
  const uint32_t m = rotor::complementMagnitude(v);
  if (m == 0 || m == *last) return;
  *last = m;
  send(0, code, 0, static_cast<uint8_t>(rotor::speedStep(m)));
}

bool CPelcoP::move(int32_t pan, int32_t tilt) {
  uint8_t data2 = 0, data3 = 0, data4 = 0;
  if (pan != 0) {
    data2 |= pan > 0 ? 0x02 : 0x04;
    data3 = speedByte(pan);
  }
  if (tilt != 0) {
    data2 |= tilt > 0 ? 0x08 : 0x10;
    data4 = speedByte(tilt);
  }
  return send(0, data2, data3, data4);
}

bool CPelcoP::focus(int32_t speed) {
  speedStep(speed, kFocusSpeedCode, &m_focusMagnitude);
  return send(speed > 0 ? 0x02 : speed < 0 ? 0x01 : 0, 0, 0, 0);
}

bool CPelcoP::iris(int32_t speed) {
  return send(speed > 0 ? 0x08 : speed < 0 ? 0x04 : 0, 0, 0, 0);
}

bool CPelcoP::zoom(int32_t speed) {
  speedStep(speed, kZoomSpeedCode, &m_zoomMagnitude);
  return send(0, speed > 0 ? 0x40 : speed < 0 ? 0x20 : 0, 0, 0);
}

bool CPelcoP::set_preset(int32_t n) { return send(0, 0x03, 0, static_cast<uint8_t>(n)); }
bool CPelcoP::goto_preset(int32_t n) { return send(0, 0x07, 0, static_cast<uint8_t>(n)); }

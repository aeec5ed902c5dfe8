#include "pantilt/CAutoDome.h"

#include "base/CLogFile.h"
#include "pantilt/RotorSpeed.h"

namespace {
const RotorLogNames kNames = {"AutoDome rotor", "CAutoDome::init",
                              "CAutoDome::serial_port_configure"};
constexpr uint8_t kVariableThresholds[8] = {8, 12, 16, 20, 23, 26, 28, 99};
constexpr uint32_t kVariableMinStep = 3;  // below this the variable drive stops

constexpr uint8_t kOpFocus = 0x04, kOpMove = 0x05, kOpIris = 0x06, kOpPreset = 0x07,
                  kOpVariable = 0x08;

uint8_t panTiltCode(int32_t v) {
  return rotor::thresholdIndex(rotor::kPanTiltThresholds,
                               rotor::speedStep(rotor::complementMagnitude(v)));
}

template <size_t N>
void fillHead(std::array<uint8_t, N>& p, uint8_t start, uint16_t address, uint8_t opcode) {
  p[0] = start;
  p[1] = (address >> 7) & 0x7F;
  p[2] = address & 0x7F;
  p[3] = opcode;
}

template <size_t N>
void fillChecksum(std::array<uint8_t, N>& p) {
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < N; ++i) sum += p[i];
  p[N - 1] = sum & 0x7F;
}

uint8_t presetHigh(int32_t n) { return static_cast<uint8_t>(((n >> 7) & 7) * 16); }
}  // namespace

CAutoDome::ShortPacket CAutoDome::shortPacket(uint16_t address, uint8_t opcode, uint8_t data0,
                                              uint8_t data1) {
  ShortPacket p{};
  fillHead(p, 0x86, address, opcode);
  p[4] = data0 & 0x7F;
  p[5] = data1 & 0x7F;
  fillChecksum(p);
  return p;
}

CAutoDome::LongPacket CAutoDome::longPacket(uint16_t address, uint8_t opcode, uint8_t data0,
                                            uint8_t data1, uint8_t data2) {
  LongPacket p{};
  fillHead(p, 0x87, address, opcode);
  p[4] = data0 & 0x7F;
  p[5] = data1 & 0x7F;
  p[6] = data2 & 0x7F;
  fillChecksum(p);
  return p;
}

CAutoDome::CAutoDome() : m_port(kNames) {}
CAutoDome::~CAutoDome() { close(); }

bool CAutoDome::init(int port, int baud, int address) {
  m_address = static_cast<uint16_t>(address);
  return m_port.open(port, baud);
}

void CAutoDome::close() { m_port.close(); }

bool CAutoDome::packSend(const uint8_t* packet, size_t len) {
  if (m_port.send(packet, len)) return true;
  g_logFile.log(CLogFile::Error, kNames.source, "Error sending a command packet to an Autodome.",
                "CAutoDome::packSend");
  return false;
}

bool CAutoDome::move(int32_t pan, int32_t tilt) {
  uint8_t dir = 0;
  if (pan > 0) dir |= 0x01;
  if (pan < 0) dir |= 0x02;
  if (tilt < 0) dir |= 0x04;
  if (tilt > 0) dir |= 0x08;
  const uint8_t tiltCode = tilt == 0 ? 0 : panTiltCode(tilt);
  const uint8_t panCode = pan == 0 ? 0 : panTiltCode(pan);
  const LongPacket p = longPacket(m_address, kOpMove, tiltCode & 0x0F, panCode * 8, dir);
  return packSend(p.data(), p.size());
}

bool CAutoDome::zoom(int32_t speed) {
  const uint8_t code = rotor::thresholdIndex(
      rotor::kAutoDomeZoomThresholds, rotor::speedStep(rotor::complementMagnitude(speed)));
  const uint8_t dir = speed < 0 ? 0x10 : speed > 0 ? 0x20 : 0;
  const LongPacket p = longPacket(m_address, kOpMove, speed == 0 ? 0 : code * 16, 0, dir);
  return packSend(p.data(), p.size());
}

bool CAutoDome::variable_drive(int32_t speed) {
  const uint32_t step = rotor::speedStep(rotor::negatedMagnitude(speed));
  uint8_t data0 = 0, dir = 0;
  if (step >= kVariableMinStep) {
    data0 = rotor::thresholdIndex(kVariableThresholds, step) * 16;
    dir = speed < 0 ? 0x10 : 0x20;
  }
  const LongPacket p = longPacket(m_address, kOpVariable, data0, 0, dir);
  return packSend(p.data(), p.size());
}

bool CAutoDome::focus(int32_t speed) {
  const ShortPacket p =
      shortPacket(m_address, kOpFocus, speed > 0 ? 0x01 : 0, speed < 0 ? 0x40 : 0);
  return packSend(p.data(), p.size());
}

bool CAutoDome::iris(int32_t speed) {
  const ShortPacket p =
      shortPacket(m_address, kOpIris, 0, speed > 0 ? 0x10 : speed < 0 ? 0x20 : 0);
  return packSend(p.data(), p.size());
}

bool CAutoDome::set_preset(int32_t n) {
  const ShortPacket p = shortPacket(m_address, kOpPreset, presetHigh(n) + 4, n & 0x7F);
  return packSend(p.data(), p.size());
}

bool CAutoDome::goto_preset(int32_t n) {
  const ShortPacket p = shortPacket(m_address, kOpPreset, presetHigh(n) + 5, n & 0x7F);
  return packSend(p.data(), p.size());
}

#include "pantilt/CSpeedDome.h"

#include "base/CLogFile.h"
#include "pantilt/RotorSpeed.h"

namespace {
const RotorLogNames kNames = {"SpeedDome rotor", "CSpeedDome::init",
                              "CSpeedDome::serial_port_configure"};
constexpr uint8_t kPanTiltSpeeds[16] = {0, 10, 35, 40, 45, 50, 53, 56,
                                        60, 65, 75, 85, 95, 95, 95, 100};
constexpr uint8_t kOpDrive = 0xC0, kOpPreset = 0xC7;

uint8_t speedCode(uint32_t magnitude) {
  return kPanTiltSpeeds[rotor::thresholdIndex(rotor::kPanTiltThresholds,
                                              rotor::speedStep(magnitude))];
}

template <size_t N>
void fillCheck(std::array<uint8_t, N>& p) {
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < N; ++i) sum += p[i];
  p[N - 1] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

// Presets outside 0..95 do not exist on the head (a negative number counts as outside).
bool validPreset(int32_t n) { return n >= 0 && n <= CSpeedDome::kMaxPreset; }
}  // namespace

CSpeedDome::CommandPacket CSpeedDome::commandPacket(uint8_t address, uint8_t command) {
  CommandPacket p = {address, command, 0};
  fillCheck(p);
  return p;
}

CSpeedDome::ParameterPacket CSpeedDome::parameterPacket(uint8_t address, uint8_t opcode,
                                                        uint8_t param1, uint8_t param2) {
  ParameterPacket p = {address, opcode, param1, param2, 0};
  fillCheck(p);
  return p;
}

CSpeedDome::CSpeedDome() : m_port(kNames) {}
CSpeedDome::~CSpeedDome() { close(); }

bool CSpeedDome::init(int port, int baud, int address) {
  m_address = static_cast<uint8_t>(address);
  return m_port.open(port, baud);
}

void CSpeedDome::close() { m_port.close(); }

bool CSpeedDome::pktSend(const uint8_t* packet, size_t len) {
  if (m_port.send(packet, len)) return true;
  g_logFile.log(CLogFile::Error, kNames.source, "Error sending a command packet to a SpeedDome.",
                "CSpeedDome::pktSend");
  return false;
}

bool CSpeedDome::command(uint8_t cmd) {
  const CommandPacket p = commandPacket(m_address, cmd);
  return pktSend(p.data(), p.size());
}

bool CSpeedDome::move(int32_t pan, int32_t tilt) {
  bool ok;
  if (pan == 0) {
    ok = command(0x83);
  } else {
    const ParameterPacket p = parameterPacket(m_address, kOpDrive, pan > 0 ? 0x82 : 0x81,
                                              speedCode(rotor::complementMagnitude(pan)));
    ok = pktSend(p.data(), p.size());
  }
  if (tilt == 0) return command(0x86) && ok;
  const ParameterPacket p = parameterPacket(m_address, kOpDrive, tilt > 0 ? 0x84 : 0x85,
                                            speedCode(rotor::negatedMagnitude(tilt)));
  return pktSend(p.data(), p.size()) && ok;
}

bool CSpeedDome::focus(int32_t speed) { return command(speed > 0 ? 0x88 : speed < 0 ? 0x87 : 0x89); }
bool CSpeedDome::iris(int32_t speed) { return command(speed > 0 ? 0x90 : speed < 0 ? 0x91 : 0x92); }
bool CSpeedDome::zoom(int32_t speed) { return command(speed > 0 ? 0x8B : speed < 0 ? 0x8A : 0x8C); }
bool CSpeedDome::stop_all() { return command(0x93); }

bool CSpeedDome::set_preset(int32_t n) {
  if (!validPreset(n)) return true;
  const ParameterPacket p = parameterPacket(m_address, kOpPreset, 0x01, static_cast<uint8_t>(n));
  return pktSend(p.data(), p.size());
}

bool CSpeedDome::goto_preset(int32_t n) {
  if (!validPreset(n)) return true;
  const ParameterPacket p = parameterPacket(m_address, kOpPreset, 0x02, static_cast<uint8_t>(n));
  return pktSend(p.data(), p.size());
}

#pragma once
// CSpeedDome: SpeedDome heads. Two packet forms: a 3-byte command (address, command, check) and
// a 5-byte parameter packet (address, opcode, parameter 1, parameter 2, check); the check byte
// makes the sum of the packet 0 modulo 256. Presets 0 to 95 exist; others send nothing. A packet
// not written whole within the port's deadline is logged and the operation reports false.
//
// Threads: the owning client's thread only.
#include <array>
#include <cstdint>

#include "pantilt/CRotor.h"
#include "pantilt/CRotorPort.h"

class CSpeedDome : public CRotor {
 public:
  using CommandPacket = std::array<uint8_t, 3>;
  using ParameterPacket = std::array<uint8_t, 5>;
  static CommandPacket commandPacket(uint8_t address, uint8_t command);
  static ParameterPacket parameterPacket(uint8_t address, uint8_t opcode, uint8_t param1,
                                         uint8_t param2);
  static constexpr int32_t kMaxPreset = 95;

  CSpeedDome();
  ~CSpeedDome() override;

  bool init(int port, int baud, int address) override;
  void close() override;
  bool move(int32_t pan, int32_t tilt) override;
  bool focus(int32_t speed) override;
  bool iris(int32_t speed) override;
  bool zoom(int32_t speed) override;
  bool stop_all() override;
  bool set_preset(int32_t n) override;
  bool goto_preset(int32_t n) override;

 private:
  bool pktSend(const uint8_t* packet, size_t len);
  bool command(uint8_t cmd);

  CRotorPort m_port;
  uint8_t m_address = 0;
};

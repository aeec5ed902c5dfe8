#pragma once
// CAutoDome: AutoDome heads. Packets are a short (7-byte, 86 ...) or long (8-byte, 87 ...) frame:
// start byte, two address bytes, opcode, data bytes, checksum (sum of the preceding bytes modulo
// 128); every byte after the first is a 7-bit value. The first address byte carries address bits
// 7 to 13, the second bits 0 to 6, so every head 0..255 on a line is told apart. Speeds map to
// head codes through threshold tables. A packet not written whole within the port's deadline is
// logged and the operation reports false.
//
// Threads: the owning client's thread only.
#include <array>
#include <cstdint>

#include "pantilt/CRotor.h"
#include "pantilt/CRotorPort.h"

class CAutoDome : public CRotor {
 public:
  using ShortPacket = std::array<uint8_t, 7>;
  using LongPacket = std::array<uint8_t, 8>;
  static ShortPacket shortPacket(uint16_t address, uint8_t opcode, uint8_t data0, uint8_t data1);
  static LongPacket longPacket(uint16_t address, uint8_t opcode, uint8_t data0, uint8_t data1,
                               uint8_t data2);

  CAutoDome();
  ~CAutoDome() override;

  bool init(int port, int baud, int address) override;
  void close() override;
  bool move(int32_t pan, int32_t tilt) override;
  bool focus(int32_t speed) override;
  bool iris(int32_t speed) override;
  bool zoom(int32_t speed) override;
  bool variable_drive(int32_t speed) override;
  bool stop_all() override { return stopEachDrive(); }
  bool set_preset(int32_t n) override;
  bool goto_preset(int32_t n) override;

 private:
  bool packSend(const uint8_t* packet, size_t len);

  CRotorPort m_port;
  uint16_t m_address = 0;
};

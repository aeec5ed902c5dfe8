#pragma once
// CPelcoD: heads speaking Pelco-D. Every operation writes one 7-byte packet (zoom and focus may
// first write a speed packet): FF, address, command 1, command 2, data 1, data 2, checksum (sum
// of bytes 1 to 5). Each packet starts from an all-zero command, which on its own stops the head.
// Write results are not checked.
//
// Threads: the owning client's thread only.
#include <array>
#include <cstdint>

#include "pantilt/CRotor.h"
#include "pantilt/CRotorPort.h"

class CPelcoD : public CRotor {
 public:
  using Packet = std::array<uint8_t, 7>;
  static Packet packet(uint8_t address, uint8_t cmd1, uint8_t cmd2, uint8_t data1, uint8_t data2);

  CPelcoD();
  ~CPelcoD() override;

  bool init(int port, int baud, int address) override;
  void close() override;
  bool move(int32_t pan, int32_t tilt) override;
  bool focus(int32_t speed) override;
  bool iris(int32_t speed) override;
  bool zoom(int32_t speed) override;
  bool stop_all() override { return stopEachDrive(); }
  bool set_preset(int32_t n) override;
  bool goto_preset(int32_t n) override;

 private:
  bool send(uint8_t cmd1, uint8_t cmd2, uint8_t data1, uint8_t data2);
  // Sends the speed packet (code in command 2, step in data 2) when the magnitude of v is
  // non-zero and differs from the last one remembered in *last.
  void speedStep(int32_t v, uint8_t code, uint32_t* last);

  CRotorPort m_port;
  uint8_t m_address = 0;
  uint32_t m_zoomMagnitude = 0;
  uint32_t m_focusMagnitude = 0;
};

#pragma once
// CPelcoP: heads speaking Pelco-P. Every operation writes one 8-byte packet (zoom and focus may
// first write a speed packet): A0, address, data 1 to data 4, AF, checksum (xor of bytes 0 to 6).
// Each packet starts from all-zero data, which on its own stops the head. Write results are not
// checked.
//
// Threads: the owning client's thread only.
#include <array>
#include <cstdint>

#include "pantilt/CRotor.h"
#include "pantilt/CRotorPort.h"

class CPelcoP : public CRotor {
 public:
  using Packet = std::array<uint8_t, 8>;
  static Packet packet(uint8_t address, uint8_t data1, uint8_t data2, uint8_t data3,
                       uint8_t data4);

  CPelcoP();
  ~CPelcoP() override;

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
  bool send(uint8_t data1, uint8_t data2, uint8_t data3, uint8_t data4);
  // Sends the speed packet (code in data 2, step in data 4) when the magnitude of v is non-zero
  // and differs from the last one remembered in *last.
  void speedStep(int32_t v, uint8_t code, uint32_t* last);

  CRotorPort m_port;
  uint8_t m_address = 0;
  uint32_t m_zoomMagnitude = 0;
  uint32_t m_focusMagnitude = 0;
};

#pragma once
// CRotorPort: the serial port of one pan/tilt driver, opened and configured the way every driver
// does it, with the driver's own log names. Packets are written whole, each within a deadline,
// so a line with handshake held off and nothing attached never blocks the client for good.
//
// Ownership: owns the open port. Threads: the driver's thread only.
#include <cstddef>
#include <cstdint>

#include "platform/SerialPort.h"

// The names a driver's port lines are logged under.
struct RotorLogNames {
  const char* source;       // "PelcoD rotor"
  const char* initFn;       // "CPelcoD::init"
  const char* configureFn;  // "CPelcoD::serial_port_configure"
};

// The speed a driver sets for a configured baud rate: 1200, 2400, 4800 and 19200 are kept,
// anything else becomes 9600.
int rotorBaudRate(int requested);

class CRotorPort {
 public:
  static constexpr int kWriteDeadlineMs = 2000;

  explicit CRotorPort(const RotorLogNames& names) : m_names(names) {}

  // Opens "COM" + port, configures it for baud (see rotorBaudRate), 8N1. On failure logs the
  // system's error text (Error, configureFn), then "Error opening the pan/tilt serial port
  // COM<n>" (Error, initFn) and returns false.
  bool open(int port, int baud);
  // True when the whole packet was written within kWriteDeadlineMs. Not logged here.
  bool send(const uint8_t* packet, size_t len);
  void close() { m_serial.close(); }
  bool isOpen() const { return m_serial.isOpen(); }
  const RotorLogNames& names() const { return m_names; }

 private:
  const RotorLogNames m_names;
  platform::SerialPort m_serial;
};

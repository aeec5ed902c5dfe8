#pragma once
// CRotor: the pan/tilt driver interface. A driver turns one operation into one or more packets of
// its head's serial protocol and writes them to the port opened by init(). Nothing is read back.
//
// Speeds and values are signed 32-bit: the sign gives the direction, the magnitude the speed
// (full scale 2^31 - 1). The base versions do nothing and report success; a driver reports false
// only where its protocol checks the write (AutoDome, SpeedDome).
//
// Ownership: a driver owns its open port; close() or destruction releases it.
// Threads: one thread at a time (the pan/tilt client's own thread).
#include <cstdint>
#include <memory>

class CRotor {
 public:
  CRotor() = default;
  virtual ~CRotor() = default;
  CRotor(const CRotor&) = delete;
  CRotor& operator=(const CRotor&) = delete;

  // Opens and configures serial port "COM" + port, remembers the head address. False (logged)
  // when the port cannot be opened or configured.
  virtual bool init(int port, int baud, int address) = 0;
  virtual void close() {}
  virtual bool move(int32_t pan, int32_t tilt) { return true; }
  virtual bool focus(int32_t speed) { return true; }
  virtual bool iris(int32_t speed) { return true; }
  virtual bool zoom(int32_t speed) { return true; }
  virtual bool variable_drive(int32_t speed) { return true; }
  virtual bool stop_all() { return true; }
  virtual bool set_preset(int32_t n) { return true; }
  virtual bool goto_preset(int32_t n) { return true; }

 protected:
  // The stop most heads understand: every drive set to speed 0, one after the other.
  bool stopEachDrive();
};

// Driver type codes as the settings store them ("RotorType").
enum RotorType { kRotorUnknown = 0, kRotorNone = 1, kRotorAutoDome = 2, kRotorSpeedDome = 3,
                 kRotorPelcoD = 4, kRotorPelcoP = 5 };

// The driver for a type code, or nullptr for a code without one (unknown, none, out of range).
std::unique_ptr<CRotor> createRotor(int typeCode);

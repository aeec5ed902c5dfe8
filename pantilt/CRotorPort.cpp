#include "pantilt/CRotorPort.h"

#include <cstring>
#include <string>

#include "base/CLogFile.h"

int rotorBaudRate(int requested) {
  switch (requested) {
    case 1200:
    case 2400:
    case 4800:
    case 19200:
      return requested;
    default:
      return 9600;
  }
}

bool CRotorPort::open(int port, int baud) {
  int err = m_serial.open(platform::serialDevicePath(port));
  if (err == 0) err = m_serial.configure(rotorBaudRate(baud));
  if (err == 0) return true;
  m_serial.close();
  g_logFile.log(CLogFile::Error, m_names.source, std::strerror(err), m_names.configureFn);
  g_logFile.log(CLogFile::Error, m_names.source,
                "Error opening the pan/tilt serial port COM" + std::to_string(port), m_names.initFn);
  return false;
}

bool CRotorPort::send(const uint8_t* packet, size_t len) {
  const ssize_t n = m_serial.write(packet, len, kWriteDeadlineMs);
  return n >= 0 && static_cast<size_t>(n) == len;
}

#pragma once
// The serial-port seam: opening "COM" + n, setting the line's speed and framing, and writing
// whole packets with a deadline. Pan/tilt drivers use it through CRotorPort; nothing above this
// file calls open(), ioctl() or tcsetattr() on a serial line.
//
// Port names: "COM" + n is $TELVGATE_SERIAL_DIR/COM<n> when that variable is set (tests point it
// at a folder of links to pseudo-terminals), else /dev/telvgate/COM<n> when it exists (a udev
// link the installer makes to any adapter), else /dev/ttyS<n-1>.
//
// Ownership: a SerialPort owns its descriptor; destruction closes it. Not copyable.
// Threads: one thread at a time uses a port (the pan/tilt client's own thread).
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The device path that "COM" + port stands for (see above).
std::string serialDevicePath(int port);

class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the device write-only, without becoming its controlling terminal, close-on-exec, and
  // exclusively: a second open of the same device while this one holds it fails with EBUSY
  // (TIOCEXCL, plus an flock so that the refusal holds for privileged processes too).
  // 0 or errno.
  int open(const std::string& path);
  // Reads the line's settings, sets the speed (1200, 2400, 4800, 9600 or 19200; anything else
  // is EINVAL), 8 data bits, no parity, one stop bit and raw output (no newline translation,
  // which would corrupt binary packets), and writes them back; everything else stays as the
  // system had it. 0 or errno (EBADF when not open).
  int configure(int baud);
  // Writes all len bytes, waiting for the line at most timeoutMs in all. The number of bytes
  // written (less than len when the time ran out), or -1 on an error (errno kept).
  ssize_t write(const void* data, size_t len, int timeoutMs);
  void close();
  bool isOpen() const { return m_fd >= 0; }
  int handle() const { return m_fd; }

 private:
  int m_fd = -1;
};

}  // namespace platform

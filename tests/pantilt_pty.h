#pragma once
// A pseudo-terminal standing in for a serial line: the driver opens "COM<n>", which a temporary
// $TELVGATE_SERIAL_DIR links to the pty's slave; the test reads what the head would receive on
// the master. The fixture keeps a slave descriptor of its own open, so the line (and its
// settings) outlives the driver's open and close.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestEnv.h"

namespace ptytest {

using Bytes = std::vector<uint8_t>;

class PtyLine {
 public:
  explicit PtyLine(int port = 3) : m_port(port) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) return;
    const char* name = ptsname(m_master);
    if (!name) return;
    m_slaveName = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (symlink(name, m_dir.file("COM" + std::to_string(port)).c_str()) != 0) return;
    const char* old = getenv("TELVGATE_SERIAL_DIR");
    m_hadOld = old != nullptr;
    if (old) m_old = old;
    setenv("TELVGATE_SERIAL_DIR", m_dir.path().c_str(), 1);
  }
  ~PtyLine() {
    if (m_hadOld)
      setenv("TELVGATE_SERIAL_DIR", m_old.c_str(), 1);
    else
      unsetenv("TELVGATE_SERIAL_DIR");
    if (m_slave >= 0) ::close(m_slave);
    if (m_master >= 0) ::close(m_master);
  }
  bool ok() const { return m_master >= 0 && m_slave >= 0 && !m_slaveName.empty(); }
  int port() const { return m_port; }
  int slave() const { return m_slave; }
  const TempDir& dir() const { return m_dir; }

  // Reads until n bytes arrived or timeoutMs passed; what arrived.
  Bytes read(size_t n, int timeoutMs = 2000) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{m_master, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      uint8_t buf[256];
      const size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
      const ssize_t got = ::read(m_master, buf, want);
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  // Everything that arrives within ms of silence.
  Bytes drain(int ms = 100) {
    Bytes out;
    for (;;) {
      Bytes b = read(1, ms);
      if (b.empty()) return out;
      out.insert(out.end(), b.begin(), b.end());
    }
  }

 private:
  int m_port;
  TempDir m_dir;
  int m_master = -1, m_slave = -1;
  std::string m_slaveName, m_old;
  bool m_hadOld = false;
};

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace ptytest

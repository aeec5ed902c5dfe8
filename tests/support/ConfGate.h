#pragma once
// A headless telvgate in a home of its own, configuration pages on 127.0.0.1 (port chosen by
// the system) and, when asked, its HTTPS port; the ports are read from what it prints.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"

class ConfGate {
 public:
  // extraSystem: more "[System]" lines; extraSections: whole sections after it. With https,
  // a free loopback port becomes "ConfTLSPort".
  explicit ConfGate(bool https = false, const std::string& extraSystem = "",
                    const std::string& extraSections = "");
  // wrapper: see ProgramHome::start.
  bool start(const std::vector<std::string>& wrapper = {});
  std::string logPath() const { return m_home.logPath(); }
  std::string settingsDir() const { return m_home.path() + "/.foxrc/TELVORA"; }
  ChildProcess& proc() { return m_proc; }
  uint16_t port = 0;
  uint16_t tlsPort = 0;
  std::string fingerprint;  // as start-up printed it

 private:
  ProgramHome m_home;
  ChildProcess m_proc;
};

// A loopback port nobody listens on right now.
uint16_t unusedLoopbackPort();

// Shell and curl helpers of the HTTPS tests.
namespace conftls {
// Standard output and error of a shell command.
std::string sh(const std::string& command);
// curl over HTTPS trusting the gateway's certificate file (or crt); prints the status code last.
std::string curlTls(const ConfGate& g, const std::string& args, const std::string& crt = "");
// The status code curlTls printed last.
inline std::string code(const std::string& curlOut) { return curlOut.substr(curlOut.size() < 3 ? 0 : curlOut.size() - 3); }
}  // namespace conftls

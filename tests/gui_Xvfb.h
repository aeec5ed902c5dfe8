#pragma once
// A private X server for GUI tests: Xvfb on a display number it picks itself (-displayfd),
// ended by the destructor. Tests skip when Xvfb is not installed.
#include <string>

#include "tests/support/ChildProcess.h"

class XvfbServer {
 public:
  XvfbServer() = default;
  ~XvfbServer() { stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Path of an executable found in PATH ("" when missing).
  static std::string findProgram(const std::string& name);
  static bool available() { return !findProgram("Xvfb").empty(); }

  // Starts a 1024 x 768 x 24 screen and waits (up to 10 s) until it accepts clients.
  bool start();
  void stop() { m_server.terminate(); }
  // ":N"
  const std::string& display() const { return m_display; }

  // Runs a shell command with DISPLAY set to this server; returns its exit status and puts
  // its standard output into *out when given.
  int run(const std::string& command, std::string* out = nullptr) const;

 private:
  ChildProcess m_server;
  std::string m_display;
};

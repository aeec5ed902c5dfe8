#pragma once
// The real telvgate program in a home of its own, for black-box tests: a temporary folder that
// holds the settings file, an empty FOXDIR and the log, and is also the program's lock folder
// and working directory, so a run never reads or writes the user's files nor meets another
// test's instance. One home may serve several runs, one after the other or side by side.
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnv.h"

class ProgramHome : public TempDir {
 public:
  using Env = std::vector<std::pair<std::string, std::string>>;
  // A display that has no server: the program must go headless by itself.
  static constexpr const char* kNoDisplay = ":4711";

  // Creates the home and writes the settings file (see writeSettings); a failure is reported
  // to the running test.
  explicit ProgramHome(const std::string& settings = "");

  // Replaces the settings file with "[System]", the log file in this home, then `settings` as
  // given: further [System] lines, or other sections after a blank line.
  void writeSettings(const std::string& settings);
  // Starts telvgate with `args` ({"--headless", "127.0.0.1", "0"}, ...): HOME, FOXDIR and
  // TELVGATE_LOCK_DIR point into this home and DISPLAY is kNoDisplay; the entries of `env` are
  // set after these and may replace any of them. wrapper: a program that starts telvgate, its
  // arguments before the program's path ({"/usr/bin/prlimit", "--nofile=48:48", "--"}).
  bool start(ChildProcess& p, const std::vector<std::string>& args, const Env& env = {},
             const std::vector<std::string>& wrapper = {}) const;

  std::string settingsFile() const;
  // The settings file as last written here (the program rewrites it only on a submission).
  const std::string& settingsText() const { return m_settings; }
  std::string logPath() const { return file("TelvGateLog.log"); }
  std::string log() const { return readFile(logPath()); }

 private:
  std::string m_settings;
};

// The number that follows `marker` on p's standard output, such as the port in "TelvGate
// configuration pages: http://127.0.0.1:<port>/configure"; waits up to timeoutMs until the
// marker and the whole number have been written. -1 when they did not come.
int announcedNumber(const ChildProcess& p, const std::string& marker, int timeoutMs = 10000);
// The configuration server's port on 127.0.0.1 from its start-up line, or -1.
int confPort(const ChildProcess& p, int timeoutMs = 10000);

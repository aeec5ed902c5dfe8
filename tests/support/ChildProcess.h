#pragma once
// Starts a program of ours (telvgate, the fake camera) as a child process for black-box
// tests, with extra environment variables, its standard output and error captured to files.
// The destructor always ends the child (SIGTERM, then SIGKILL after 5 s) and reaps it.
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `args`; env entries are set in the child ("NAME", "value"), in
  // addition to the current environment. The child's working directory is `cwd` when not empty.
  bool start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::pair<std::string, std::string>>& env = {},
             const std::string& cwd = "");
  pid_t pid() const { return m_pid; }
  bool running();
  // Sends a signal.
  void signal(int sig);
  // Waits up to timeoutMs for the child to end; true with its exit status decoded into
  // *exitCode (128 + signal number when it was killed by a signal).
  bool wait(int timeoutMs, int* exitCode);
  // Ends the child: SIGTERM, wait up to 5 s, then SIGKILL.
  void terminate();

  std::string stdoutText() const;
  std::string stderrText() const;
  // Polls stdout (every 20 ms, up to timeoutMs) until it contains `needle`.
  bool waitForStdout(const std::string& needle, int timeoutMs) const;
  bool waitForStderr(const std::string& needle, int timeoutMs) const;

 private:
  pid_t m_pid = -1;
  std::string m_outPath, m_errPath;
};

// Path of a program built beside the tests (e.g. "telvgate", "fakecam").
std::string builtProgram(const std::string& name);

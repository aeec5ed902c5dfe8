#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

std::string builtProgram(const std::string& name) { return buildTreePath(name); }

ChildProcess::~ChildProcess() {
  terminate();
  if (!m_outPath.empty()) unlink(m_outPath.c_str());
  if (!m_errPath.empty()) unlink(m_errPath.c_str());
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         const std::string& cwd) {
  char outTmpl[] = "/tmp/telvgate-child-out-XXXXXX";
  char errTmpl[] = "/tmp/telvgate-child-err-XXXXXX";
  int outFd = mkstemp(outTmpl);
  int errFd = mkstemp(errTmpl);
  if (outFd < 0 || errFd < 0) return false;
  m_outPath = outTmpl;
  m_errPath = errTmpl;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    for (const auto& e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);
  m_pid = pid;
  return true;
}

bool ChildProcess::running() {
  if (m_pid <= 0) return false;
  int st;
  pid_t r = waitpid(m_pid, &st, WNOHANG);
  if (r == m_pid) {
    m_pid = -1;
    return false;
  }
  return true;
}

void ChildProcess::signal(int sig) {
  if (m_pid > 0) kill(m_pid, sig);
}

bool ChildProcess::wait(int timeoutMs, int* exitCode) {
  if (m_pid <= 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int st = 0;
    pid_t r = waitpid(m_pid, &st, WNOHANG);
    if (r == m_pid) {
      m_pid = -1;
      if (exitCode) *exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::terminate() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  if (!wait(5000, nullptr)) {
    kill(m_pid, SIGKILL);
    wait(5000, nullptr);
  }
}

std::string ChildProcess::stdoutText() const { return readFile(m_outPath); }
std::string ChildProcess::stderrText() const { return readFile(m_errPath); }

static bool pollFor(const ChildProcess& p, bool out, const std::string& needle, int timeoutMs) {
  return waitFor(
      [&] { return (out ? p.stdoutText() : p.stderrText()).find(needle) != std::string::npos; },
      timeoutMs, 20);
}

bool ChildProcess::waitForStdout(const std::string& needle, int timeoutMs) const {
  return pollFor(*this, true, needle, timeoutMs);
}
bool ChildProcess::waitForStderr(const std::string& needle, int timeoutMs) const {
  return pollFor(*this, false, needle, timeoutMs);
}

#include "tests/gui_Xvfb.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string XvfbServer::findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

namespace {

// True when a client can connect to display number n's socket.
bool displayAnswers(int n) {
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool XvfbServer::start() {
  const std::string xvfb = findProgram("Xvfb");
  if (xvfb.empty()) return false;
  // A display number of our own (from the process id) rather than the lowest free one: with
  // tests running side by side, a server that is ending can remove the socket of a newcomer
  // that took over its number, which then accepts no client. The socket is checked as well,
  // and a server that cannot be reached is replaced.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int number = 100 + (int(getpid()) * 5 + attempt * 977) % 30000;
    // -displayfd 1: the server prints the number once it is ready for clients.
    if (!m_server.start(xvfb, {":" + std::to_string(number), "-displayfd", "1", "-screen", "0",
                               "1024x768x24", "-nolisten", "tcp"}))
      return false;
    if (m_server.waitForStdout("\n", 10000) && displayAnswers(number)) {
      m_display = ":" + std::to_string(number);
      return true;
    }
    m_server.terminate();
  }
  return false;
}

int XvfbServer::run(const std::string& command, std::string* out) const {
  const std::string full = "DISPLAY=" + m_display + " " + command;
  FILE* p = popen(full.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int st = pclose(p);
  if (out) *out = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

#include "tests/gui_Xvfb.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

bool XvfbServer::start() {
  const std::string xvfb = findProgram("Xvfb");
  if (xvfb.empty()) return false;
  // -displayfd 1: the server picks a free display number and prints it once it is ready.
  // -noreset: by default the server resets whenever its last client leaves, and a client that
  // connects during the reset is turned away. The tests poll with short-lived xdotool clients
  // while a slow (sanitizer) build of the program is still opening its display, so without it
  // the program's first connection now and then fails and it runs without a window.
  if (!m_server.start(xvfb, {"-displayfd", "1", "-noreset", "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"}))
    return false;
  if (!m_server.waitForStdout("\n", 10000)) return false;
  const int number = std::atoi(m_server.stdoutText().c_str());
  m_display = ":" + std::to_string(number);
  return true;
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

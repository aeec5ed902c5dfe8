#include "tests/support/ConfGate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

uint16_t unusedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

ConfGate::ConfGate(bool https, const std::string& extraSystem, const std::string& extraSections) {
  if (https) tlsPort = unusedLoopbackPort();
  m_home.writeSettings("LogFileSize=5\nConfIPAddr=127.0.0.1\n" +
                       (https ? "ConfTLSPort=" + std::to_string(tlsPort) + "\n" : "") + extraSystem + "\n" +
                       extraSections);
}

bool ConfGate::start(const std::vector<std::string>& wrapper) {
  if (!m_home.start(m_proc, {}, {}, wrapper)) return false;
  const int plain = confPort(m_proc);
  const std::string tlsMarker = "(certificate SHA-256 ";
  if (plain <= 0 || (tlsPort && !m_proc.waitForStdout(tlsMarker, 10000))) return false;
  port = uint16_t(plain);
  const std::string out = m_proc.stdoutText();
  if (tlsPort) fingerprint = out.substr(out.find(tlsMarker) + tlsMarker.size(), 95);
  return true;
}

namespace conftls {

std::string sh(const std::string& command) {
  std::string out;
  FILE* p = popen(("exec 2>&1; " + command).c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p) pclose(p);
  return out;
}

std::string curlTls(const ConfGate& g, const std::string& args, const std::string& crt) {
  return sh("timeout 10 curl -sS --cacert '" + (crt.empty() ? g.settingsDir() + "/TelvGateTLS.crt" : crt) +
            "' -w '%{http_code}' " + args);
}

}  // namespace conftls

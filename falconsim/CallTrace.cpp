#include "falconsim/CallTrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace falconsim {

TraceLine& TraceLine::num(long long v) {
  m_text += ' ';
  m_text += std::to_string(v);
  return *this;
}

TraceLine& TraceLine::real(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, " %g", double(v));
  m_text += buf;
  return *this;
}

CallTrace::~CallTrace() {
  if (m_fd >= 0) ::close(m_fd);
}

void CallTrace::open(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (!path.empty()) m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool CallTrace::enabled() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_fd >= 0;
}

void CallTrace::write(const TraceLine& line) {
  const std::string text = line.text() + "\n";
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_fd < 0) return;
  // A trace is a diagnostic: a short or failed write is not worth failing the call for.
  const ssize_t written = ::write(m_fd, text.data(), text.size());
  (void)written;
}

}  // namespace falconsim

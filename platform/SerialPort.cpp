#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace platform {

namespace {

constexpr long kRetrySleepNs = 2000000;  // a line that took nothing though poll said writable

int64_t monotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool speedFor(int baud, speed_t* out) {
  switch (baud) {
    case 1200: *out = B1200; return true;
    case 2400: *out = B2400; return true;
    case 4800: *out = B4800; return true;
    case 9600: *out = B9600; return true;
    case 19200: *out = B19200; return true;
    default: return false;
  }
}

}  // namespace

std::string serialDevicePath(int port) {
  const std::string name = "COM" + std::to_string(port);
  if (const char* dir = std::getenv("TELVGATE_SERIAL_DIR"); dir && *dir)
    return std::string(dir) + "/" + name;
  const std::string link = "/dev/telvgate/" + name;
  struct stat st;
  if (::stat(link.c_str(), &st) == 0) return link;
  return "/dev/ttyS" + std::to_string(port - 1);
}

SerialPort::~SerialPort() { close(); }

int SerialPort::open(const std::string& path) {
  close();
  // Non-blocking: neither the open nor a write may hang on a line without carrier or with
  // handshake held off; writes wait with poll() under their own deadline instead.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return err;
  }
  // Not every device is a terminal (a plain file in a test folder): only a real refusal counts.
  if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  m_fd = fd;
  return 0;
}

int SerialPort::configure(int baud) {
  if (m_fd < 0) return EBADF;
  speed_t speed;
  if (!speedFor(baud, &speed)) return EINVAL;
  termios tio;
  if (::tcgetattr(m_fd, &tio) != 0) return errno;
  if (::cfsetospeed(&tio, speed) != 0 || ::cfsetispeed(&tio, speed) != 0) return errno;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8;
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) return errno;
  return 0;
}

ssize_t SerialPort::write(const void* data, size_t len, int timeoutMs) {
  if (m_fd < 0) {
    errno = EBADF;
    return -1;
  }
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  const int64_t end = monotonicMs() + timeoutMs;
  bool pollSaidReady = false;
  while (done < len) {
    const ssize_t n = ::write(m_fd, p + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      pollSaidReady = false;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
    const int64_t left = end - monotonicMs();
    if (left <= 0) break;
    // A stopped line (handshake held off) can report room yet take nothing: pause briefly
    // instead of spinning until the deadline.
    if (pollSaidReady) {
      timespec ts{0, kRetrySleepNs};
      nanosleep(&ts, nullptr);
    }
    pollfd pfd{m_fd, POLLOUT, 0};
    const int r = ::poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) return -1;
    if (r > 0 && (pfd.revents & (POLLERR | POLLNVAL))) {
      errno = EIO;
      return -1;
    }
    pollSaidReady = r > 0;
  }
  return static_cast<ssize_t>(done);
}

void SerialPort::close() {
  if (m_fd < 0) return;
  // The exclusive flag belongs to the line, not to this descriptor: give it back so that the
  // next open (ours or a diagnostic tool's) is not refused after we are gone.
  ::ioctl(m_fd, TIOCNXCL);
  ::close(m_fd);
  m_fd = -1;
}

}  // namespace platform

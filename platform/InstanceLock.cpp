#include "platform/InstanceLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::string envDir(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : std::string();
}

std::string errnoText(int err) { return std::string(std::strerror(err)); }

// The shared /tmp is writable by everybody: a folder planted there by another user must not
// become our lock folder, or that user could hold our lock and keep us from starting.
bool ensurePrivateDir(const std::string& dir, std::string* error) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = "cannot create '" + dir + "': " + errnoText(errno);
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    if (error) *error = "cannot inspect '" + dir + "': " + errnoText(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
    if (error) *error = "'" + dir + "' is not a folder owned by this user";
    return false;
  }
  return true;
}

}  // namespace

InstanceLock::~InstanceLock() { release(); }

std::string InstanceLock::lockDirectory(std::string* error) {
  std::string dir = envDir("TELVGATE_LOCK_DIR");
  if (!dir.empty()) return dir;
  dir = envDir("XDG_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  dir = "/tmp/telvgate-" + std::to_string(static_cast<unsigned long>(getuid()));
  return ensurePrivateDir(dir, error) ? dir : std::string();
}

InstanceLock::Result InstanceLock::acquire(const std::string& name) {
  release();
  m_error.clear();
  std::string dirError;
  std::string dir = lockDirectory(&dirError);
  if (dir.empty()) {
    m_path.clear();
    m_error = "no folder for the lock file: " + dirError;
    return Result::Failed;
  }
  m_path = dir + "/" + name;
  // O_CLOEXEC: a browser started from the window must not inherit (and keep holding) the lock.
  int fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    m_error = "cannot open the lock file '" + m_path + "': " + errnoText(errno);
    return Result::Failed;
  }
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) return Result::AlreadyRunning;
    m_error = "cannot lock '" + m_path + "': " + errnoText(err);
    return Result::Failed;
  }
  m_fd = fd;
  return Result::Acquired;
}

void InstanceLock::release() {
  if (m_fd >= 0) {
    // Closing the only descriptor of the open file drops the lock; the file itself stays, so a
    // starting instance never races against its removal.
    close(m_fd);
    m_fd = -1;
  }
}

}  // namespace platform

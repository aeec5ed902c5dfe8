#include "platform/Files.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool makeOwnerOnlyDir(const std::string& dir, bool restrictExisting) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (!restrictExisting) return true;
  const mode_t wanted = st.st_mode & 0700;
  if ((st.st_mode & 07777) == wanted) return true;
  return ::chmod(dir.c_str(), wanted) == 0;
}

int fileMode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

bool makeOwnerOnlyFile(const std::string& path, int keepAtMost) {
  const mode_t mode = keepAtMost < 0 ? 0600 : mode_t(keepAtMost) & 0600;
  return ::chmod(path.c_str(), mode) == 0;
}

OpenResult openRegularFile(const std::string& path, bool create, int* fd, bool* created) {
  *fd = -1;
  if (created) *created = false;
  // Opening a device can have effects of its own (a serial port raises its control lines), so
  // what stat already names as something else is not opened at all.
  struct stat pre;
  if (::stat(path.c_str(), &pre) == 0 && !S_ISREG(pre.st_mode)) return OpenResult::NotRegular;
  // O_NONBLOCK: opening a FIFO without a writer, or some devices, would otherwise wait forever
  // before we could even look at what the path names.
  const int flags = O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int f = ::open(path.c_str(), flags);
  if (f < 0 && errno == ENOENT && create) {
    f = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0640);
    if (f >= 0) {
      ::fchmod(f, 0640);  // whatever the umask
      if (created) *created = true;
    }
  }
  if (f < 0) {
    if (errno == ENOENT) return OpenResult::Missing;
    if (errno == EISDIR || errno == ENXIO || errno == ENODEV) return OpenResult::NotRegular;
    return OpenResult::Failed;
  }
  struct stat st;
  if (::fstat(f, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(f);
    return OpenResult::NotRegular;
  }
  ::fcntl(f, F_SETFL, ::fcntl(f, F_GETFL) & ~O_NONBLOCK);
  *fd = f;
  return OpenResult::Opened;
}

std::string resolvedPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out = real;
  ::free(real);
  return out;
}

bool replaceFileContent(const std::string& target, const std::string& data, int mode) {
  const std::string real = resolvedPath(target);
  const std::string temp = real + ".tmp" + std::to_string(::getpid());
  struct stat st;
  const bool exists = ::stat(real.c_str(), &st) == 0;
  int f = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (f < 0) return false;
  bool ok = ::fchmod(f, mode >= 0 ? mode : exists ? st.st_mode & 07777 : 0640) == 0;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = ::write(f, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false; else done += size_t(n);
  }
  ok = ok && ::fsync(f) == 0;
  ok = ::close(f) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), real.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool rewriteInPlace(int fd, const std::string& data) {
  const int flags = ::fcntl(fd, F_GETFL);
  // With O_APPEND every write would land at the end, whatever the offset asked for.
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_APPEND) != 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false; else done += size_t(n);
  }
  ok = ok && ::ftruncate(fd, off_t(data.size())) == 0;
  ::fcntl(fd, F_SETFL, flags);
  return ok;
}

}  // namespace platform

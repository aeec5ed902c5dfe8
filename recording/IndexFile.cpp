#include "recording/IndexFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

bool readFully(int fd, uint8_t* buf, size_t n, off_t at) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pread(fd, buf + done, n - done, at + off_t(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += size_t(r);
  }
  return true;
}

bool writeFully(int fd, const uint8_t* buf, size_t n, off_t at) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pwrite(fd, buf + done, n - done, at + off_t(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += size_t(r);
  }
  return true;
}

// Creates (truncating) a file of mode 0640 whatever the umask; never through a link.
int createPrivate(const std::string& path, int access) {
  int fd = ::open(path.c_str(), access | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd >= 0) ::fchmod(fd, 0640);
  return fd;
}

// Reads the clean-close mark (at most one byte more than a record, to see one too long) and
// removes it.
std::string takeMark(const std::string& path) {
  std::string bytes;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    uint8_t buf[erdinfo::kRecordSize + 1];
    ssize_t n = pread(fd, buf, sizeof buf, 0);
    if (n > 0) bytes.assign(reinterpret_cast<char*>(buf), size_t(n));
    ::close(fd);
  }
  unlink(path.c_str());
  return bytes;
}

}  // namespace

IndexFile::Load IndexFile::load(const std::string& dir, erdinfo::Record* rec, bool* closedCleanly) {
  close();
  if (closedCleanly) *closedCleanly = false;
  const std::string mark = takeMark(markPathIn(dir));
  int fd = ::open(pathIn(dir).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Load::Missing;
  uint8_t hdr[erdinfo::kHeaderSize];
  uint8_t body[erdinfo::kRecordSize];
  if (!readFully(fd, hdr, sizeof hdr, 0)) {
    ::close(fd);
    return Load::Missing;
  }
  if (erdinfo::headerSizeField(hdr) != erdinfo::kHeaderSize) {
    ::close(fd);
    return Load::Inconsistent;
  }
  if (!readFully(fd, body, sizeof body, off_t(erdinfo::kHeaderSize))) {
    ::close(fd);
    return Load::Missing;
  }
  *rec = erdinfo::decodeRecord(body);
  if (rec->usedKB < 0) {
    ::close(fd);
    return Load::Inconsistent;
  }
  if (closedCleanly)
    *closedCleanly = erdinfo::hasOldCleanMark(body) ||
                     mark == std::string(reinterpret_cast<char*>(body), sizeof body);
  m_fd = fd;
  m_dir = dir;
  return Load::Accepted;
}

IndexFile::Rebuild IndexFile::rebuild(const std::string& dir, const erdinfo::Record& rec) {
  close();
  uint8_t bytes[erdinfo::kFileSize];
  erdinfo::encodeHeader(bytes);
  erdinfo::encodeRecord(rec, bytes + erdinfo::kHeaderSize);
  std::string path = pathIn(dir);
  std::string tmp = path + ".new";
  unlink(tmp.c_str());  // a leftover of an interrupted rebuild
  int fd = createPrivate(tmp, O_RDWR);
  if (fd < 0) return Rebuild::OpenFailed;
  if (!writeFully(fd, bytes, sizeof bytes, 0) || rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::close(fd);
    unlink(tmp.c_str());
    errno = saved;
    return Rebuild::WriteFailed;
  }
  m_fd = fd;
  m_dir = dir;
  return Rebuild::Written;
}

bool IndexFile::writeRecord(const erdinfo::Record& rec) {
  if (m_fd < 0) return false;
  uint8_t body[erdinfo::kRecordSize];
  erdinfo::encodeRecord(rec, body);
  return writeFully(m_fd, body, sizeof body, off_t(erdinfo::kHeaderSize));
}

bool IndexFile::writeCleanMark(const erdinfo::Record& rec) {
  if (m_fd < 0) return false;
  uint8_t body[erdinfo::kRecordSize];
  erdinfo::encodeRecord(rec, body);
  int fd = createPrivate(markPathIn(m_dir), O_WRONLY);
  if (fd < 0) return false;
  bool ok = writeFully(fd, body, sizeof body, 0);
  ok = ::close(fd) == 0 && ok;
  return ok;
}

void IndexFile::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

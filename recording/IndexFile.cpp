#include "recording/IndexFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace

IndexFile::Load IndexFile::load(const std::string& dir, erdinfo::Record* rec) {
  close();
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
  m_fd = fd;
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
  int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return Rebuild::OpenFailed;
  if (!writeFully(fd, bytes, sizeof bytes, 0) || rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::close(fd);
    unlink(tmp.c_str());
    errno = saved;
    return Rebuild::WriteFailed;
  }
  m_fd = fd;
  return Rebuild::Written;
}

bool IndexFile::writeRecord(const erdinfo::Record& rec) {
  if (m_fd < 0) return false;
  uint8_t body[erdinfo::kRecordSize];
  erdinfo::encodeRecord(rec, body);
  return writeFully(m_fd, body, sizeof body, off_t(erdinfo::kHeaderSize));
}

void IndexFile::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

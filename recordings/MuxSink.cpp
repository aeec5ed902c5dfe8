#include "recordings/MuxSink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace recordings {

bool MuxSink::add(const uint8_t* buf, size_t size) {
  if (failed) return false;
  if (stream) {
    if (size < kHoldBelow && held.size() + size <= kHeldMax) {
      held.insert(held.end(), buf, buf + size);
      return true;
    }
    return send(buf, size);
  }
  const bool kept = buf >= keptBegin && buf + size <= keptEnd;
  if (!kept && held.size() + size > kHeldMax) {
    if (!flush()) return false;
    iovec v{const_cast<uint8_t*>(buf), size};
    return writeAll(&v, 1);
  }
  const uint8_t* at = buf;
  if (!kept) {
    at = held.data() + held.size();
    held.insert(held.end(), buf, buf + size);
  }
  if (!queue.empty() && static_cast<const uint8_t*>(queue.back().iov_base) + queue.back().iov_len == at)
    queue.back().iov_len += size;
  else
    queue.push_back(iovec{const_cast<uint8_t*>(at), size});
  queued += size;
  return queue.size() < kQueueMax && queued < kQueuedMax ? true : flush();
}

bool MuxSink::flush() {
  if (failed) return false;
  if (stream) return held.empty() || send(nullptr, 0);
  if (!queue.empty() && !writeAll(queue.data(), int(queue.size()))) return false;
  queue.clear();
  held.clear();
  queued = 0;
  return true;
}

bool MuxSink::send(const uint8_t* buf, size_t size) {
  const bool ok = (*stream)(held.data(), held.size(), buf, size);
  held.clear();
  if (!ok) err = EPIPE, failed = true;
  return ok;
}

bool MuxSink::writeAll(iovec* p, int count) {
  while (count > 0) {
    const ssize_t n = writev(fd, p, count < IOV_MAX ? count : IOV_MAX);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = errno;
      failed = true;
      return false;
    }
    for (size_t left = size_t(n); left > 0;) {
      const size_t take = left < p->iov_len ? left : p->iov_len;
      p->iov_base = static_cast<uint8_t*>(p->iov_base) + take;
      p->iov_len -= take;
      left -= take;
      if (p->iov_len == 0) ++p, --count;
    }
    while (count > 0 && p->iov_len == 0) ++p, --count;
  }
  return true;
}

int muxSinkWrite(void* opaque, uint8_t* buf, int size) {
  return static_cast<MuxSink*>(opaque)->add(buf, size_t(size)) ? size : AVERROR(EIO);
}

int64_t muxSinkSeek(void* opaque, int64_t offset, int whence) {
  MuxSink* s = static_cast<MuxSink*>(opaque);
  if (!s->flush()) return AVERROR(EIO);
  if (whence & AVSEEK_SIZE) {
    struct stat st;
    return fstat(s->fd, &st) == 0 ? int64_t(st.st_size) : -1;
  }
  const off_t r = lseek(s->fd, off_t(offset), whence & ~AVSEEK_FORCE);
  return r < 0 ? AVERROR(errno) : int64_t(r);
}

}  // namespace recordings

#include "recordings/RecordingTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "recording/EventTree.h"
#include "recordings/PictureCursor.h"
#include "recordings/RecTime.h"

namespace recordings {

namespace {

constexpr uint64_t kUsPerSecond = 1000000ull;

bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Modification time of the regular file at path, in microseconds; 0 when it is not one.
uint64_t mtimeUs(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return uint64_t(st.st_mtim.tv_sec) * kUsPerSecond + uint64_t(st.st_mtim.tv_nsec) / 1000;
}

// The number after "LTI=" in INFO.jpg's text.
bool parseLti(const char* text, size_t n, uint64_t* seconds) {
  static const char kKey[] = "\r\nLTI=";
  const std::string s(text, n);
  const size_t at = s.find(kKey);
  if (at == std::string::npos) return false;
  const char* p = s.c_str() + at + sizeof kKey - 1;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(p, &end, 10);
  if (end == p || *end != '\r') return false;
  *seconds = v;
  return true;
}

}  // namespace

bool readWholeFile(const std::string& path, std::vector<uint8_t>& buf, size_t* length,
                   size_t maxBytes) {
  // O_NONBLOCK: a FIFO under a recorded name must not hang a reader; O_NOFOLLOW: a link is
  // not part of the tree.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  size_t want = size_t(st.st_size) < maxBytes ? size_t(st.st_size) : maxBytes;
  if (buf.size() < want) buf.resize(want);
  size_t got = 0;
  while (got < want) {
    const ssize_t r = read(fd, buf.data() + got, want - got);
    if (r <= 0) break;
    got += size_t(r);
  }
  close(fd);
  *length = got;
  return true;
}

RecordingTree::RecordingTree(std::string channelDir) : m_dir(std::move(channelDir)) {}

bool RecordingTree::readIndex(erdinfo::Record* rec) const {
  const int fd = open((m_dir + ".erdinfo").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t bytes[erdinfo::kFileSize];
  const ssize_t n = pread(fd, bytes, sizeof bytes, 0);
  close(fd);
  if (n != ssize_t(sizeof bytes) || erdinfo::headerSizeField(bytes) != erdinfo::kHeaderSize)
    return false;
  *rec = erdinfo::decodeRecord(bytes + erdinfo::kHeaderSize);
  return rec->usedKB >= 0 && rec->oldest < erdinfo::kEventCount &&
         rec->newest < erdinfo::kEventCount;
}

bool RecordingTree::eventStart(uint32_t n, uint64_t* us) const {
  return eventtree::readEventTime(eventtree::eventDir(m_dir, n) + "E00000.jpg", us);
}

RecordingTree::Range RecordingTree::range() const {
  Range r;
  erdinfo::Record rec;
  if (!readIndex(&rec)) return r;
  // A fresh index (no event yet) names oldest 1 and newest 0.
  if (rec.newest == 0 && rec.oldest == 1 && rec.newestStamp.seconds == 0) return r;
  r.ok = true;
  r.oldest = rec.oldest;
  r.newest = rec.newest;
  r.span = (rec.newest + erdinfo::kEventCount - rec.oldest) % erdinfo::kEventCount;
  return r;
}

bool RecordingTree::firstReadable(const Range& r, uint32_t pos, uint32_t last, uint32_t* foundPos,
                                  uint64_t* startUs) const {
  bool firstStep = true;
  while (pos <= last) {
    const uint32_t n = r.at(pos);
    // A missing top-level directory holds none of its thousand events: skip it whole.
    if ((firstStep || n % 1000 == 0) && !isDir(eventtree::topDir(m_dir, n))) {
      pos += 1000 - n % 1000;
      continue;
    }
    firstStep = false;
    if (eventStart(n, startUs)) {
      *foundPos = pos;
      return true;
    }
    ++pos;
  }
  return false;
}

bool RecordingTree::findPosition(const Range& r, uint64_t tUs, uint32_t* pos, uint64_t* startUs,
                                 unsigned* reads) const {
  unsigned count = 0;
  uint32_t lo, hi = r.span;
  uint64_t loStart;
  ++count;
  if (!r.ok || !firstReadable(r, 0, hi, &lo, &loStart)) return false;
  // Invariant: lo is readable and starts at or before tUs (or is the first event at all);
  // nothing after hi does.
  while (lo < hi && loStart <= tUs) {
    const uint32_t mid = lo + (hi - lo + 1) / 2;
    uint32_t found;
    uint64_t s;
    ++count;
    if (!firstReadable(r, mid, hi, &found, &s) || s > tUs) {
      hi = mid - 1;
    } else {
      lo = found;
      loStart = s;
    }
  }
  if (reads) *reads = count;
  *pos = lo;
  *startUs = loStart;
  return true;
}

bool RecordingTree::infoLast(uint32_t n, uint64_t* us) const {
  std::vector<uint8_t> buf;
  size_t len = 0;
  uint64_t s;
  if (!readWholeFile(eventtree::eventDir(m_dir, n) + "INFO.jpg", buf, &len, 4096) ||
      !parseLti(reinterpret_cast<const char*>(buf.data()), len, &s))
    return false;
  *us = s * kUsPerSecond;
  return true;
}

std::vector<EventSpan> RecordingTree::spans(uint64_t fromUs, uint64_t toUs) const {
  std::vector<EventSpan> out;
  const Range r = range();
  uint32_t pos;
  uint64_t start;
  if (!findPosition(r, fromUs, &pos, &start)) return out;
  while (start < toUs) {
    EventSpan e;
    e.event = r.at(pos);
    e.firstUs = start;
    uint32_t nextPos = 0;
    uint64_t nextStart = 0;
    const bool more = pos < r.span && firstReadable(r, pos + 1, r.span, &nextPos, &nextStart);
    uint64_t last;
    e.finished = infoLast(e.event, &last);
    if (!e.finished) {
      const std::string dir = eventtree::eventDir(m_dir, e.event);
      last = more ? nextStart : 0;
      for (int i = 6; i >= 0 && last == 0; --i)
        last = mtimeUs(dir + (i ? eventtree::sequenceFileName(i) : std::string("E00000.jpg")));
    }
    e.lastUs = last > e.firstUs ? last : e.firstUs;
    if (e.lastUs >= fromUs) out.push_back(e);
    if (!more) break;
    pos = nextPos;
    start = nextStart;
  }
  return out;
}

bool RecordingTree::bounds(uint64_t* oldestUs, uint64_t* newestUs) const {
  const Range r = range();
  uint32_t pos;
  if (!r.ok || !firstReadable(r, 0, r.span, &pos, oldestUs)) return false;
  // The newest event is normally readable; after a failed write its number may be empty.
  for (uint32_t back = 0; back <= r.span - pos && back < 1000; ++back)
    if (eventStart(r.at(r.span - back), newestUs)) return true;
  *newestUs = *oldestUs;
  return true;
}

bool RecordingTree::detail(uint32_t n, EventDetail* out) const {
  const std::string dir = eventtree::eventDir(m_dir, n);
  std::vector<uint8_t> buf;
  EventDetail d;
  d.event = n;
  bool first = true;
  for (int i = 0; i <= 6; ++i) {
    size_t len = 0;
    const std::string name = i ? eventtree::sequenceFileName(i) : std::string("E00000.jpg");
    if (!readWholeFile(dir + name, buf, &len, PictureCursor::kMaxFileBytes)) {
      if (i == 0) return false;
      break;
    }
    d.bytes += len;
    for (size_t off = 0; off < len;) {
      const size_t pl = jpegLength(buf.data() + off, len - off);
      if (pl == 0) break;
      uint64_t t;
      if (eventtree::readEventTimeFromBytes(buf.data() + off, pl, &t)) {
        if (first) d.firstUs = t;
        d.lastUs = t;
        first = false;
      }
      ++d.pictures;
      off += pl;
    }
  }
  *out = d;
  return true;
}

}  // namespace recordings

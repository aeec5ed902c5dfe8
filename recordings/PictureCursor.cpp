#include "recordings/PictureCursor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/ByteOrder.h"
#include "recording/EventTree.h"

namespace recordings {

namespace {

bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Markers without a length: TEM, RST0..RST7, SOI, EOI.
bool standalone(uint8_t m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD9); }

// What every recorded picture begins with: the start-of-image marker and the head of its
// time-stamp segment (marker, length 66, "TLF" and a zero byte).
const uint8_t kPictureHead[] = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x42, 'T', 'L', 'F', 0x00};

// Where the segments before the first scan's entropy-coded data end; 0 when the bytes do not
// get that far.
size_t scanDataStart(const uint8_t* p, size_t n) {
  size_t pos = 2;
  while (pos + 4 <= n && p[pos] == 0xFF) {
    const uint8_t m = p[pos + 1];
    if (m == 0xFF) {
      ++pos;
      continue;
    }
    if (standalone(m)) {
      pos += 2;
      continue;
    }
    const size_t segLen = getBE16(p + pos + 2);
    if (segLen < 2) return 0;
    pos += 2 + segLen;
    if (m == 0xDA) return pos <= n ? pos : 0;
  }
  return 0;
}

// The first picture head in [p, p + n). FF is about one byte in a hundred of entropy-coded
// data, too often for memchr (a call per FF) or a general substring search to keep up with
// copying the bytes; FF D8 does not occur there at all, so the pair is looked for 16 or 32
// bytes at a time and only a hit is compared in full.
const uint8_t* headFrom(const uint8_t* q, const uint8_t* last) {
  for (; q <= last; ++q)
    if (q[0] == 0xFF && q[1] == 0xD8 && std::memcmp(q, kPictureHead, sizeof kPictureHead) == 0) return q;
  return nullptr;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) const uint8_t* findHeadAvx2(const uint8_t* q, const uint8_t* last) {
  const __m256i ff = _mm256_set1_epi8(char(0xFF)), d8 = _mm256_set1_epi8(char(0xD8));
  for (; q + 32 <= last; q += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
    unsigned hits = unsigned(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, ff), _mm256_cmpeq_epi8(b, d8))));
    for (; hits; hits &= hits - 1) {
      const uint8_t* at = q + __builtin_ctz(hits);
      if (std::memcmp(at, kPictureHead, sizeof kPictureHead) == 0) return at;
    }
  }
  return headFrom(q, last);
}

const uint8_t* findHeadSse2(const uint8_t* q, const uint8_t* last) {
  const __m128i ff = _mm_set1_epi8(char(0xFF)), d8 = _mm_set1_epi8(char(0xD8));
  for (; q + 16 <= last; q += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
    unsigned hits = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, ff), _mm_cmpeq_epi8(b, d8))));
    for (; hits; hits &= hits - 1) {
      const uint8_t* at = q + __builtin_ctz(hits);
      if (std::memcmp(at, kPictureHead, sizeof kPictureHead) == 0) return at;
    }
  }
  return headFrom(q, last);
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

const uint8_t* findHead(const uint8_t* p, size_t n) {
  if (n < sizeof kPictureHead) return nullptr;
  const uint8_t* const last = p + n - sizeof kPictureHead;  // the last place a head can start
#if defined(__x86_64__)
  return kHaveAvx2 ? findHeadAvx2(p, last) : findHeadSse2(p, last);
#else
  return headFrom(p, last);
#endif
}

// The length of the picture at p when the next recorded picture follows it directly: its
// end-of-image marker right before the next one's head. FF D8 cannot occur inside
// entropy-coded data (FF is followed there by 00 or a restart marker), so the first head after
// the scan data begins is where the picture ends. 0 when that is not the case (the last picture
// of a file, bytes between pictures): the caller then walks the picture.
size_t lengthBeforeNextHead(const uint8_t* p, size_t n) {
  const size_t start = scanDataStart(p, n);
  if (start == 0) return 0;
  const uint8_t* head = findHead(p + start, n - start);
  if (!head) return 0;
  const size_t len = size_t(head - p);
  return len >= start + 2 && p[len - 2] == 0xFF && p[len - 1] == 0xD9 ? len : 0;
}

}  // namespace

size_t jpegLength(const uint8_t* p, size_t n) {
  if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return 0;
  size_t pos = 2;
  while (pos + 2 <= n) {
    if (p[pos] != 0xFF) return 0;
    const uint8_t m = p[pos + 1];
    if (m == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (m == 0xD9) return pos + 2;
    if (standalone(m)) {
      pos += 2;
      continue;
    }
    if (pos + 4 > n) return 0;
    const size_t segLen = getBE16(p + pos + 2);
    if (segLen < 2) return 0;
    pos += 2 + segLen;
    if (m != 0xDA) continue;
    // Entropy-coded data: it ends at the first marker that is neither a stuffed zero nor a
    // restart marker.
    for (;; ++pos) {
      // 0xFF is rare in entropy-coded data: memchr skips to it at memory speed.
      const void* ff = pos < n ? std::memchr(p + pos, 0xFF, n - pos) : nullptr;
      if (!ff) return 0;
      pos = size_t(static_cast<const uint8_t*>(ff) - p);
      if (pos + 1 >= n) return 0;
      const uint8_t b = p[pos + 1];
      if (b == 0x00 || (b >= 0xD0 && b <= 0xD7) || b == 0xFF) continue;
      break;
    }
  }
  return 0;
}

bool jpegSize(const uint8_t* p, size_t n, int* width, int* height) {
  if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
  size_t pos = 2;
  while (pos + 4 <= n && p[pos] == 0xFF) {
    const uint8_t m = p[pos + 1];
    const size_t segLen = getBE16(p + pos + 2);
    // SOF0..SOF15 but DHT (C4), JPG (C8) and DAC (CC).
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      if (pos + 9 > n) return false;
      *height = getBE16(p + pos + 5);
      *width = getBE16(p + pos + 7);
      return *width > 0 && *height > 0;
    }
    if (m == 0xDA || segLen < 2) return false;
    pos += 2 + segLen;
  }
  return false;
}

bool PictureCursor::seek(uint64_t fromUs) {
  m_range = m_tree.range();
  uint64_t start;
  m_fromUs = fromUs;
  m_file = -1;
  dropFile();
  m_cut = m_ended = m_any = false;
  if (!m_tree.findPosition(m_range, fromUs, &m_pos, &start)) {
    m_ended = true;
    return false;
  }
  m_lastUs = start;
  return true;
}

void PictureCursor::dropFile() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_fileLeft = m_bufLen = m_off = 0;
}

PictureCursor::Open PictureCursor::openFile(const char* name) {
  dropFile();
  const std::string path = eventtree::eventDir(m_tree.dir(), m_range.at(m_pos)) + name;
  // O_NONBLOCK: a FIFO under a recorded name must not hang; O_NOFOLLOW: a link is not ours.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Open::Missing;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Open::Missing;
  }
  // What the file holds now; the recorder may be appending to the newest one.
  m_fd = fd;
  m_fileLeft = size_t(st.st_size) < kMaxFileBytes ? size_t(st.st_size) : kMaxFileBytes;
  ++m_filesRead;
  return Open::Read;
}

bool PictureCursor::readMore() {
  if (m_fd < 0) return false;
  if (m_beforeRefill) m_beforeRefill();
  // Into one buffer kept for the whole walk: on a virtual machine, mapping each file (its page
  // tables built and torn down, the TLB flushed on every processor) cost more than the copy,
  // and pieces small enough for the cache keep the copy cheap.
  if (m_off > 0) {
    std::memmove(m_buf.data(), m_buf.data() + m_off, m_bufLen - m_off);
    m_bufLen -= m_off;
    m_off = 0;
  }
  const size_t want = m_fileLeft < kReadBytes ? m_fileLeft : kReadBytes;
  if (m_buf.size() < m_bufLen + want) m_buf.resize(m_bufLen + want);
  size_t got = 0;
  while (got < want) {
    const ssize_t r = read(m_fd, m_buf.data() + m_bufLen + got, want - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += size_t(r);
  }
  m_bufLen += got;
  m_fileLeft -= got;
  if (got < want || m_fileLeft == 0) {
    close(m_fd);
    m_fd = -1;
    m_fileLeft = 0;
  }
  return got > 0;
}

bool PictureCursor::advanceFile() {
  while (!m_ended) {
    if (m_file < 6) {
      ++m_file;
      const std::string name =
          m_file == 0 ? std::string("E00000.jpg") : eventtree::sequenceFileName(m_file);
      if (openFile(name.c_str()) == Open::Read) {
        m_any = true;
        return true;
      }
      const std::string dir = eventtree::eventDir(m_tree.dir(), m_range.at(m_pos));
      // Gone under the cursor: the cleaner took it. Before anything was read the walk simply
      // begins later. Otherwise a missing first picture skips the event and a missing
      // sequence file ends it.
      if (m_any && !isDir(dir.substr(0, dir.size() - 1))) {
        m_cut = true;
        m_ended = true;
        return false;
      }
      m_file = 6;
    }
    // The next event; the index is read again at the newest one, which may have moved on.
    if (m_pos >= m_range.span) {
      RecordingTree::Range fresh = m_tree.range();
      const uint32_t current = m_range.at(m_pos);
      if (!fresh.ok || fresh.newest == current) {
        m_ended = true;
        return false;
      }
      // Keep counting from the event just finished.
      m_range.oldest = current;
      m_range.newest = fresh.newest;
      m_range.span = (fresh.newest + erdinfo::kEventCount - current) % erdinfo::kEventCount;
      m_pos = 0;
    }
    uint32_t next;
    uint64_t start;
    if (!m_tree.firstReadable(m_range, m_pos + 1, m_range.span, &next, &start)) {
      m_pos = m_range.span;  // read the index again
      m_file = 6;
      continue;
    }
    m_pos = next;
    m_file = -1;
  }
  return false;
}

bool PictureCursor::next(Picture* out) {
  for (;;) {
    if (m_off == m_bufLen && !readMore()) {
      if (!advanceFile()) return false;
      continue;
    }
    const uint8_t* p = m_buf.data() + m_off;
    const size_t avail = m_bufLen - m_off;
    size_t len = lengthBeforeNextHead(p, avail);
    // The next picture's head may be in the file's next piece.
    if (len == 0 && readMore()) continue;
    if (len == 0) len = jpegLength(p, avail);
    if (len == 0) {  // a picture still being written, or bytes that are none
      m_off = m_bufLen;
      continue;
    }
    m_off += len;
    uint64_t t;
    if (eventtree::readEventTimeFromBytes(p, len, &t)) m_lastUs = t;
    if (m_lastUs < m_fromUs) continue;
    out->data = p;
    out->size = len;
    out->us = m_lastUs;
    out->event = m_range.at(m_pos);
    return true;
  }
}

}  // namespace recordings

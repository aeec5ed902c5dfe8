#include "channels/CamPartReader.h"

#include <strings.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstring>

#include "base/CHTTPSocket.h"

namespace {

// A part head has a handful of lines; more than this is not a camera talking.
constexpr int kMaxHeadLines = 64;
// Lines read while looking for the boundary (a byte limit of twice the capacity applies too).
constexpr uint32_t kMaxBoundarySearchLines = 20000;
// Rounds of blank lines in front of a part taken before the line reader takes over.
constexpr int kMaxBlankRounds = 4;
// Trailing zero bytes some cameras pad their parts with.
constexpr int kMaxTrailingZeros = 3;

bool blank(uint8_t c) { return c == ' ' || c == '\t'; }

}  // namespace

// ---------------------------------------------------------------- pure steps

CamPartReader::LengthLine CamPartReader::parseLengthLine(const char* line, size_t n, const Framing& f,
                                                         uint32_t capacity, uint32_t* length, std::string* why) {
  const size_t name = std::strlen(f.lengthName);
  // A plain length line is one of at least one character more than its name.
  if (n < name + (f.lengthRequired ? 0 : 1) || strncasecmp(line, f.lengthName, name) != 0) return LengthLine::Other;
  size_t p = name;
  while (p < n && blank(uint8_t(line[p]))) ++p;
  if (p == n && f.lengthRequired) return LengthLine::Other;  // a header without a value is skipped
  const std::string text = http::printable(std::string(line, n));
  if (p == n || !isdigit(static_cast<unsigned char>(line[p]))) {
    *why = "part length not a number: '" + text + "'";
    return LengthLine::Bad;
  }
  uint64_t v = 0;
  for (; p < n && isdigit(static_cast<unsigned char>(line[p])); ++p) {
    v = v * 10 + uint64_t(line[p] - '0');
    if (v > capacity) {
      *why = "part of more than " + std::to_string(capacity) + " bytes announced";
      return LengthLine::Bad;
    }
  }
  if (v == 0 && f.lengthRequired) {
    *why = "part length not usable: '" + text + "'";
    return LengthLine::Bad;
  }
  *length = static_cast<uint32_t>(v);
  return LengthLine::Length;
}

CamPartReader::HeadView CamPartReader::scanHead(const uint8_t* w, size_t n, const Framing& f, uint32_t capacity) {
  HeadView v;
  size_t pos = 0, start = 0, end = 0;
  auto nextLine = [&] {
    const void* nl = std::memchr(w + pos, '\n', n - pos);
    if (!nl) return false;
    start = pos;
    end = size_t(static_cast<const uint8_t*>(nl) - w);
    pos = end + 1;
    if (end > start && w[end - 1] == '\r') --end;
    return true;
  };
  for (;;) {
    const size_t before = pos;
    if (!nextLine()) {
      v.used = before;
      v.kind = before > 0 ? Head::Blank : Head::Incomplete;
      return v;
    }
    if (end > start) break;
  }
  const std::string& b = f.boundary;
  if (end - start < b.size() || std::memcmp(w + start, b.data(), b.size()) != 0) {
    v.kind = Head::NotBoundary;
    v.used = pos;
    return v;
  }
  for (int lines = 0;; ++lines) {
    if (!nextLine()) return v;  // Incomplete
    if (end == start) break;
    if (lines >= kMaxHeadLines) {
      v.kind = Head::Bad;
      v.why = "part head of more than " + std::to_string(kMaxHeadLines) + " lines";
      return v;
    }
    const char* line = reinterpret_cast<const char*>(w + start);
    if (parseLengthLine(line, end - start, f, capacity, &v.length, &v.why) == LengthLine::Bad) {
      v.kind = Head::Bad;
      return v;
    }
  }
  if (f.lengthRequired && v.length == 0) {
    v.kind = Head::Bad;
    v.why = std::string("part head without '") + f.lengthName + "'";
    return v;
  }
  v.kind = Head::Found;
  v.used = pos;
  return v;
}

size_t CamPartReader::jpegEnd(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  if (p[0] != 0xFF || p[1] != 0xD8) return SIZE_MAX;
  size_t pos = 2;
  for (;;) {
    if (pos + 2 > n) return 0;
    if (p[pos] != 0xFF) return SIZE_MAX;
    const uint8_t marker = p[pos + 1];
    pos += 2;
    if (marker == 0xDA) {
      // Entropy-coded data up to the end-of-image marker.
      for (; pos < n; ++pos)
        if (p[pos] == 0xD9 && p[pos - 1] == 0xFF) return pos + 1;
      return 0;
    }
    if (pos + 2 > n) return 0;
    const size_t len = size_t(p[pos]) << 8 | p[pos + 1];
    if (len < 2) return SIZE_MAX;
    pos += len;
  }
}

// ---------------------------------------------------------------- reading parts

void CamPartReader::reset(const Framing& framing) {
  m_framing = framing;
  m_lead = 0;
  m_error.clear();
}

bool CamPartReader::failed(const std::string& what, CamByteStream& in) {
  m_error = what + ": " + in.failure();
  return false;
}

bool CamPartReader::finish(const uint8_t* buf, uint32_t length, uint32_t* len) {
  for (int i = 0; i < kMaxTrailingZeros && length > 0 && buf[length - 1] == 0; ++i) --length;
  if (length < 2 || buf[0] != 0xFF || buf[1] != 0xD8) {
    m_error = "part is not a JPEG picture (it does not start with FF D8)";
    ++m_refused;
    return false;
  }
  *len = length;
  return true;
}

bool CamPartReader::next(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutMs,
                         uint32_t* len) {
  assert(buf && capacity > 0 && len);
  m_error.clear();
  if (m_lead > 0) {
    bool fallBack = false;
    const bool ok = predicted(in, buf, capacity, headroom, timeoutMs, len, &fallBack);
    if (!fallBack) return ok;
  }
  if (!m_framing.boundary.empty()) {
    uint8_t w[kLookBytes];
    for (int round = 0; round < kMaxBlankRounds; ++round) {
      const size_t n = in.look(w, sizeof w, timeoutMs);
      if (n == 0) return failed("boundary line", in);
      const HeadView v = scanHead(w, n, m_framing, capacity);
      if (v.kind == Head::Bad) {
        m_error = v.why;
        return false;
      }
      if (v.kind == Head::Found) {
        if (!takePart(in, buf, headroom, v.used, v.length, timeoutMs)) return false;
        m_lead = v.used <= headroom ? uint32_t(v.used) : 0;
        return v.length > 0 ? finish(buf, v.length, len) : jpegByMarkers(in, buf, capacity, timeoutMs, len);
      }
      if (v.kind != Head::Blank) break;
      // The line end behind the last body: taken, then the part behind it looked at again.
      if (in.take(w, v.used, timeoutMs) != v.used) return failed("boundary line", in);
    }
  }
  return byLines(in, buf, capacity, timeoutMs, len);
}

bool CamPartReader::predicted(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutMs,
                              uint32_t* len, bool* fallBack) {
  const uint32_t lead = m_lead;
  m_lead = 0;  // known again once this part's head is
  if (lead > headroom) {
    *fallBack = true;
    return false;
  }
  // One receive of what has arrived, placed so that the body lands in buf when the head is as
  // long as the last one; nothing is looked at first.
  uint8_t* at = buf - lead;
  const size_t want = std::min<size_t>(size_t(lead) + capacity, kOnceBytes);
  const size_t n = in.takeSome(at, want, timeoutMs);
  if (n == 0) return failed("boundary line", in);
  const HeadView v = scanHead(at, n, m_framing, capacity);
  if (v.kind != Head::Found) {
    // Not a whole part head in view: the general way reads it all from the start.
    in.putBack(at, n);
    *fallBack = true;
    return false;
  }
  const size_t got = n - v.used;
  const size_t inPart = std::min<size_t>(got, v.length);
  // What follows the part is handed out again before the body may be moved over it; the line
  // end behind the body, usually all there is, would only be stepped over again.
  const uint8_t* after = at + v.used + inPart;
  const size_t rest = got - inPart;
  if (rest > 0 && blankLinesAt(reinterpret_cast<const char*>(after), rest) != rest) in.putBack(after, rest);
  if (v.used != lead) std::memmove(buf, at + v.used, inPart);
  m_lead = v.used <= headroom ? uint32_t(v.used) : 0;
  if (v.length == 0) return jpegByMarkers(in, buf, capacity, timeoutMs, len);
  if (inPart < v.length && in.take(buf + inPart, v.length - inPart, timeoutMs) != v.length - inPart)
    return failed("picture of " + std::to_string(v.length) + " bytes", in);
  return finish(buf, v.length, len);
}

bool CamPartReader::takePart(CamByteStream& in, uint8_t* buf, uint32_t headroom, size_t head, uint32_t length,
                             int timeoutMs) {
  if (head <= headroom) {
    // The head lands in the room in front of the body, so both come with one receive.
    if (in.take(buf - head, head + length, timeoutMs) == head + length) return true;
  } else {
    if (m_scratch.size() < head) m_scratch.resize(head);
    if (in.take(m_scratch.data(), head, timeoutMs) == head && in.take(buf, length, timeoutMs) == length) return true;
  }
  return failed("picture of " + std::to_string(length) + " bytes", in);
}

bool CamPartReader::readLine(CamByteStream& in, std::string& line, size_t capacity, int timeoutMs) {
  line.clear();
  uint8_t w[kLookBytes];
  for (;;) {
    const size_t n = in.look(w, sizeof w, timeoutMs);
    if (n == 0) return false;
    const void* nl = std::memchr(w, '\n', n);
    const size_t use = nl ? size_t(static_cast<const uint8_t*>(nl) - w) + 1 : n;
    if (in.take(w, use, timeoutMs) != use) return false;
    for (size_t i = 0; i < use; ++i)
      if (w[i] != '\r' && w[i] != '\n') line += char(w[i]);
    if (line.size() >= capacity) {
      m_error = "line too long";
      return false;
    }
    if (nl) return true;
  }
}

bool CamPartReader::byLines(CamByteStream& in, uint8_t* buf, uint32_t capacity, int timeoutMs, uint32_t* len) {
  // A camera that never sends the boundary is given up on after a bounded amount of data, so
  // the channel reconnects instead of reading forever.
  std::string line;
  const uint64_t byteLimit = 2ull * capacity;
  uint64_t searched = 0;
  for (uint32_t lines = 0;; ++lines) {
    if (!readLine(in, line, capacity, timeoutMs))
      return m_error.empty() ? failed("boundary line", in) : false;
    if (line.compare(0, m_framing.boundary.size(), m_framing.boundary) == 0) break;
    searched += line.size() + 1;
    if (searched > byteLimit || lines >= kMaxBoundarySearchLines) {
      m_error = "no boundary line '" + http::printable(m_framing.boundary) + "' within " + std::to_string(searched) +
                " bytes";
      return false;
    }
  }
  uint32_t length = 0;
  bool haveLength = false;
  for (int i = 0;; ++i) {
    if (i >= kMaxHeadLines) {
      m_error = "part head of more than " + std::to_string(kMaxHeadLines) + " lines";
      return false;
    }
    if (!readLine(in, line, capacity, timeoutMs)) return m_error.empty() ? failed("part head", in) : false;
    if (line.empty()) break;
    uint32_t v = 0;
    switch (parseLengthLine(line.data(), line.size(), m_framing, capacity, &v, &m_error)) {
      case LengthLine::Bad:
        return false;
      case LengthLine::Length:
        length = v;
        haveLength = true;
        break;
      case LengthLine::Other:
        break;
    }
  }
  if (m_framing.lengthRequired && !haveLength) {
    m_error = std::string("part head without '") + m_framing.lengthName + "'";
    return false;
  }
  return body(in, buf, capacity, length, timeoutMs, len);
}

bool CamPartReader::body(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t length, int timeoutMs,
                         uint32_t* len) {
  if (length == 0) return jpegByMarkers(in, buf, capacity, timeoutMs, len);
  assert(length <= capacity && "the part head's length was checked against the capacity");
  if (in.take(buf, length, timeoutMs) != length) return failed("picture of " + std::to_string(length) + " bytes", in);
  return finish(buf, length, len);
}

bool CamPartReader::jpegByMarkers(CamByteStream& in, uint8_t* buf, uint32_t capacity, int timeoutMs, uint32_t* len) {
  const std::string what = "picture without a length";
  auto take = [&](uint32_t at, uint32_t n) { return uint64_t(at) + n <= capacity && in.take(buf + at, n, timeoutMs) == n; };
  auto fail = [&]() {
    if (m_error.empty()) m_error = what + " not read to its end marker";
    return false;
  };
  if (!take(0, 2)) return failed(what, in);
  if (buf[0] != 0xFF || buf[1] != 0xD8) return finish(buf, 2, len);  // refused as no JPEG picture
  uint32_t pos = 2;
  for (;;) {
    if (!take(pos, 2) || buf[pos] != 0xFF) return fail();
    const uint8_t marker = buf[pos + 1];
    pos += 2;
    if (marker == 0xDA) {
      // Entropy-coded data up to the end-of-image marker, looked at a window at a time.
      for (;;) {
        if (pos >= capacity) return fail();
        uint8_t* w = buf + pos;
        const size_t n = in.look(w, std::min<size_t>(kLookBytes, capacity - pos), timeoutMs);
        if (n == 0) return fail();
        size_t use = n;
        for (size_t i = 0; i < n; ++i) {
          if (w[i] == 0xD9 && (i > 0 ? w[i - 1] : buf[pos - 1]) == 0xFF) {
            use = i + 1;
            break;
          }
        }
        if (in.take(w, use, timeoutMs) != use) return fail();
        pos += uint32_t(use);
        if (buf[pos - 1] == 0xD9 && buf[pos - 2] == 0xFF) return finish(buf, pos, len);
      }
    }
    if (!take(pos, 2)) return fail();
    const uint32_t n = uint32_t(buf[pos]) << 8 | buf[pos + 1];
    if (n < 2) return fail();
    pos += 2;
    if (!take(pos, n - 2)) return fail();
    pos += n - 2;
  }
}

CamPartReader::Behind CamPartReader::newer(CamByteStream& in, uint8_t* buf, uint32_t capacity, uint32_t headroom,
                                           size_t* budget, uint32_t* len) {
  assert(buf && budget && len);
  // A picture without a boundary is a whole reply: nothing follows it.
  if (m_framing.boundary.empty()) return Behind::None;
  uint8_t w[kLookBytes];
  if (*budget == kUnknownBudget) {
    // One look without waiting says whether anything has arrived at all, or the stream ended.
    if (in.look(w, 1, 0) == 0) return in.ended() ? Behind::Ended : Behind::None;
    *budget = in.ready();
  }
  for (;;) {
    if (*budget == 0) return Behind::None;
    const size_t n = in.look(w, std::min(sizeof w, *budget), 0);
    if (n == 0) return in.ended() ? Behind::Ended : Behind::None;
    const HeadView v = scanHead(w, n, m_framing, capacity);
    if (v.kind == Head::Blank || v.kind == Head::NotBoundary) {
      // Line ends and stray lines between parts are stepped over.
      if (in.take(w, v.used, 0) != v.used) return Behind::None;
      *budget -= v.used;
      continue;
    }
    if (v.kind == Head::Incomplete) return Behind::None;
    if (v.kind == Head::Bad) {
      m_error = v.why;
      return Behind::Broken;
    }
    size_t whole = v.used + v.length;
    if (v.length == 0) {
      // Without a length the picture must end, by its markers, within what has arrived.
      const size_t have = std::min<size_t>(*budget, v.used + capacity);
      if (m_scratch.size() < have) m_scratch.resize(have);
      const size_t got = in.look(m_scratch.data(), have, 0);
      const size_t end = jpegEnd(m_scratch.data() + v.used, got - std::min(got, v.used));
      if (end == 0) return Behind::None;
      if (end == SIZE_MAX) {
        m_error = "part is not a JPEG picture (it does not start with FF D8)";
        return Behind::Broken;
      }
      whole = v.used + end;
    }
    if (whole > *budget) return Behind::None;  // not all of it has arrived
    // A part that arrived whole but is no JPEG picture ends the stream's use; the picture in
    // hand stays.
    if (v.used + 2 > n || w[v.used] != 0xFF || w[v.used + 1] != 0xD8) {
      if (v.used + 2 > n) return Behind::None;
      m_error = "part is not a JPEG picture (it does not start with FF D8)";
      ++m_refused;
      return Behind::Broken;
    }
    const uint32_t bodyLen = uint32_t(whole - v.used);
    if (!takePart(in, buf, headroom, v.used, bodyLen, 0)) return Behind::Lost;
    *budget -= whole;
    m_lead = v.used <= headroom ? uint32_t(v.used) : 0;
    // Starting with FF D8, it is a picture once its padding is dropped.
    finish(buf, bodyLen, len);
    return Behind::Newer;
  }
}

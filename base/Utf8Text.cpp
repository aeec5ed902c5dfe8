#include "base/Utf8Text.h"

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not well formed.
size_t sequenceLength(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t n;
  unsigned cp;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

// utf8: whether s is read as UTF-8 (else as Latin-1, where 80..9F are the C1 controls).
bool isControl(const std::string& s, size_t i, size_t len, bool utf8) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (!utf8) return c < 0x20 || (c >= 0x7F && c < 0xA0);
  if (len == 1) return c < 0x20 || c == 0x7F;
  // U+0080..U+009F are C2 80..C2 9F.
  return len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
}

}  // namespace

bool isValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = sequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string toUtf8FromLatin1IfNeeded(const std::string& s) {
  if (isValidUtf8(s)) return s;
  std::string out;
  out.reserve(s.size() * 2);
  for (unsigned char c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string cleanName(const std::string& s, size_t maxChars) {
  const bool utf8 = isValidUtf8(s);
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < s.size() && chars < maxChars;) {
    const size_t n = utf8 ? sequenceLength(s, i) : 1;
    if (!isControl(s, i, n, utf8)) {
      out.append(s, i, n);
      ++chars;
    }
    i += n;
  }
  return out;
}

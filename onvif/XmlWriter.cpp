#include "onvif/XmlWriter.h"

#include <cstdint>

namespace {

// The length of the well-formed UTF-8 sequence at s[i] that XML allows (no overlong forms,
// surrogates, U+FFFE, U+FFFF or code points above U+10FFFF); 0 when there is none.
size_t xmlCharAt(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (t & 0x3F);
  }
  const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
  return len;
}

}  // namespace

// Text from anywhere (a setting, a parser's message quoting a request) ends up well-formed:
// markup characters escaped, characters XML cannot hold left out, bytes that are no UTF-8
// replaced by U+FFFD.
std::string XmlWriter::escape(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size();) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    const size_t len = xmlCharAt(value, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (len > 1) {
      out.append(value, i, len);
      i += len;
      continue;
    }
    ++i;
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
        out += static_cast<char>(c);
    }
  }
  return out;
}

void XmlWriter::endStartTag() {
  if (m_inStartTag) m_out += '>';
  m_inStartTag = false;
}

XmlWriter& XmlWriter::open(const char* name) {
  endStartTag();
  m_out += '<';
  m_out += name;
  m_open.push_back(name);
  m_inStartTag = true;
  return *this;
}

XmlWriter& XmlWriter::attr(const char* name, const std::string& value) {
  m_out += ' ';
  m_out += name;
  m_out += "=\"";
  m_out += escape(value);
  m_out += '"';
  return *this;
}

XmlWriter& XmlWriter::text(const std::string& value) {
  endStartTag();
  m_out += escape(value);
  return *this;
}

XmlWriter& XmlWriter::raw(const std::string& markup) {
  endStartTag();
  m_out += markup;
  return *this;
}

XmlWriter& XmlWriter::close() {
  if (m_open.empty()) return *this;
  if (m_inStartTag) {
    m_out += "/>";
    m_inStartTag = false;
  } else {
    m_out += "</";
    m_out += m_open.back();
    m_out += '>';
  }
  m_open.pop_back();
  return *this;
}

XmlWriter& XmlWriter::leaf(const char* name, const std::string& value) {
  return open(name).text(value).close();
}

const std::string& XmlWriter::finish() {
  while (!m_open.empty()) close();
  return m_out;
}
